// SPDX-License-Identifier: GPL-3.0-or-later
// Whole clean-up runs over scratch NTFS volumes (images made by mkntfs, mounted by
// ntfs-3g): the order of the steps and log lines, the countdown after the last drive,
// abort, and a failing free-space step. (Pause at a file boundary is the walk's, in
// slack_walker_test, and the CLI's SIGTSTP, in clean_cli_volume_test.) Needs root and
// /dev/fuse; skips visibly otherwise. The file-table step on FAT32 uses mkfs.fat and
// mtools instead.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "cleanup/clean_steps.h"
#include "platform/storage_facts.h"
#include "platform/strings.h"
#include "recyclebin/bin_runs.h"
#include "tests/cleanup/cleanup_fixture.h"
#include "wipe/deep_clean.h"
#include "wipe/free_space.h"
#include "wipe/receipt.h"
#include "wipe/swap_wipe.h"

namespace tw::wipe {
namespace {

namespace fs = std::filesystem;

class CleanupVolumes : public test::CleanupFixture {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(test::FsKind::Ntfs);
        test::CleanupFixture::SetUp();
        settings->Dword("extensiveLogging") = 1;  // the per-file lines
        for (int i = 0; i < 2; ++i) {
            vols[i] = std::make_unique<test::ScratchVolume>(test::FsKind::Ntfs, 8,
                                                            i == 0 ? "twclean1" : "twclean2");
            ASSERT_TRUE(vols[i]->Ok()) << vols[i]->Error();
            Populate(i);
        }
        run->trashDirs = std::vector<std::string>{dir.Path() + "/data/Trash",
                                                  Mount(0) + "/.Trash-" + std::to_string(getuid()),
                                                  Mount(1) + "/.Trash-" + std::to_string(getuid())};
        run->binLockPath = dir.Path() + "/bin.lock";
        // A marker script stands in for the power-off.
        marker = dir.Path() + "/powered-off";
        const std::string script = dir.Path() + "/poweroff.sh";
        ASSERT_TRUE(test::WriteFileBytes(script, "#!/bin/sh\necho poweroff >> '" + marker + "'\n"));
        chmod(script.c_str(), 0700);
        setenv("TIDEWIPE_POWEROFF_COMMAND", script.c_str(), 1);
    }

    std::string Mount(int i) const { return vols[i]->MountPoint(); }
    std::string Secret(int i) const { return "TWSECRET-DELETED-" + std::to_string(i); }

    // Three files in a folder, on the first volume an item in the Trash, and a small
    // deleted file whose data stayed inside its file record (deleted last, so that no
    // later file takes its record over).
    void Populate(int i) {
        if (i == 0) {
            const std::string trashed = Mount(0) + "/trashed.txt";
            ASSERT_TRUE(test::WriteFileBytes(trashed, "TWTRASHED-CONTENT"));
            auto put = recyclebin::SendToBin(trashed);
            ASSERT_TRUE(put.ok()) << tw::ErrorText(put.error());
            // Data whose index file is gone is part of the bin too.
            ASSERT_TRUE(test::WriteFileBytes(
                Mount(0) + "/.Trash-" + std::to_string(getuid()) + "/files/orphan.bin",
                "TWORPHAN-CONTENT"));
        }
        const std::string d = Mount(i) + "/dir";
        ASSERT_TRUE(fs::create_directory(d));
        for (int k = 1; k <= 3; ++k)
            ASSERT_TRUE(
                test::WriteFileBytes(d + "/f" + std::to_string(k) + ".txt",
                                     std::string(1000 * k + i, static_cast<char>('a' + k))));
        const std::string gone = Mount(i) + "/gone.txt";
        ASSERT_TRUE(test::WriteFileBytes(gone, Secret(i)));
        sync();
        ASSERT_EQ(unlink(gone.c_str()), 0);
    }

    // A wiper for the swap step that works on a scratch swap file only.
    void StubSwap() {
        ASSERT_EQ(test::MissingTool({"mkswap"}), "") << "is not installed";
        swapFile = dir.Path() + "/swapfile";
        ASSERT_TRUE(test::WriteFileBytes(swapFile, std::string(128 * 1024, 'S')));
        ASSERT_EQ(test::RunTool({"mkswap", swapFile}), 0);
        run->steps.swap = [this](const OpContext& op, int passes) {
            CSwapWiper w;
            w.passCount = passes;
            w.readProcSwaps = [this] {
                return "Filename Type Size Used Priority\n" + swapFile + " file 128 0 -2\n";
            };
            w.isRoot = [] { return true; };
            w.swapOff = [this](const std::string&) {
                events.push_back("swapoff");
                return 0;
            };
            w.swapOn = [this](const std::string&, int) {
                events.push_back("swapon");
                return 0;
            };
            const SwapWipeReport rep = w.WipeAll(op);
            StepResult r;
            r.ran = !rep.areas.empty() && rep.areas[0].wiped;
            r.aborted = rep.aborted;
            return r;
        };
    }

    std::unique_ptr<test::ScratchVolume> vols[2];
    std::string marker, swapFile;
};

TEST_F(CleanupVolumes, EveryTaskOnTwoDrives) {
    StubSwap();
    // The deleted files' data is on disk before the run.
    for (int i = 0; i < 2; ++i)
        ASSERT_GT(test::CountOccurrences(vols[i]->ReadImage(), Secret(i)), 0u) << i;

    for (const auto& info : kTasks) run->tasks.Set(info.task, true);
    run->drives = {Mount(0), Mount(1)};
    // The receipts go beside the logs, never to the root while no log folder is
    // resolved: here in this test's own folder.
    EXPECT_EQ(wipe::NewReceiptPath(settings->LogFolder(), "cleanup-run"), "");
    settings->logLocation = dir.Path();
    settings->LoadSettings();
    ASSERT_EQ(settings->LogFolder(), dir.Path());
    settings->Dword("VerifyLastPass") = 1;
    settings->Dword("WriteReceipts") = 1;
    std::vector<std::string> plans;
    run->hooks.plan = [&](std::string_view p) { plans.push_back(std::string(p)); };
    const CleanupSummary s = Start(kCleanPageStart);

    ASSERT_TRUE(s.started);
    EXPECT_FALSE(s.aborted);
    ASSERT_EQ(s.drives.size(), 2u);
    for (const auto& d : s.drives) {
        EXPECT_TRUE(d.cleaned);
        EXPECT_EQ(d.freeSpaceResult, 1);
        for (Task t : {Task::RecycleBin, Task::FreeSpace, Task::DeepClean, Task::Slack})
            EXPECT_TRUE(d.ran[static_cast<size_t>(t)]) << d.drive << " " << InfoOf(t).cliName;
        // No raw writes below a mounted read-write volume: the file-table step is
        // skipped, and says why.
        EXPECT_FALSE(d.ran[static_cast<size_t>(Task::TableEntries)]);
        ASSERT_EQ(d.skipped.size(), 1u);
        EXPECT_EQ(d.skipped[0].rfind("Wipe deleted file table entries skipped on " + d.drive +
                                         ": its device may not be written: ",
                                     0),
                  0u)
            << d.skipped[0];
        EXPECT_NE(d.skipped[0].find("mounted read-write"), std::string::npos) << d.skipped[0];
    }
    // The swap areas belong to the machine: wiped once, with the first drive.
    EXPECT_TRUE(s.drives[0].ran[static_cast<size_t>(Task::Swap)]);
    EXPECT_FALSE(s.drives[1].ran[static_cast<size_t>(Task::Swap)]);

    // The countdown comes once, after the second drive, and proceeds after 30 ticks.
    EXPECT_EQ(events, (std::vector<std::string>{"drive " + Mount(0), "swapoff", "swapon",
                                                "drive " + Mount(1), "countdown"}));
    ASSERT_EQ(countdownTexts.size(), 31u);
    EXPECT_EQ(countdownTexts.front(), "Shut down in 30 seconds.");
    EXPECT_EQ(countdownTexts[29], "Shut down in 1 seconds.");
    EXPECT_EQ(countdownTexts.back(), "Shut down in");  // below 1: the prefix alone
    EXPECT_TRUE(s.countdownShown && s.shutdownProceeded);
    EXPECT_EQ(s.powerOffStatus, 0);
    EXPECT_EQ(test::ReadFileBytes(marker), "poweroff\n");
    EXPECT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans.at(0), PlanText(run->tasks));

    const auto lines = LogLines();
    for (int i = 0; i < 2; ++i) {
        const std::string m = Mount(i);
        SCOPED_TRACE(m);
        const int start = Find(lines, "Cleaning drive " + m);
        ASSERT_GE(start, 0);
        const int next =
            i == 0 ? Find(lines, "Cleaning drive " + Mount(1)) : static_cast<int>(lines.size());
        std::vector<std::string> slice(lines.begin() + start, lines.begin() + next);
        std::vector<std::string> order = {"Cleaning drive " + m,
                                          "Located ",
                                          "Cleaned ",
                                          "Deep cleaning file: " + m + "/dir/f1.txt",
                                          "Deep cleaning file: " + m + "/dir/f3.txt",
                                          "Deep cleaned directory: " + m,
                                          "Wiped slack in file: " + m + "/dir/f1.txt",
                                          "Wiped file slacks in directory: " + m};
        order.push_back("Wipe deleted file table entries skipped on " + m + ": ");
        if (i == 0) {
            order.insert(order.begin() + 1, "Wiped file: trashed.txt from the recycle bin");
            order.push_back("Wiped swap area " + swapFile + " with 1 overwrite");
        }
        for (const char* closing : {"1 free space overwrite completed.",
                                    "Free space cleaning complete", "Deep clean finished."})
            order.push_back(closing);
        ExpectInOrder(slice, order);
        // The closing lines end the drive's part of the log.
        EXPECT_EQ(slice.back(), "Deep clean finished.");
        EXPECT_EQ(Find(slice, "Deep clean operation aborted."), -1);
    }
    EXPECT_EQ(Count(lines, "Wiped swap area"), 1);
    EXPECT_EQ(Count(lines, "Cleaning drive "), 2);
    EXPECT_TRUE(sink.SawStatus("Analyzing files"));
    EXPECT_FALSE(sink.SawStatus(S<461>));

    // The effects: the Trash is empty, the files kept their data, no temporary folder
    // is left, each drive has its stamp.
    EXPECT_TRUE(fs::is_empty(Mount(0) + "/.Trash-" + std::to_string(getuid()) + "/files"));
    for (int i = 0; i < 2; ++i) {
        for (int k = 1; k <= 3; ++k)
            EXPECT_EQ(test::ReadFileBytes(Mount(i) + "/dir/f" + std::to_string(k) + ".txt"),
                      std::string(1000 * k + i, static_cast<char>('a' + k)));
        EXPECT_FALSE(fs::exists(Mount(i) + "/17FA5B59-0C6D-4b88-800E-6FD9D2D0C90E"));
        EXPECT_NE(ReadDeepCleanStamp(*store, Mount(i)), 0u);
        const auto image = vols[i]->ReadImage();
        EXPECT_EQ(test::CountOccurrences(image, "TWTRASHED-CONTENT"), 0u);
    }
    // Each drive's free-space, deep clean and slack steps left a receipt, each read back.
    std::map<std::string, int> receipts;
    for (const auto& e : fs::directory_iterator(wipe::ReceiptFolder(settings->LogFolder()))) {
        const auto r = wipe::ReadReceipt(e.path().string());
        ASSERT_TRUE(r.ok()) << e.path();
        const std::string target = r.value()["target"]["path"];
        ++receipts[target];
        if (target == "trash") continue;
        EXPECT_EQ(r.value()["verification"]["result"], "passed") << e.path();
        EXPECT_GT(r.value()["bytesOverwritten"].get<uint64_t>(), 0u) << e.path();
    }
    EXPECT_EQ(receipts[Mount(0)], 3);
    EXPECT_EQ(receipts[Mount(1)], 3);
}

TEST_F(CleanupVolumes, AbortSkipsTheRestOfTheDriveAndEndsTheRun) {
    for (Task t :
         {Task::FreeSpace, Task::DeepClean, Task::Slack, Task::TableEntries, Task::Shutdown})
        run->tasks.Set(t, true);
    run->drives = {Mount(0), Mount(1)};
    sink.onStatus = [&](const std::string& text) {
        if (text.rfind("Deep cleaning file", 0) == 0 && text.find("f2.txt") != std::string::npos)
            op.Stop();
    };
    const CleanupSummary s = Start(kCleanPageStart);
    ASSERT_TRUE(s.started);
    EXPECT_TRUE(s.aborted);
    ASSERT_EQ(s.drives.size(), 1u);  // the second drive never started
    const DriveOutcome& d = s.drives[0];
    EXPECT_TRUE(d.taskAborted[static_cast<size_t>(Task::DeepClean)]);
    EXPECT_FALSE(d.ran[static_cast<size_t>(Task::Slack)]);
    EXPECT_FALSE(d.ran[static_cast<size_t>(Task::TableEntries)]);
    EXPECT_FALSE(s.countdownShown);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(op.Stopped());  // the stop flag is the front end's: the run never clears it

    const auto lines = LogLines();
    ExpectInOrder(lines, {"Cleaning drive " + Mount(0), "Located ", "Cleaned ",
                          "Deep clean operation aborted.", "1 free space overwrite completed.",
                          "Free space cleaning complete"});
    EXPECT_EQ(Find(lines, "Deep clean finished."), -1);
    EXPECT_EQ(Find(lines, "Wiped slack in file"), -1);
    EXPECT_EQ(Find(lines, "Cleaning drive " + Mount(1)), -1);
    EXPECT_EQ(events, std::vector<std::string>{"drive " + Mount(0)});
    // An abort never loses a file.
    for (int k = 1; k <= 3; ++k)
        EXPECT_EQ(test::ReadFileBytes(Mount(0) + "/dir/f" + std::to_string(k) + ".txt"),
                  std::string(1000 * k, static_cast<char>('a' + k)));
}

TEST_F(CleanupVolumes, FreeSpaceFailureSkipsTheLaterSteps) {
    for (Task t : {Task::FreeSpace, Task::DeepClean, Task::Slack, Task::Shutdown})
        run->tasks.Set(t, true);
    run->drives = {Mount(0), Mount(1)};
    int calls = 0;
    // The first failure removed its temporary folder, the second left it behind: only
    // then is the user asked to remove it by hand (text 118).
    bool leaveFolder = false;
    run->steps.freeSpace = [&](const OpContext&, const CleanupDrive&, int) {
        ++calls;
        if (leaveFolder) {
            EXPECT_EQ(mkdir(TempFolderFor(Mount(0)).c_str(), 0700), 0);
        }
        return -1;
    };
    for (bool left : {false, true}) {
        SCOPED_TRACE(left ? "the folder stayed" : "the folder was removed");
        leaveFolder = left;
        calls = 0;
        messages.clear();
        const CleanupSummary s = Start(kCleanPageStart);
        ASSERT_TRUE(s.started);
        EXPECT_EQ(calls, 1);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0] == S<118>, left) << messages[0];
        ASSERT_EQ(s.drives.size(), 1u);
        const DriveOutcome& d = s.drives[0];
        EXPECT_EQ(d.freeSpaceResult, -1);
        EXPECT_FALSE(d.ran[static_cast<size_t>(Task::DeepClean)]);
        EXPECT_FALSE(d.ran[static_cast<size_t>(Task::Slack)]);
        EXPECT_FALSE(d.taskAborted[static_cast<size_t>(Task::DeepClean)]);
        EXPECT_TRUE(s.aborted);
        EXPECT_FALSE(s.countdownShown);
        // Not the user's abort: the stop flag stays clear, no "aborted" lines.
        EXPECT_FALSE(op.Stopped());
    }
    // Each start names the drive and what an overwrite reaches there, nothing more.
    const std::string caveat = VolumeCaveatLine(Mount(0));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"Cleaning drive " + Mount(0), caveat,
                                                    "Cleaning drive " + Mount(0), caveat}));
    rmdir(TempFolderFor(Mount(0)).c_str());
}

TEST_F(CleanupVolumes, FileTableStepScrubsAVolumeItMayWrite) {
    // The same step on a volume nothing has mounted: its image may be written.
    ASSERT_TRUE(vols[1]->Unmount());
    CleanupDrive drive;
    drive.text = Mount(1);
    drive.info = DriveInfo{};
    drive.info->mountPoint = Mount(1);
    drive.info->device = vols[1]->ImagePath();
    drive.info->fsType = "fuse";
    const StepResult r = ScrubDeletedRecords(op, drive);
    EXPECT_TRUE(r.ran) << r.skipped;
    EXPECT_TRUE(r.skipped.empty()) << r.skipped;
    EXPECT_TRUE(sink.SawStatusContaining("Wiping empty MFT records. Checking "));
    const std::string bytes = test::ReadFileBytes(vols[1]->ImagePath());
    EXPECT_EQ(test::CountOccurrences(std::vector<uint8_t>(bytes.begin(), bytes.end()), Secret(1)),
              0u);
    // The volume is still sound: it mounts, and its files are there.
    ASSERT_TRUE(vols[1]->Mount());
    EXPECT_EQ(test::ReadFileBytes(Mount(1) + "/dir/f2.txt"), std::string(2001, 'c'));
    // The other volume was not touched.
    EXPECT_GT(test::CountOccurrences(vols[0]->ReadImage(), Secret(0)), 0u);

    // A volume that is not what its mount says, or neither NTFS nor FAT32, is skipped,
    // and says why.
    drive.info->fsType = "vfat";
    EXPECT_EQ(ScrubDeletedRecords(op, drive).skipped, "not a FAT32 volume");
    drive.info->fsType = "ext4";
    EXPECT_EQ(ScrubDeletedRecords(op, drive).skipped, "the file system is ext4, not NTFS");
}

// On FAT32 the same step clears what lingers past the end of the live folders' listings:
// here the long name of a deleted file whose first slot a driver made the end marker.
TEST(CleanupFatTable, FileTableStepClearsTheTailsOfAFat32VolumeItMayWrite) {
    const std::string missing = test::MissingTool({"mkfs.fat", "mcopy", "mdel", "mtype"});
    if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    test::TempDir dir("cleanup-fat");
    const std::string image = dir.Path() + "/fat32.img", local = dir.Path() + "/f";
    std::string out;
    ASSERT_EQ(
        test::RunTool({"mkfs.fat", "-F", "32", "-C", "-S", "512", "-s", "1", image, "40960"}, &out),
        0)
        << out;
    const std::string keep(3000, 'k');
    ASSERT_TRUE(test::WriteFileBytes(local, keep));
    for (const char* name : {"::/KeepThisFile.txt", "::/TwTailGone.txt"})
        ASSERT_EQ(test::RunTool({"mcopy", "-i", image, local, name}, &out), 0) << out;
    ASSERT_EQ(test::RunTool({"mdel", "-i", image, "::/TwTailGone.txt"}, &out), 0) << out;
    std::string bytes = test::ReadFileBytes(image);
    const std::string piece("T\0w\0T\0a\0i\0", 10);
    const size_t at = bytes.find(piece);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(static_cast<uint8_t>(bytes[at - 1]), 0xE5);
    bytes[at - 1] = '\0';
    ASSERT_TRUE(test::WriteFileBytes(image, bytes));

    CleanupDrive drive;
    drive.text = dir.Path();
    drive.info = DriveInfo{};
    drive.info->mountPoint = dir.Path();
    drive.info->device = image;
    drive.info->fsType = "vfat";
    tw::test::TestOperation op;
    const StepResult r = ScrubDeletedRecords(op, drive);
    EXPECT_TRUE(r.ran) << r.skipped;
    EXPECT_TRUE(r.skipped.empty()) << r.skipped;
    EXPECT_EQ(test::ReadFileBytes(image).find(piece), std::string::npos);
    std::string kept;
    ASSERT_EQ(test::RunTool({"mtype", "-i", image, "::/KeepThisFile.txt"}, &kept), 0) << kept;
    EXPECT_TRUE(kept == keep);
}

}  // namespace
}  // namespace tw::wipe
