// SPDX-License-Identifier: GPL-3.0-or-later
// The swap wipe, on a scratch swap file only: every step that would touch the
// machine's swap (the swap list, swapoff, swapon, the root test) is replaced.
#include "wipe/swap_wipe.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "log/activity_log.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"

namespace tw::wipe {
namespace {

constexpr const char* kUuid = "0f3c2d41-5a6b-4c7d-8e9f-a0b1c2d3e4f5";
constexpr const char* kMarker = "TWSWAPMARKER";

std::string FindTool(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"}) {
        std::string p = std::string(dir) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

TEST(SwapWipe, ParsesProcSwapsAndMemInfo) {
    const auto areas = ParseProcSwaps(
        "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
        "/var/swap\\040file                       file\t\t1048572\t\t1024\t\t-2\n"
        "/dev/sda2                               partition\t2097148\t\t0\t\t5\n"
        "garbage line\n");
    ASSERT_EQ(areas.size(), 2u);
    EXPECT_EQ(areas[0].path, "/var/swap file");
    EXPECT_FALSE(areas[0].isPartition);
    EXPECT_EQ(areas[0].sizeBytes, 1048572u * 1024);
    EXPECT_EQ(areas[0].usedBytes, 1024u * 1024);
    EXPECT_EQ(areas[0].priority, -2);
    EXPECT_EQ(areas[1].path, "/dev/sda2");
    EXPECT_TRUE(areas[1].isPartition);
    EXPECT_EQ(areas[1].priority, 5);
    EXPECT_TRUE(ParseProcSwaps("Filename Type Size Used Priority\n").empty());

    const MemoryFigures m =
        ParseMemInfo("MemTotal:        8388608 kB\nMemFree: 1 kB\nMemAvailable:    1048576 kB\n");
    EXPECT_EQ(m.totalBytes, 8ull << 30);
    EXPECT_EQ(m.availableBytes, 1ull << 30);
    // The margin is a twentieth of the memory (~410 MiB here).
    EXPECT_TRUE(EnoughMemoryFor(500ull << 20, m));
    EXPECT_FALSE(EnoughMemoryFor(700ull << 20, m));
    EXPECT_FALSE(EnoughMemoryFor(2ull << 30, m));
    // On a small machine the margin is 64 MiB.
    const MemoryFigures small{512ull << 20, 200ull << 20};
    EXPECT_TRUE(EnoughMemoryFor(100ull << 20, small));
    EXPECT_FALSE(EnoughMemoryFor(150ull << 20, small));
}

class ScratchSwap : public ::testing::Test {
  protected:
    void SetUp() override {
        mkswap = FindTool("mkswap");
        if (mkswap.empty()) GTEST_SKIP() << "mkswap is not installed";
        ASSERT_TRUE(dir.Ok());
        path = dir.Path() + "/swapfile";
        // 256 KiB with a marker that only the overwrite can remove.
        std::string data(256 * 1024, '\0');
        for (size_t off = 8192; off + 12 < data.size(); off += 4096) data.replace(off, 12, kMarker);
        ASSERT_TRUE(test::WriteFileBytes(path, data));
        ASSERT_EQ(test::RunTool({mkswap, "-U", kUuid, "-L", "twlabel", path}), 0);
        log.SetFolder(dir.Path());
        op.SetSink(&sink);
        op.UseStopFlag(abort);
        op.SetLog(&log);
    }
    size_t Markers() {
        std::string bytes = test::ReadFileBytes(path);
        return test::CountOccurrences(std::vector<uint8_t>(bytes.begin(), bytes.end()), kMarker);
    }
    std::string LogText() { return test::ReadFileBytes(log.GetTodaysFileName()); }
    // A wiper whose system steps act on the scratch file and record what they did.
    CSwapWiper Stubbed(std::string used = "4") {
        CSwapWiper w;
        w.readProcSwaps = [this, used] {
            return "Filename Type Size Used Priority\n" + path + " file 256 " + used + " 3\n";
        };
        w.readMemInfo = [] {
            return std::string("MemTotal: 16777216 kB\nMemAvailable: 8388608 kB\n");
        };
        w.isRoot = [] { return true; };
        w.swapOff = [this](const std::string& p) {
            events.push_back("swapoff " + p);
            return swapOffError;
        };
        w.swapOn = [this](const std::string& p, int prio) {
            events.push_back("swapon " + p + " " + std::to_string(prio));
            return 0;
        };
        w.makeSwap = [this](const std::string& p, const SwapIdentity& id) {
            events.push_back("mkswap " + p);
            return RunMkswap(p, id);
        };
        return w;
    }

    test::TempDir dir{"swap"};
    std::string mkswap, path;
    test::RecordingSink sink;
    std::atomic<int> abort{0};
    log::CActivityLogFile log;
    tw::test::TestOperation op;
    std::vector<std::string> events;
    int swapOffError = 0;
};

TEST_F(ScratchSwap, OverwriteAndRecreateKeepsUuidAndLabel) {
    SwapIdentity id;
    ASSERT_TRUE(ReadSwapIdentity(path, &id));
    EXPECT_EQ(id.uuid, kUuid);
    EXPECT_EQ(id.label, "twlabel");
    EXPECT_EQ(id.pageSize, static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
    const std::string blkid = FindTool("blkid");
    if (!blkid.empty()) {  // the reading agrees with blkid's
        std::string out;
        test::RunTool({blkid, "-o", "value", "-s", "UUID", path}, &out);
        EXPECT_EQ(out, std::string(kUuid) + "\n");
    }
    ASSERT_GT(Markers(), 0u);

    CSwapWiper w;
    w.passCount = 2;
    const SwapAreaResult r = w.OverwriteAndRecreate(op, path, id);
    EXPECT_TRUE(r.wiped) << r.reason;
    EXPECT_TRUE(r.recreated);
    EXPECT_EQ(r.passesDone, 2);
    EXPECT_EQ(Markers(), 0u);
    SwapIdentity after;
    ASSERT_TRUE(ReadSwapIdentity(path, &after));
    EXPECT_EQ(after.uuid, kUuid);
    EXPECT_EQ(after.label, "twlabel");
    EXPECT_EQ(test::ReadFileBytes(path).size(), 256u * 1024);
    // Progress over both passes of the one-chunk file.
    ASSERT_FALSE(sink.ranges.empty());
    EXPECT_EQ(sink.ranges.back().high, 2);
    EXPECT_FALSE(ReadSwapIdentity(dir.Path() + "/missing", &after));
}

TEST_F(ScratchSwap, SkipsLeaveTheAreaUntouched) {
    const size_t before = Markers();
    {
        CSwapWiper w = Stubbed();
        w.isRoot = [] { return false; };
        const SwapWipeReport rep = w.WipeAll(op);
        EXPECT_EQ(rep.skipReason, "taking swap areas off needs root");
    }
    {
        CSwapWiper w = Stubbed("8388000");  // ~8 GiB used, 8 GiB available: no margin
        const SwapWipeReport rep = w.WipeAll(op);
        ASSERT_EQ(rep.areas.size(), 1u);
        EXPECT_TRUE(rep.areas[0].skipped);
        EXPECT_NE(rep.areas[0].reason.find("not enough free memory"), std::string::npos);
    }
    {
        swapOffError = EBUSY;
        CSwapWiper w = Stubbed();
        const SwapWipeReport rep = w.WipeAll(op);
        EXPECT_TRUE(rep.areas.at(0).skipped);
        EXPECT_NE(rep.areas[0].reason.find("could not be taken off"), std::string::npos);
    }
    {
        CSwapWiper w = Stubbed();
        w.readProcSwaps = [] { return std::string("Filename Type Size Used Priority\n"); };
        EXPECT_EQ(w.WipeAll(op).skipReason, "no swap area is in use");
    }
    // Only the refused swapoff was tried; nothing was written or recreated.
    EXPECT_EQ(events, (std::vector<std::string>{"swapoff " + path}));
    EXPECT_EQ(Markers(), before);
    const std::string text = LogText();
    EXPECT_NE(text.find("Wipe system swapfile skipped: taking swap areas off needs root"),
              std::string::npos);
    EXPECT_NE(text.find("Swap area " + path + " skipped: not enough free memory"),
              std::string::npos);
    EXPECT_NE(text.find("Wipe system swapfile skipped: no swap area is in use"), std::string::npos);
}

TEST_F(ScratchSwap, AbortStillRecreatesAndReactivates) {
    CSwapWiper w = Stubbed();
    w.passCount = 3;
    // Abort as soon as the first chunk of the first pass is written.
    sink.onPos = [this](ProgressSink::Bar, int64_t) { abort.store(1); };
    const SwapWipeReport rep = w.WipeAll(op);
    EXPECT_TRUE(rep.aborted);
    ASSERT_EQ(rep.areas.size(), 1u);
    EXPECT_FALSE(rep.areas[0].wiped);
    EXPECT_TRUE(rep.areas[0].recreated);
    EXPECT_TRUE(rep.areas[0].reactivated);
    EXPECT_EQ(rep.areas[0].passesDone, 0);
    // Off, made again with its identity, and back on at its own priority.
    EXPECT_EQ(events, (std::vector<std::string>{"swapoff " + path, "mkswap " + path,
                                                "swapon " + path + " 3"}));
    SwapIdentity id;
    ASSERT_TRUE(ReadSwapIdentity(path, &id));
    EXPECT_EQ(id.uuid, kUuid);
    EXPECT_NE(LogText().find("Could not wipe swap area " + path), std::string::npos);
}

}  // namespace
}  // namespace tw::wipe
