// SPDX-License-Identifier: GPL-3.0-or-later
// Slack on real file systems: ext4 on a loop mount (FIEMAP places every last cluster;
// the image is the oracle), NTFS under ntfs-3g (no FIEMAP; small files live in their
// record) and tmpfs (no device). The list; a marker planted in a file's slack, read back,
// and gone once wiped, each pass on the image before the next, the file unchanged; the
// deep clean's move of a file to new clusters. Needs root (and /dev/fuse for NTFS).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/format.h"
#include "tests/common/recording_sink.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "volume/raw_drive.h"
#include "wipe/deep_clean.h"
#include "wipe/slack.h"
#include "wipe/slack_scan.h"

namespace tw::wipe {
namespace {

using test::FsKind;

constexpr uint32_t kCluster = 4096;  // ScratchVolume formats with 4096-byte clusters

std::string Content(const std::string& tag, size_t n) {
    std::string s = "TWSCAN-" + tag + "-";
    uint32_t x = static_cast<uint32_t>(n) * 2654435761u + 7;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        s.push_back(static_cast<char>('a' + (x >> 16) % 26));
    }
    s.resize(n);
    return s;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

// The JSON tidewipe-cli prints (stdout only) with its settings in `config`.
nlohmann::json CliJson(const std::string& config, const std::string& args) {
    const auto r = test::RunCli("--config-home " + Quote(config) + " " + args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
}

// A tmpfs mounted on a folder below the tree for the length of a test.
struct NestedMount {
    std::string at;
    bool mounted = false;
    explicit NestedMount(std::string where) : at(std::move(where)) {
        mounted = mkdir(at.c_str(), 0755) == 0 &&
                  test::RunTool({"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", at}) == 0;
    }
    void Unmount() {
        if (mounted && test::RunTool({"umount", at}) == 0) mounted = false;
    }
    ~NestedMount() { Unmount(); }
};

// Offsets of every occurrence of `needle` in `hay`.
std::vector<int64_t> FindAll(const std::vector<uint8_t>& hay, const std::string& needle) {
    std::vector<int64_t> out;
    for (auto it = hay.begin();; ++it) {
        it = std::search(it, hay.end(), needle.begin(), needle.end());
        if (it == hay.end()) return out;
        out.push_back(it - hay.begin());
    }
}

constexpr timespec kMtime{1500000000, 123456700};  // a whole number of 100 ns for NTFS

// Writes `content` (3000 bytes: one cluster, not resident in an NTFS record) to `path`
// with kMtime, finds its cluster on the image (*at, its offset there) and fills its
// slack with `marker` on the image, behind the file system's back (unmounted meanwhile).
void MakeMarkedFile(test::ScratchVolume& vol, const std::string& path, const std::string& content,
                    const std::string& marker, int64_t* at) {
    ASSERT_TRUE(test::WriteFileBytes(path, content));
    const timespec t[2] = {{0, UTIME_OMIT}, kMtime};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
    const std::vector<int64_t> found = FindAll(vol.ReadImage(), content.substr(0, 64));
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    ASSERT_EQ(found.size(), 1u) << "the file's data should be on the image exactly once";
    *at = found[0];
    ASSERT_EQ(*at % kCluster, 0) << "a non-resident file starts at a cluster";
    std::string fill;
    while (fill.size() < kCluster - content.size()) fill += marker;
    fill.resize(kCluster - content.size());
    ASSERT_TRUE(vol.Unmount()) << vol.Error();
    const int fd = open(vol.ImagePath().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, fill.data(), fill.size(), static_cast<off_t>(*at + content.size())),
              static_cast<ssize_t>(fill.size()));
    fsync(fd);
    close(fd);
    ASSERT_TRUE(vol.Mount()) << vol.Error();
    ASSERT_EQ(test::ReadFileBytes(path), content) << "the slack is not part of the file";
    ASSERT_GT(test::CountOccurrences(vol.ReadImage(), marker), 0u);
}

// Where the file system does not tell where a file's last cluster lies (ntfs-3g: no
// FIEMAP; tmpfs: no device), its slack cannot be shown: the reader refuses without
// reading, `slacks --show` ends with `showExit`, and the list of `folder` has exactly
// `slacks` (path, slack bytes), each with its last cluster unknown, never guessed.
void ExpectNoSlackView(const std::string& path, const std::string& folder, int showExit,
                       const std::map<std::string, uint64_t>& slacks) {
    test::TempDir work("slackscan-other");
    ASSERT_TRUE(work.Ok());
    const std::string config = work.Path() + "/config";
    test::PrivateLogFolder(config);
    int reads = 0;
    auto r = ReadFileSlack(path, [&](uint64_t, void*, uint32_t) { return ++reads, true; });
    ASSERT_FALSE(r.ok());
    EXPECT_NE(tw::ErrorText(r.error()).find("does not tell where"), std::string::npos)
        << tw::ErrorText(r.error());
    EXPECT_EQ(reads, 0);
    std::string out;
    EXPECT_EQ(test::RunCliIn(config, {"slacks", "--show", path}, &out), showExit) << out;
    const auto j = CliJson(config, "slacks --json " + Quote(folder));
    std::map<std::string, uint64_t> listed;
    for (const auto& item : j["slacks"]) {
        EXPECT_TRUE(item["last_cluster"].is_null());
        listed[item["path"]] = item["slack"];
    }
    EXPECT_EQ(listed, slacks);
    out.clear();
    ASSERT_EQ(test::RunCliIn(config, {"slacks", folder}, &out), 0) << out;
    EXPECT_NE(out.find("  unknown\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------- the list

class SlackScanVolume : public ::testing::TestWithParam<FsKind> {};

// What the walk leaves out and the result line are the unit test's; here what depends on
// the file system: which files own a cluster, mounts, and where the last cluster lies.
TEST_P(SlackScanVolume, ListsExactlyTheFilesWithASlackCluster) {
    TW_REQUIRE_SCRATCH(GetParam());
    test::ScratchVolume vol(GetParam(), 32);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string tree = vol.MountPoint() + "/tree";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    std::map<std::string, std::string> content;
    for (size_t size : {0u, 1u, 4095u, 4096u, 4097u}) {
        const std::string path = tree + "/size-" + std::to_string(size);
        content[path] = Content(std::to_string(size), size);
        ASSERT_TRUE(test::WriteFileBytes(path, content[path]));
    }
    ASSERT_EQ(link((tree + "/size-4095").c_str(), (tree + "/zz-hard").c_str()), 0);
    NestedMount nested(tree + "/nested");
    ASSERT_TRUE(nested.mounted);
    ASSERT_TRUE(test::WriteFileBytes(nested.at + "/other.txt", std::string(100, 'o')));

    CSlackScanner scanner;
    std::map<std::string, std::string> skipped;
    scanner.onSkip = [&](const std::string& p, std::string_view why) {
        skipped[p] = std::string(why);
    };
    const SlackScanReport rep = scanner.Scan(tw::IdleOperation(), tree, vol.MountPoint());
    ASSERT_EQ(rep.end, SlackScanEnd::Completed) << rep.message;

    std::map<std::string, uint64_t> listed;
    for (const auto& s : scanner.found()) listed[s.path] = s.slackBytes;
    std::map<std::string, uint64_t> expected = {{tree + "/size-4095", 1},
                                                {tree + "/size-4097", 4095}};
    if (GetParam() != FsKind::Ntfs)
        expected[tree + "/size-1"] = 4095;
    else
        // ntfs-3g keeps a 1-byte file inside its record: no cluster, no slack.
        EXPECT_EQ(skipped[tree + "/size-1"], "no cluster of its own on the disk");
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(skipped[tree + "/nested"], "a mount point (another file system or a bind mount)");
    EXPECT_EQ(skipped.count(nested.at + "/other.txt"), 0u) << "the walk entered the nested mount";

    nested.Unmount();
    if (GetParam() != FsKind::Ext4) {  // ntfs-3g answers no FIEMAP; tmpfs has no device
        ExpectNoSlackView(tree + "/size-4097", tree, GetParam() == FsKind::Ntfs ? 1 : 3, expected);
        return;
    }
    // The image is the oracle: at each reported last cluster lie the file's last bytes.
    const std::vector<uint8_t> image = vol.ReadImage();
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    for (const auto& s : scanner.found()) {
        ASSERT_TRUE(s.lastClusterKnown) << s.path;
        const std::string& data = content[s.path];
        const size_t tail = data.size() % kCluster;
        const uint64_t at = s.lastCluster * kCluster;
        ASSERT_LE(at + kCluster, image.size()) << s.path;
        EXPECT_EQ(std::memcmp(image.data() + at, data.data() + data.size() - tail, tail), 0)
            << s.path << ": cluster " << s.lastCluster << " does not hold the file's last bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SlackScanVolume,
                         ::testing::Values(FsKind::Ext4, FsKind::Ntfs, FsKind::Tmpfs),
                         [](const auto& info) { return std::string(test::FsName(info.param)); });

// ---------------------------------------------------------------- the bytes (ext4)

struct SlackBytesExt4 : ::testing::Test {
    test::TempDir work{"slackscan-vol"};
    std::unique_ptr<test::ScratchVolume> vol;
    std::string tree, path, config;
    const std::string content = Content("letter", 3000);
    const std::string marker = "TW-SCAN-MARKER-5c1e";
    uint64_t lastCluster = 0;

    void SetUp() override {
        TW_REQUIRE_SCRATCH(FsKind::Ext4);
        ASSERT_TRUE(work.Ok());
        config = work.Path() + "/config";
        tw::test::PrivateLogFolder(config);
        vol = std::make_unique<test::ScratchVolume>(FsKind::Ext4, 32);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
        tree = vol->MountPoint() + "/tree";
        path = tree + "/letter.txt";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        int64_t at = 0;
        ASSERT_NO_FATAL_FAILURE(MakeMarkedFile(*vol, path, content, marker, &at));
        lastCluster = static_cast<uint64_t>(at) / kCluster;
    }

    Result<FileSlackBytes> Read() {
        auto source = SlackViewSource(path);
        if (!source) return source.error();
        volume::CRawDriveRef drive;
        if (!drive.Open(source.value())) return drive.LastError();
        return ReadFileSlack(path, [&drive](uint64_t sector, void* buffer, uint32_t count) {
            return drive.Read(sector, buffer, count);
        });
    }
};

TEST_F(SlackBytesExt4, MarkerIsReadBackAndIsGoneAfterTheSlackWipeAndChangesAreNoticed) {
    auto bytes = Read();
    ASSERT_TRUE(bytes.ok()) << tw::ErrorText(bytes.error());
    const FileSlackBytes& b = bytes.value();
    EXPECT_EQ(b.lastCluster, lastCluster);
    EXPECT_EQ(b.byteOffset, lastCluster * kCluster);
    EXPECT_EQ(b.clusterSize, kCluster);
    EXPECT_EQ(b.sizeBytes, 3000u);
    EXPECT_EQ(b.slackOffset, 3000u);
    ASSERT_EQ(b.cluster.size(), kCluster);
    EXPECT_EQ(std::memcmp(b.cluster.data(), content.data(), 3000), 0);
    const std::string slack(b.Slack().begin(), b.Slack().end());
    ASSERT_EQ(slack.size(), kCluster - 3000);
    EXPECT_EQ(slack.substr(0, marker.size()), marker);

    // The command shows the same bytes, as filtered text and as JSON.
    std::string out;
    ASSERT_EQ(test::RunCliIn(config, {"slacks", "--show", path}, &out), 0) << out;
    EXPECT_NE(out.find(marker), std::string::npos) << out;
    EXPECT_NE(out.find("Last cluster: " + std::to_string(lastCluster)), std::string::npos) << out;
    const auto j = CliJson(config, "slacks --json --show " + Quote(path));
    EXPECT_EQ(j["last_cluster"], lastCluster);
    EXPECT_EQ(j["slack"], kCluster - 3000);
    std::string hexMarker;
    for (unsigned char c : marker) hexMarker += StrPrintf("%02x", c);
    EXPECT_EQ(j["slack_hex"].get<std::string>().substr(0, hexMarker.size()), hexMarker);

    out.clear();
    ASSERT_EQ(test::RunCliIn(config, {"slack", "--yes", "--passes", "1", tree}, &out), 0) << out;

    // Read again at once: a page of the device cached by the reads above must not be
    // taken for what the disk holds now.
    bytes = Read();
    ASSERT_TRUE(bytes.ok()) << tw::ErrorText(bytes.error());
    EXPECT_EQ(bytes.value().lastCluster, lastCluster) << "the slack wipe does not move the file";
    EXPECT_EQ(std::memcmp(bytes.value().cluster.data(), content.data(), 3000), 0);
    const auto after = bytes.value().Slack();
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](uint8_t c) { return c == 0; }))
        << "the slack should read as zeros after a one-pass wipe";

    // A read that fails is an error, not an empty slack; a file that grows between
    // locating its last cluster and reading it is noticed: the bytes read are no longer
    // its slack.
    bytes = ReadFileSlack(path, [](uint64_t, void*, uint32_t) { return false; });
    ASSERT_FALSE(bytes.ok());
    EXPECT_NE(tw::ErrorText(bytes.error()).find("could not be read"), std::string::npos);
    volume::CRawDriveRef drive;
    ASSERT_TRUE(drive.Open(SlackViewSource(path).value())) << tw::ErrorText(drive.LastError());
    bytes = ReadFileSlack(path, [&](uint64_t sector, void* buffer, uint32_t count) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, "more", 4), 4);
        close(fd);
        return drive.Read(sector, buffer, count);
    });
    ASSERT_FALSE(bytes.ok());
    EXPECT_NE(tw::ErrorText(bytes.error()).find("changed while its slack was read"),
              std::string::npos)
        << tw::ErrorText(bytes.error());
}

TEST_F(SlackBytesExt4, AUserWithoutAccessToTheDeviceGetsTheAdviceText) {
    if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv (util-linux) is missing";
    // The unprivileged user must reach the file and the settings folder.
    ASSERT_EQ(chmod(work.Path().c_str(), 0711), 0);
    ASSERT_EQ(chmod(config.c_str(), 0777), 0);
    const std::string parent = vol->MountPoint().substr(0, vol->MountPoint().rfind('/'));
    ASSERT_EQ(chmod(parent.c_str(), 0711), 0);
    // ... and the program: the build folder may lie where that user cannot go.
    const std::string cli = work.Path() + "/tidewipe-cli";
    std::error_code ec;
    std::filesystem::copy_file(test::CliPath(), cli, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(chmod(cli.c_str(), 0755), 0);
    const auto r = test::RunCli("--config-home " + Quote(config) + " slacks --show " + Quote(path),
                                "", "setpriv --reuid=65534 --regid=65534 --clear-groups ", cli);
    const std::string out = r.out + r.err;
    EXPECT_EQ(r.status, 3) << out;
    EXPECT_NE(out.find(SlackViewDeniedText()), std::string::npos) << out;
    EXPECT_EQ(out.find(marker), std::string::npos);
}

// ---------------------------------------------------------------- the wipe

class SlackVolume : public ::testing::TestWithParam<FsKind> {};

TEST_P(SlackVolume, MarkerPlantedInTheSlackIsGoneAndTheFileIsUnchanged) {
    TW_REQUIRE_SCRATCH(GetParam());
    test::TempDir work("slack-vol");
    ASSERT_TRUE(work.Ok());
    test::ScratchVolume vol(GetParam(), 32);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string folder = vol.MountPoint() + "/docs";
    const std::string path = folder + "/letter.txt";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

    const std::string content = Content(test::FsName(GetParam()), 3000);
    const std::string marker = "TW-SLACK-MARKER-7f3a91";
    int64_t at = 0;
    ASSERT_NO_FATAL_FAILURE(MakeMarkedFile(vol, path, content, marker, &at));

    RegistryStore store(work.Path() + "/registry.db");
    CSlackWiper w(&store);
    w.passCount = 3;
    // Each pass must reach the disk before the next: right after a pass the image
    // itself (not just a cache of the mounted file system) holds its bytes.
    std::vector<std::string> onImage;
    w.passObserver = [&](int, const uint8_t*, size_t n) {
        std::string bytes(n, '\0');
        int fd = open(vol.ImagePath().c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, bytes.data(), n, at + 3000), static_cast<ssize_t>(n));
        close(fd);
        onImage.push_back(bytes);
    };
    tw::test::TestOperation op;
    ASSERT_EQ(w.WipeSlacks(op, vol.MountPoint(), vol.MountPoint()), Outcome::Ok);
    EXPECT_EQ(w.filesWiped, 1u);
    EXPECT_EQ(w.filesFailed, 0u);
    EXPECT_EQ(w.slackBytesWiped, 1096u);
    ASSERT_EQ(onImage.size(), 4u);
    EXPECT_EQ(onImage[0], std::string(1096, '\x00'));
    EXPECT_EQ(onImage[1], std::string(1096, '\xFF'));
    EXPECT_EQ(onImage[2], std::string(1096, '\x00'));
    EXPECT_EQ(onImage[3], std::string(1096, '\x00'));

    const std::vector<uint8_t> image = vol.ReadImage();
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    EXPECT_EQ(test::CountOccurrences(image, marker), 0u) << "the marker survived in the slack";
    // The file has not moved, and its slack now reads as zeros.
    ASSERT_LE(static_cast<size_t>(at + 4096), image.size());
    EXPECT_EQ(std::memcmp(image.data() + at, content.data(), content.size()), 0);
    EXPECT_TRUE(std::all_of(image.begin() + at + 3000, image.begin() + at + 4096,
                            [](uint8_t b) { return b == 0; }));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3000);
    EXPECT_EQ(st.st_mtim.tv_sec, kMtime.tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, kMtime.tv_nsec);
    EXPECT_EQ(test::ReadFileBytes(path), content);
}

// Deep clean: after the clean the clusters the file used to occupy no longer hold its
// data, the data exists once on the image (in the new copy), and the file reads back
// identically with the stamp as its time.
TEST_P(SlackVolume, DeepCleanOldClustersNoLongerHoldTheFileAndTheFileReadsBackIdentically) {
    TW_REQUIRE_SCRATCH(GetParam());
    test::TempDir work("slack-deepvol");
    ASSERT_TRUE(work.Ok());
    auto vol = std::make_unique<test::ScratchVolume>(GetParam(), 48);
    ASSERT_TRUE(vol->Ok()) << vol->Error();
    auto store = std::make_unique<RegistryStore>(work.Path() + "/registry.db");
    const std::string path = vol->MountPoint() + "/report.txt";
    const std::string content = Content(test::FsName(GetParam()), 40000);  // ten clusters
    ASSERT_TRUE(test::WriteFileBytes(path, content));
    const std::string probes[] = {content.substr(0, 48), content.substr(20000, 48),
                                  content.substr(39950, 48)};

    std::vector<uint8_t> image = vol->ReadImage();
    ASSERT_TRUE(vol->Ok()) << vol->Error();
    std::vector<int64_t> before;
    for (const std::string& p : probes) {
        auto at = FindAll(image, p);
        ASSERT_EQ(at.size(), 1u) << "each piece of the file is on the image once";
        before.push_back(at[0]);
    }

    CDeepCleaner c(*store);
    c.passCount = 1;
    tw::test::TestOperation op;
    ASSERT_EQ(c.Run(op, vol->MountPoint(), vol->MountPoint()), Outcome::Ok);
    EXPECT_EQ(c.filesCleaned, 1u);
    EXPECT_EQ(c.filesNotCleaned, 0u);

    image = vol->ReadImage();
    ASSERT_TRUE(vol->Ok()) << vol->Error();
    for (size_t i = 0; i < std::size(probes); ++i) {
        SCOPED_TRACE(i);
        auto at = FindAll(image, probes[i]);
        ASSERT_EQ(at.size(), 1u) << "the data should exist once: in the new copy";
        EXPECT_NE(at[0], before[i]) << "the data should have moved to other clusters";
        // What the old cluster holds now is not the file's data.
        EXPECT_NE(std::memcmp(image.data() + before[i], probes[i].data(), probes[i].size()), 0);
    }
    EXPECT_EQ(test::ReadFileBytes(path), content);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(FileTimeFromTimespec(st.st_mtim), c.NewStamp());
    EXPECT_EQ(ReadDeepCleanStamp(*store, vol->MountPoint()), c.NewStamp());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SlackVolume, ::testing::Values(FsKind::Ext4, FsKind::Ntfs),
                         [](const auto& info) { return std::string(test::FsName(info.param)); });

}  // namespace
}  // namespace tw::wipe
