// SPDX-License-Identifier: GPL-3.0-or-later
// A wipe that reports success has destroyed the data: checked on the raw bytes of a
// small ext4 volume for a sparse file far larger than the free space and for a full
// volume, for `tidewipe-cli wipe` and for the deep clean's and the Trash's wipers. And a
// file another program holds locked, by flock or by fcntl, is refused alike, in the plan
// and in the run.
//
// A small file under ntfs-3g keeps its data inside its MFT record. Growing it to whole
// clusters for the overwrite makes ntfs-3g move the data out to a cluster and leaves the
// old bytes in the record's unused space (the record's slack), where no pass reaches
// them. Every wiper must leave nothing of such a file on the raw image: the plain wipe
// (`tidewipe-cli wipe`) and the deep clean's wiper. ext4 with inline_data keeps small
// files in the inode the same way (and takes O_DIRECT opens of them): there without a
// journal, which would keep its own copies of the inode block out of any file
// operation's reach. Needs root (and /dev/fuse for NTFS).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/common/cli_fixture.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "wipe/file_wiper.h"

namespace fs = std::filesystem;
using tw::test::FsKind;

namespace {

class WipeVolume : public tw::test::CliFixture<> {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpCli(false));
        std::random_device rd;
        nonce_ = std::to_string(rd()) + std::to_string(rd());
    }
    std::string Marker(const std::string& tag) const { return "TWMARK-" + tag + "-" + nonce_; }
    // `text` at each offset, nothing in between (holes).
    static bool WriteAt(const std::string& path, const std::vector<uint64_t>& offsets,
                        const std::string& text) {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        bool ok = true;
        for (uint64_t at : offsets)
            ok = ok && pwrite(fd, text.data(), text.size(), static_cast<off_t>(at)) ==
                           static_cast<ssize_t>(text.size());
        ok = fsync(fd) == 0 && ok;
        close(fd);
        return ok;
    }

    std::string nonce_;
};

}  // namespace

TEST_F(WipeVolume, ReportedSuccessMeansTheDataIsGone) {
    // Locked files, whichever lock: refused (3) in the plan and in the run, untouched.
    {
        const std::string flocked = dir_.Path() + "/flocked.txt";
        const std::string fcntled = dir_.Path() + "/fcntled.txt";
        ASSERT_TRUE(tw::test::WriteFileBytes(flocked, "held by flock"));
        ASSERT_TRUE(tw::test::WriteFileBytes(fcntled, "held by fcntl"));
        const int a = open(flocked.c_str(), O_RDWR | O_CLOEXEC);
        const int b = open(fcntled.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(flock(a, LOCK_EX), 0);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        ASSERT_EQ(fcntl(b, F_SETLK, &fl), 0);  // a record lock: another process's to the CLI
        std::string plan, run;
        EXPECT_EQ(Cli({"wipe", "--dry-run", flocked, fcntled}, &plan), 3);
        EXPECT_EQ(Cli({"wipe", "--yes", flocked, fcntled}, &run), 3);
        close(a);
        close(b);
        for (const std::string* out : {&plan, &run}) {
            EXPECT_NE(out->find(flocked + ": locked by another program (flock)"), std::string::npos)
                << *out;
            EXPECT_NE(out->find(fcntled + ": locked by another program (fcntl"), std::string::npos)
                << *out;
        }
        EXPECT_EQ(tw::test::ReadFileBytes(flocked), "held by flock");
        EXPECT_EQ(tw::test::ReadFileBytes(fcntled), "held by fcntl");
    }

    // A user who may write the file but not remove it (a folder of someone else's, or a
    // sticky folder): refused before a byte is written, with the reason, plan and run.
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0) {
        ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
        const std::string cli = dir_.Path() + "/tidewipe-cli";  // where that user can run it
        fs::copy_file(tw::test::CliPath(), cli);
        ASSERT_EQ(chmod(cli.c_str(), 0755), 0);
        const std::string config = dir_.Path() + "/nobody-config";
        ASSERT_EQ(mkdir(config.c_str(), 0777), 0);
        ASSERT_EQ(chmod(config.c_str(), 0777), 0);
        const std::string closed = dir_.Path() + "/closed", sticky = dir_.Path() + "/sticky";
        ASSERT_EQ(mkdir(closed.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(sticky.c_str(), 01777), 0);
        ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
        const std::string mine = closed + "/mine.txt", theirs = sticky + "/theirs.txt";
        ASSERT_TRUE(tw::test::WriteFileBytes(mine, "keep me"));
        ASSERT_TRUE(tw::test::WriteFileBytes(theirs, "keep me too"));
        ASSERT_EQ(chown(mine.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(theirs.c_str(), 0666), 0);
        // Its own home too: nothing of that user's goes into root's.
        const std::vector<std::string> asNobody = {
            "env", "HOME=" + config, "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
            cli,   "--config-home",  config,    "wipe"};
        auto run = [&](std::vector<std::string> args, std::string* out) {
            args.insert(args.begin(), asNobody.begin(), asNobody.end());
            return tw::test::RunTool(args, out);
        };
        std::string plan, wiped;
        EXPECT_EQ(run({"--dry-run", mine, theirs}, &plan), 3) << plan;
        EXPECT_EQ(run({"--yes", mine, theirs}, &wiped), 3) << wiped;
        for (const std::string* out : {&plan, &wiped}) {
            EXPECT_NE(out->find(mine + ": the folder " + closed + " does not let"),
                      std::string::npos)
                << *out;
            EXPECT_NE(out->find(theirs + ": the folder " + sticky + " is sticky"),
                      std::string::npos)
                << *out;
        }
        EXPECT_EQ(tw::test::ReadFileBytes(mine), "keep me");
        EXPECT_EQ(tw::test::ReadFileBytes(theirs), "keep me too");
    }

    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    tw::test::ScratchVolume vol(FsKind::Ext4, 32);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string root = vol.Root();
    const uint64_t far = 40ull << 20;  // beyond the whole volume

    // Sparse files reaching past the free space, data at the start and at 40 MiB, one
    // per wiper; the image is read after each (a later wipe could overwrite what an
    // earlier one left in free space).
    std::string out;
    std::vector<uint8_t> image;
    for (const std::string tag : {"cli", "deep", "trash"}) {
        const std::string path = root + tag + ".bin";
        ASSERT_TRUE(WriteAt(path, {0, far}, Marker(tag)));
        if (tag == "cli") {
            EXPECT_EQ(Cli({"wipe", "--yes", "--passes", "2", path}, &out), 0) << out;
        } else if (tag == "deep") {
            tw::wipe::CProgressFileWiper deep;
            deep.SetPassCount(2);
            EXPECT_TRUE(deep.WipeFile(tw::IdleOperation(), path, false, 0))
                << tw::ErrorText(deep.LastError());
        } else {
            tw::wipe::CRecycleFileWiper trash;
            trash.SetPassCount(2);
            EXPECT_TRUE(trash.WipeFile(tw::IdleOperation(), path, false, 0, true))
                << tw::ErrorText(trash.LastError());
        }
        image = vol.ReadImage();
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(tw::test::CountOccurrences(image, Marker(tag)), 0u) << tag << " survived";
    }

    // A full volume: an ordinary file and a sparse one, then no free block left.
    const std::string whole = Marker("whole");
    std::string wholeText;
    while (wholeText.size() < 100000) wholeText += whole;
    ASSERT_TRUE(tw::test::WriteFileBytes(root + "whole.txt", wholeText));
    ASSERT_TRUE(WriteAt(root + "holed.bin", {1 << 20}, Marker("holed")));
    {
        int fd = open((root + "filler").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const std::string block(1 << 16, 'F');
        for (size_t size = block.size(); size > 0; size /= 2)
            while (write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
            }
        fsync(fd);
        close(fd);
    }
    {
        // Not one more block: a new file's first block is refused.
        const std::string block(4096, 'P');
        int fd = open((root + "probe").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        const bool took = write(fd, block.data(), block.size()) == 4096 && fsync(fd) == 0;
        close(fd);
        unlink((root + "probe").c_str());
        ASSERT_FALSE(took) << "the volume is not full";
    }
    out.clear();
    EXPECT_EQ(Cli({"wipe", "--yes", "--json", root + "whole.txt", root + "holed.bin"}, &out), 0)
        << out;
    EXPECT_FALSE(fs::exists(root + "whole.txt"));
    EXPECT_FALSE(fs::exists(root + "holed.bin"));

    image = vol.ReadImage();
    ASSERT_FALSE(image.empty());
    for (const std::string tag : {"whole", "holed"})
        EXPECT_EQ(tw::test::CountOccurrences(image, Marker(tag)), 0u) << tag << " survived";

    // An immutable file is called so, not read-only.
    ASSERT_TRUE(tw::test::WriteFileBytes(root + "fixed.txt", "x"));
    if (tw::test::RunTool({"chattr", "+i", root + "fixed.txt"}) == 0) {
        out.clear();
        EXPECT_EQ(Cli({"wipe", "--dry-run", root + "fixed.txt"}, &out), 3);
        EXPECT_NE(out.find("fixed.txt: immutable"), std::string::npos) << out;
        tw::test::RunTool({"chattr", "-i", root + "fixed.txt"});
    }
}

namespace tw::wipe {
namespace {

class RecordSlack : public ::testing::TestWithParam<FsKind> {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(GetParam());
        ASSERT_TRUE(work.Ok());
        config = work.Path() + "/config";
        tw::test::PrivateLogFolder(config);
        if (GetParam() == FsKind::Ntfs) {
            vol = std::make_unique<test::ScratchVolume>(FsKind::Ntfs, 16);
        } else {
            vol = std::make_unique<test::ScratchVolume>(
                FsKind::Ext4, 16, "twinline",
                test::ScratchOptions{{"-I", "1024", "-O", "inline_data,^has_journal"}, {}});
            if (!vol->Ok() && vol->Error().rfind("mount", 0) == 0)
                GTEST_SKIP() << "this kernel does not mount ext4 with inline_data: "
                             << vol->Error();
        }
        ASSERT_TRUE(vol->Ok()) << vol->Error();
    }

    // Writes a file of 300 bytes made of `marker`, and checks that its data sits in its
    // record or inode (less than one cluster allocated) and is on the image.
    void Plant(const std::string& path, const std::string& marker) {
        std::string s;
        while (s.size() < 300) s += marker;
        s.resize(300);
        ASSERT_TRUE(test::WriteFileBytes(path, s));
        sync();
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        ASSERT_LT(st.st_blocks * 512, 4096) << "the file system should keep the file inline";
        ASSERT_GT(test::CountOccurrences(vol->ReadImage(), marker), 0u);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
    }

    test::TempDir work{"record-slack"};
    std::unique_ptr<test::ScratchVolume> vol;
    std::string config;
};

TEST_P(RecordSlack, WipersLeaveNothingOfAFileKeptInItsRecord) {
    const std::string path = vol->MountPoint() + "/note.txt";
    const std::string marker = "TW-RESIDENT-WIPE-4d2e";
    Plant(path, marker);
    std::string out;
    ASSERT_EQ(test::RunCliIn(config, {"wipe", "--yes", "--passes", "1", path}, &out), 0) << out;
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "the file should be gone";
    EXPECT_EQ(test::CountOccurrences(vol->ReadImage(), marker), 0u)
        << "the file's bytes survive in its record";
    if (GetParam() != FsKind::Ntfs) return;

    // The deep clean's wiper, on the same volume.
    const std::string tiny = vol->MountPoint() + "/tiny.cfg";
    const std::string deepMarker = "TW-RESIDENT-DEEP-8b71";
    Plant(tiny, deepMarker);
    CProgressFileWiper wiper;
    wiper.SetPassCount(1);
    ASSERT_TRUE(wiper.WipeFile(tw::IdleOperation(), tiny, false, 0));
    EXPECT_EQ(test::CountOccurrences(vol->ReadImage(), deepMarker), 0u)
        << "the file's bytes survive in its MFT record";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, RecordSlack, ::testing::Values(FsKind::Ntfs, FsKind::Ext4),
                         [](const auto& info) { return std::string(test::FsName(info.param)); });

}  // namespace
}  // namespace tw::wipe
