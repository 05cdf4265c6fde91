// SPDX-License-Identifier: GPL-3.0-or-later
// The slack enumeration on a private temporary folder (no privileges): the status and
// the log, the details text, stopping and failing. (Which files are listed is the
// `slacks` command's test.)
#include "wipe/slack_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "log/activity_log.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "volume/recoverable.h"

namespace tw::wipe {
namespace {

uint32_t ClusterOf(const std::string& folder) {
    struct statvfs sv {};
    if (statvfs(folder.c_str(), &sv) != 0) return 0;
    return static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
}

struct SlackScanTree : ::testing::Test {
    test::TempDir dir{"slackscan"};
    std::string root;
    uint32_t cluster = 0;

    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        root = dir.Path() + "/tree";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
        cluster = ClusterOf(root);
        ASSERT_GT(cluster, 1u);
        for (uint64_t size : {uint64_t{0}, uint64_t{1}, uint64_t{cluster}, uint64_t{cluster + 1u}})
            ASSERT_TRUE(test::WriteFileBytes(root + "/size-" + std::to_string(size),
                                             std::string(size, 'x')));
        ASSERT_EQ(symlink((root + "/size-1").c_str(), (root + "/link").c_str()), 0);
    }
};

TEST_F(SlackScanTree, StatusCountsTheFindsAndTheLogHasTheBeginningAndTheResult) {
    test::RecordingSink sink;
    log::CActivityLogFile logFile;
    const std::string logDir = dir.Path() + "/log";
    ASSERT_EQ(mkdir(logDir.c_str(), 0700), 0);
    logFile.SetFolder(logDir);
    tw::test::TestOperation op;
    op.SetSink(&sink);
    op.SetLog(&logFile);
    CSlackScanner scanner;
    const SlackScanReport rep = scanner.Scan(op, root, "/mnt/scratch");
    ASSERT_EQ(rep.end, SlackScanEnd::Completed);
    const size_t n = scanner.found().size();
    ASSERT_GE(n, 2u);
    EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(),
                        "Searching for recoverable slacks (Found: 1 slack)"),
              sink.statuses.end());
    EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(),
                        "Searching for recoverable slacks (Found: 2 slacks)"),
              sink.statuses.end());
    EXPECT_EQ(sink.statuses.back(), rep.message);

    const std::string logText = test::ReadFileBytes(logFile.GetTodaysFileName());
    const size_t begin = logText.find("Beginning search for recoverable slacks on /mnt/scratch");
    const size_t end = logText.find(rep.message);
    ASSERT_NE(begin, std::string::npos) << logText;
    ASSERT_NE(end, std::string::npos) << logText;
    EXPECT_LT(begin, end);
}

TEST_F(SlackScanTree, StopFlagEndsTheWalkWithWhatWasFound) {
    std::atomic<int> abort{0};
    tw::test::TestOperation op;
    op.UseStopFlag(abort);
    CSlackScanner scanner;
    scanner.onFound = [&](const SlackItem&) { abort = 1; };
    SlackScanReport rep = scanner.Scan(op, root, "scratch");
    EXPECT_EQ(rep.end, SlackScanEnd::Aborted);
    EXPECT_EQ(scanner.found().size(), 1u);
    EXPECT_EQ(rep.message, "Aborted search for recoverable slacks (Found 1 slack)");

    // Raised before the start: nothing is examined, and the list of an earlier scan
    // is not kept.
    scanner.onFound = nullptr;
    rep = scanner.Scan(op, root, "scratch");
    EXPECT_EQ(rep.end, SlackScanEnd::Aborted);
    EXPECT_TRUE(scanner.found().empty());
    EXPECT_EQ(rep.message, "Aborted search for recoverable slacks (Did not find any slacks)");
}

TEST_F(SlackScanTree, AStartThatCannotBeWalkedFails) {
    CSlackScanner scanner;
    SlackScanReport rep = scanner.Scan(tw::IdleOperation(), root + "/missing", "scratch");
    EXPECT_EQ(rep.end, SlackScanEnd::Failed);
    EXPECT_NE(rep.message.find(root + "/missing"), std::string::npos) << rep.message;
    rep = scanner.Scan(tw::IdleOperation(), "/proc/self", "proc");
    EXPECT_EQ(rep.end, SlackScanEnd::Failed);
    rep = scanner.Scan(tw::IdleOperation(), root + "/size-1", "scratch");
    EXPECT_EQ(rep.end, SlackScanEnd::Failed) << "a file is not a folder to walk";
}

TEST_F(SlackScanTree, SlackBytesOfFilesThatHaveNoneAreRefusedWithoutReading) {
    int reads = 0;
    const SectorReader reader = [&](uint64_t, void*, uint32_t) {
        ++reads;
        return false;
    };
    auto r = ReadFileSlack(root + "/size-" + std::to_string(cluster), reader);
    ASSERT_FALSE(r.ok());
    EXPECT_NE(tw::ErrorText(r.error()).find("has no slack"), std::string::npos);
    r = ReadFileSlack(root + "/size-0", reader);
    ASSERT_FALSE(r.ok());
    r = ReadFileSlack(root + "/link", reader);  // a link is not followed
    ASSERT_FALSE(r.ok());
    r = ReadFileSlack(root + "/sub", reader);
    ASSERT_FALSE(r.ok());
    r = ReadFileSlack(root + "/missing", reader);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(reads, 0);
}

TEST(SlackTexts, SizeTextSwitchesAt1024Bytes) {
    EXPECT_EQ(DetailSizeText(0), "0 (b)");
    EXPECT_EQ(DetailSizeText(1023), "1023 (b)");
    EXPECT_EQ(DetailSizeText(1024), " 1 Kb (1024 bytes)");
    EXPECT_EQ(DetailSizeText(3u << 20), "3.00 Mb (3145728 bytes)");
}

TEST(SlackTexts, AttributeBitsOfLiveFiles) {
    using volume::AttributeText;
    EXPECT_EQ(AttributeText(LiveAttributeBits("a.txt", true, false, false, false)),
              "------n------");
    EXPECT_EQ(AttributeText(LiveAttributeBits(".a", true, false, false, false)), "----h--------");
    EXPECT_EQ(AttributeText(LiveAttributeBits("a", false, false, false, false)), "---------r---");
    EXPECT_EQ(AttributeText(LiveAttributeBits("a", true, true, false, false)), "----------s--");
    EXPECT_EQ(AttributeText(LiveAttributeBits(".a", false, false, true, true)), "-c-eh----r---");
}

}  // namespace
}  // namespace tw::wipe
