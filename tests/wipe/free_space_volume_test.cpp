// SPDX-License-Identifier: GPL-3.0-or-later
// Free space cleaning on real file systems: ext4 on a loop mount and NTFS through
// ntfs-3g, made from small image files by mkfs.ext4 and mkntfs, by the engine and by
// `tidewipe-cli free-space` and `leftovers` as a user runs them. The raw image is scanned
// afterwards: no marker of a deleted file may survive a clean, and every live file must
// read back byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>

#include "log/activity_log.h"
#include "platform/strings.h"
#include "tests/common/background_cli.h"
#include "tests/common/cli_fixture.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/free_space.h"

namespace fs = std::filesystem;
using tw::test::FsKind;
using tw::test::RecordingSink;
using tw::test::ScratchVolume;
using tw::wipe::CFreeSpaceCleaner;

namespace {

std::string Nonce() {
    std::random_device rd;
    return std::to_string(rd()) + std::to_string(rd());
}

// A file body: the marker repeated with filler, `size` bytes.
std::string Body(const std::string& marker, size_t size) {
    std::string out;
    out.reserve(size + marker.size() + 8);
    for (unsigned i = 0; out.size() < size; ++i)
        out += marker + "#" + std::to_string(i % 10) + "\n";
    out.resize(size);
    return out;
}

// Live and deleted files with unique markers on a volume.
struct MarkedFiles {
    std::map<std::string, std::string> live;  // path -> content
    std::vector<std::string> goneMarkers;

    void Create(const ScratchVolume& vol, const std::string& nonce) {
        const std::string dir = vol.Root() + "docs";
        fs::create_directories(dir);
        for (int i = 0; i < 3; ++i) {
            const std::string path = dir + "/live" + std::to_string(i) + ".txt";
            live[path] = Body("TWLIVE-" + std::to_string(i) + "-" + nonce, 48 * 1024 + 123 * i);
            ASSERT_TRUE(tw::test::WriteFileBytes(path, live[path]));
        }
        for (int i = 0; i < 5; ++i) {
            const std::string path = dir + "/gone" + std::to_string(i) + ".bin";
            goneMarkers.push_back("TWGONE-" + std::to_string(i) + "-" + nonce);
            ASSERT_TRUE(tw::test::WriteFileBytes(path, Body(goneMarkers.back(), 96 * 1024)));
        }
        sync();
        for (int i = 0; i < 5; ++i) fs::remove(dir + "/gone" + std::to_string(i) + ".bin");
        sync();
    }

    void ExpectLiveIntact() const {
        for (const auto& [path, content] : live)
            EXPECT_TRUE(tw::test::ReadFileBytes(path) == content) << path << " changed";
    }
};

size_t Survivors(const std::vector<uint8_t>& image, const std::vector<std::string>& markers) {
    size_t n = 0;
    for (const auto& m : markers) n += tw::test::CountOccurrences(image, m);
    return n;
}

class FreeSpaceVolume : public tw::test::CliFixture<::testing::TestWithParam<FsKind>> {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(GetParam());
        vol_ = std::make_unique<ScratchVolume>(GetParam(), 48);
        ASSERT_TRUE(vol_->Ok()) << vol_->Error();
        ASSERT_TRUE(logDir_.Ok());
        log_.SetFolder(logDir_.Path());
        op_.SetSink(&sink_);
        op_.UseStopFlag(abort_);
        op_.SetLog(&log_);
    }
    std::string EngineLogText() { return tw::test::ReadFileBytes(log_.GetTodaysFileName()); }

    std::unique_ptr<ScratchVolume> vol_;
    tw::test::TempDir logDir_{"wipe-log"};
    tw::log::CActivityLogFile log_;
    RecordingSink sink_;
    std::atomic<int> abort_{0};
    tw::test::TestOperation op_;
};

}  // namespace

// A clean aborted in its second pass has completed one pass over the free space; a
// complete clean afterwards makes its passes, its progress and its log lines. Neither
// leaves a deleted marker on the image, a live file changed or its temporary folder.
TEST_P(FreeSpaceVolume, AbortedThenCompleteCleanLeaveNoDeletedMarkerAndKeepLiveFiles) {
    MarkedFiles files;
    ASSERT_NO_FATAL_FAILURE(files.Create(*vol_, Nonce()));
    // The scan can see them: every deleted marker is still on the image before the clean.
    auto before = vol_->ReadImage();
    for (const auto& m : files.goneMarkers)
        ASSERT_GT(tw::test::CountOccurrences(before, m), 0u) << m << " not found before";
    before.clear();

    // A third of the way into pass 2 of 3.
    sink_.onPos = [this](tw::ProgressSink::Bar b, int64_t p) {
        if (b == tw::ProgressSink::Overall && p >= 372 * 4 / 9) abort_ = 1;
    };
    CFreeSpaceCleaner cleaner;
    cleaner.logEnabled = true;
    EXPECT_EQ(cleaner.CleanFreeSpace(op_, {vol_->MountPoint(), 3}), 1);
    // The stop flag is the caller's: the clean never clears it, so a stop asked for
    // before the next clean begins keeps that one from writing anything at all.
    EXPECT_EQ(abort_.load(), 1);
    sink_.onPos = nullptr;
    EXPECT_EQ(cleaner.CleanFreeSpace(op_, {vol_->MountPoint(), 3}), 0);
    EXPECT_EQ(cleaner.BytesWritten(), 0u);
    EXPECT_FALSE(fs::exists(tw::wipe::TempFolderFor(vol_->MountPoint())));
    EXPECT_EQ(abort_.load(), 1);
    EXPECT_NE(EngineLogText().find(" -> Cleaned "), std::string::npos);
    EXPECT_LT(sink_.pos[tw::ProgressSink::Overall], 372);
    // One full pass went over the free space before the abort.
    EXPECT_EQ(Survivors(vol_->ReadImage(), files.goneMarkers), 0u);
    files.ExpectLiveIntact();

    // A complete clean of two passes over new deleted files.
    MarkedFiles again;
    ASSERT_NO_FATAL_FAILURE(again.Create(*vol_, Nonce()));
    abort_ = 0;
    RecordingSink sink;
    op_.SetSink(&sink);
    EXPECT_EQ(cleaner.CleanFreeSpace(op_, {vol_->MountPoint(), 2}), 2) << cleaner.LastRefusal();
    EXPECT_TRUE(cleaner.LastRefusal().empty());
    // Two passes over (nearly) all the free space; files are written from offset 0.
    EXPECT_GE(cleaner.BytesWritten(), 2 * cleaner.LastPlan().freeBytes * 9 / 10);
    EXPECT_FALSE(fs::exists(tw::wipe::TempFolderFor(vol_->MountPoint())));
    EXPECT_EQ(sink.high[tw::ProgressSink::Overall], 372);
    EXPECT_EQ(sink.pos[tw::ProgressSink::Overall], 372);
    ASSERT_FALSE(sink.statuses.empty());
    EXPECT_EQ(sink.statuses.front().rfind(
                  "Wiping free space on drive " + vol_->Root() + " (0 bytes of ", 0),
              0u)
        << sink.statuses.front();
    EXPECT_EQ(sink.statuses.back(), "Finalizing clean free space operation.");
    const std::string log = EngineLogText();
    EXPECT_NE(log.find(" -> Located "), std::string::npos) << log;
    EXPECT_NE(log.find(" -> Cleaned "), std::string::npos) << log;
    const auto after = vol_->ReadImage();
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(Survivors(after, again.goneMarkers), 0u);
    again.ExpectLiveIntact();
}

// A killed clean leaves its folder: the next clean refuses, `leftovers` clears it, and a
// clean then runs to its end, logged, and overwrites a file deleted meanwhile.
TEST_P(FreeSpaceVolume, KilledCliCleanIsClearedByLeftoversThenACleanCompletes) {
    ASSERT_NO_FATAL_FAILURE(SetUpCli(true));
    const std::string nonce = Nonce(), live = vol_->Root() + "live.txt";
    const std::string liveText = std::string(30000, 'L') + nonce;
    ASSERT_TRUE(tw::test::WriteFileBytes(live, liveText));
    tw::test::BackgroundCli bg(
        {"--config-home", config_, "free-space", "--yes", "--passes", "7", vol_->MountPoint()},
        dir_.Path());
    ASSERT_GT(bg.Pid(), 0);
    const std::string folder = tw::wipe::TempFolderFor(vol_->MountPoint());
    const std::string first = folder + "/zpqmalowjxy681.qlx";
    const bool filling = bg.WaitFor(
        [&] {
            struct stat st {};
            return stat(first.c_str(), &st) == 0 && st.st_size >= (4 << 20);
        },
        std::chrono::seconds(10));
    // While the clean runs (held still, so that it cannot end meanwhile), another one is
    // refused even as a plan, and the sweep leaves its folder alone, in the plan and for
    // real.
    kill(bg.Pid(), SIGSTOP);
    std::string out;
    EXPECT_EQ(Cli({"free-space", "--dry-run", vol_->MountPoint()}, &out), 3) << out;
    EXPECT_EQ(Cli({"leftovers", "--dry-run"}, &out), 1) << out;
    EXPECT_NE(out.find("keep " + folder), std::string::npos) << out;
    EXPECT_EQ(Cli({"leftovers", "--yes"}, &out), 1) << out;
    EXPECT_TRUE(fs::exists(first));
    kill(bg.Pid(), SIGKILL);
    ASSERT_TRUE(filling);
    ASSERT_EQ(bg.Wait(), -1) << "the clean ended before it could be killed";
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(tw::test::ReadFileBytes(live), liveText);

    // A clean started now finds the leftover and refuses: it writes nothing.
    const uintmax_t leftSize = fs::file_size(first);
    out.clear();
    EXPECT_EQ(Cli({"free-space", "--yes", vol_->MountPoint()}, &out), 3);
    EXPECT_NE(out.find("tidewipe-cli leftovers"), std::string::npos) << out;
    EXPECT_EQ(fs::file_size(first), leftSize);

    out.clear();
    EXPECT_EQ(Cli({"leftovers", "--dry-run"}, &out), 0);
    EXPECT_NE(out.find("remove " + folder), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(first));

    out.clear();
    EXPECT_EQ(Cli({"leftovers", "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find("Removed " + folder), std::string::npos) << out;
    // Told once, however many folders were swept.
    const std::string told(tw::S<106>);
    ASSERT_NE(out.find(told), std::string::npos) << out;
    EXPECT_EQ(out.find(told, out.find(told) + 1), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(tw::test::ReadFileBytes(live), liveText);

    std::string gone;
    while (gone.size() < 200000) gone += "TWCLIAGAIN-" + nonce + "\n";
    ASSERT_TRUE(tw::test::WriteFileBytes(vol_->Root() + "again.bin", gone));
    sync();
    fs::remove(vol_->Root() + "again.bin");
    sync();
    out.clear();
    EXPECT_EQ(Cli({"free-space", "--yes", "--passes", "1", vol_->MountPoint()}, &out), 0) << out;
    EXPECT_NE(out.find("Free space cleaning complete"), std::string::npos) << out;
    EXPECT_NE(LogText().find("-> Cleaned "), std::string::npos);
    EXPECT_EQ(tw::test::CountOccurrences(vol_->ReadImage(), "TWCLIAGAIN-" + nonce), 0u);
    EXPECT_EQ(tw::test::ReadFileBytes(live), liveText);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FreeSpaceVolume, ::testing::Values(FsKind::Ext4, FsKind::Ntfs),
                         [](const auto& info) {
                             return std::string(tw::test::FsName(info.param));
                         });

// ---------------------------------------------------------------- Linux-only cases

TEST(FreeSpaceTmpfs, BufferedFallbackFillsARamDisk) {
    TW_REQUIRE_SCRATCH(FsKind::Tmpfs);
    ScratchVolume vol(FsKind::Tmpfs, 8);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    ASSERT_TRUE(tw::test::WriteFileBytes(vol.Root() + "live.txt", "still here"));
    CFreeSpaceCleaner cleaner;
    EXPECT_EQ(cleaner.CleanFreeSpace(tw::IdleOperation(), {vol.MountPoint(), 2}), 2);
    // tmpfs takes no O_DIRECT: the buffered writes still reach "full".
    EXPECT_GE(cleaner.BytesWritten(), 2 * cleaner.LastPlan().freeBytes * 9 / 10);
    EXPECT_EQ(tw::test::ReadFileBytes(vol.Root() + "live.txt"), "still here");
    EXPECT_FALSE(fs::exists(tw::wipe::TempFolderFor(vol.MountPoint())));
}

TEST(FreeSpaceExt4, NormalUserFillsOnlyTheAvailableSpaceFromTheHomeFolder) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    ScratchVolume vol(FsKind::Ext4, 32);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    // The volume's root stays root's; the user's home is a folder on the same volume.
    const uid_t nobody = 65534;
    const std::string home = vol.Root() + "home";
    ASSERT_TRUE(fs::create_directory(home));
    ASSERT_EQ(chown(home.c_str(), nobody, nobody), 0);
    // Let the user reach the mount point.
    for (fs::path p = vol.MountPoint(); p != "/" && p != "/tmp"; p = p.parent_path())
        chmod(p.c_str(), 0755);
    tw::test::TempDir logDir("wipe-log");
    ASSERT_EQ(chmod(logDir.Path().c_str(), 0777), 0);

    struct statvfs sv {};
    ASSERT_EQ(statvfs(vol.MountPoint().c_str(), &sv), 0);
    ASSERT_GT(sv.f_bfree, sv.f_bavail) << "mkfs.ext4 reserved no blocks";

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        setenv("HOME", home.c_str(), 1);
        if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(3);
        tw::log::CActivityLogFile log;
        log.SetFolder(logDir.Path());
        tw::test::TestOperation op;
        op.SetLog(&log);
        CFreeSpaceCleaner cleaner;
        cleaner.logEnabled = true;
        const tw::wipe::FreeSpacePlan plan = tw::wipe::PlanFreeSpace(vol.MountPoint(), 1);
        const int r = cleaner.CleanFreeSpace(op, {vol.MountPoint(), 1});
        const std::string report = std::to_string(r) + " " + std::to_string(plan.folderInHome) +
                                   " " + std::to_string(plan.reservedBytes) + " " +
                                   std::to_string(cleaner.BytesWritten()) + "\n" +
                                   tw::test::ReadFileBytes(log.GetTodaysFileName());
        [[maybe_unused]] ssize_t w = write(pipeFds[1], report.data(), report.size());
        _exit(0);
    }
    close(pipeFds[1]);
    std::string report;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) report.append(buf, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;

    int result = -9, inHome = -1;
    unsigned long long reserved = 0, written = 0;
    ASSERT_EQ(sscanf(report.c_str(), "%d %d %llu %llu", &result, &inHome, &reserved, &written), 4)
        << report;
    EXPECT_EQ(result, 1);
    EXPECT_EQ(inHome, 1);
    EXPECT_EQ(reserved, static_cast<unsigned long long>(sv.f_bfree - sv.f_bavail) * sv.f_frsize);
    EXPECT_LE(written, static_cast<unsigned long long>(sv.f_bavail) * sv.f_frsize);
    EXPECT_NE(report.find("reserved by the file system is not cleaned"), std::string::npos)
        << report;
    EXPECT_FALSE(fs::exists(tw::wipe::TempFolderFor(home)));

    // Another home on a different file system: the clean is refused with a reason.
    CFreeSpaceCleaner cleaner;
    pid_t second = fork();
    ASSERT_GE(second, 0);
    if (second == 0) {
        setenv("HOME", "/", 1);
        if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(3);
        const int r = cleaner.CleanFreeSpace(tw::IdleOperation(), {vol.MountPoint(), 1});
        _exit(r == 0 && cleaner.LastRefusal().find("no permission") != std::string::npos ? 0 : 1);
    }
    waitpid(second, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
