// SPDX-License-Identifier: GPL-3.0-or-later
// Recovery from a FAT32 image made by mkfs.fat and mtools (tests/data/make_fat_recovery_image.sh),
// checked against the original contents and against what icat (The Sleuth Kit) extracts
// for the same entry; names from a crafted directory; the directory entries cleared
// afterwards (fsck.fat still finds the volume clean), and the recover, clusters and dump
// commands end to end.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "platform/strings.h"
#include "tests/common/recording_sink.h"
#include "tests/common/run_cli.h"
#include "tests/volume/recovery_fixture.h"
#include "volume/item_clusters.h"

namespace tw::volume {
namespace {

namespace fs = std::filesystem;
using test::RunTool;
using testing::Content;
using testing::OutFolder;
using testing::SearchedVolume;

// A fresh image per test (tests change it).
struct Image {
    test::TempDir dir{"fatrec"};
    std::string path = dir.Path() + "/fat.img";
    std::string skip;
    Image() {
        std::string out;
        if (const std::string missing =
                test::MissingTool({"mkfs.fat", "mcopy", "fls", "icat", "fsck.fat"});
            !missing.empty()) {
            skip = "missing tool: " + missing;
            return;
        }
        int rc = RunTool(
            {"sh", std::string(TW_TEST_DATA_DIR) + "/make_fat_recovery_image.sh", path}, &out);
        if (rc == 77)
            skip = out;
        else if (rc != 0)
            skip = "FAILED: the image script exited " + std::to_string(rc) + ": " + out;
    }
    // tidewipe-cli with a settings store beside the image: `args` as typed in a shell;
    // On() puts the image after `command`.
    test::CliResult Cli(const std::string& args) const {
        return test::RunCli("--config-home '" + dir.Path() + "/cfg' " + args);
    }
    test::CliResult On(const std::string& command, const std::string& rest = "") const {
        return Cli(command + " '" + path + "' " + rest);
    }
    std::vector<uint8_t> Bytes() const {
        std::string s = test::ReadFileBytes(path);
        return std::vector<uint8_t>(s.begin(), s.end());
    }
};

#define REQUIRE_IMAGE(img)                                            \
    do {                                                              \
        if ((img).skip.rfind("FAILED", 0) == 0) FAIL() << (img).skip; \
        if (!(img).skip.empty()) GTEST_SKIP() << (img).skip;          \
    } while (0)

// Deleted files as fls lists them: "<folder>|?<name bytes 1..>" -> inode. fls shows the
// lost first character as "_"; the search shows it as "?".
std::map<std::string, uint64_t> FlsDeleted(const std::string& image) {
    std::string out;
    RunTool({"fls", "-r", "-d", "-p", image}, &out);
    std::map<std::string, uint64_t> m;
    std::regex line(R"(^r/r \* (\d+):\t(.*)$)");
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch sm;
        if (!std::regex_match(l, sm, line)) continue;
        std::string path = sm[2];
        size_t slash = path.rfind('/');
        std::string folder = slash == std::string::npos ? "/" : "/" + path.substr(0, slash);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!name.empty() && name[0] == '_') name[0] = '?';
        m[folder + "|" + name] = std::stoull(sm[1]);
    }
    return m;
}

struct Recovered {
    RecoverResult result;
    std::string bytes;
};

TEST(FatRecoveryIntegration, RecoveredFilesMatchTheOriginalsAndIcat) {
    Image img;
    REQUIRE_IMAGE(img);
    SearchedVolume sv;
    ASSERT_TRUE(sv.Search(img.path, false)) << sv.report.message;
    ASSERT_EQ(sv.found.size(), 11u);
    auto inodes = FlsDeleted(img.path);
    OutFolder out;
    std::map<std::string, Recovered> byItem;
    for (const auto& f : sv.found) {
        Recovered r;
        r.result = sv.Recover(f, out.folder);
        ASSERT_EQ(r.result.outcome, Outcome::Ok) << f.name << ": " << r.result.error;
        r.bytes = out.Read(r.result.fileName);
        EXPECT_EQ(r.bytes.size(), f.size) << f.name;
        // Every item is byte-identical to what icat extracts for the same entry.
        auto it = inodes.find(f.folder + "|" + f.name);
        ASSERT_NE(it, inodes.end()) << f.folder << "|" << f.name << " is not in fls' list";
        EXPECT_TRUE(r.bytes == testing::Icat(img.path, it->second, img.dir.Path(), "-r"))
            << f.folder << "/" << f.name << " differs from icat";
        byItem[f.folder + "|" + f.name] = std::move(r);
    }
    // Files at 100 % are their originals, the 10 000-byte one included (three clusters).
    EXPECT_EQ(byItem["/|?ENK.BIN"].bytes, Content("TENK.BIN", 10000));
    EXPECT_EQ(byItem["/|?ENK.BIN"].result.clusters, 3u);
    EXPECT_EQ(byItem["/|?OC.TXT"].bytes, Content("DOC.TXT", 5000));
    EXPECT_EQ(byItem["/SUB|?NSUB.DAT"].bytes, Content("INSUB.DAT", 20000));
    EXPECT_EQ(byItem["/|?ILLER.BIN"].bytes, Content("FILLER.BIN", 3000));
    // Two deleted files of the same name: neither replaces the other.
    EXPECT_EQ(out.Read("#AME.TXT").size(), 300u);
    EXPECT_EQ(out.Read("#AME (2).TXT").size(), 300u);
    std::set<std::string> same = {out.Read("#AME.TXT"), out.Read("#AME (2).TXT")};
    EXPECT_EQ(same, (std::set<std::string>{Content("SAME.TXT", 300), Content("other", 300)}));
    // VICTIM.BIN's second cluster belongs to REUSER.BIN now: recovery skips it and takes
    // the next free cluster, where FILLER.BIN's data lies.
    const std::string& victim = byItem["/|?ICTIM.BIN"].bytes;
    EXPECT_TRUE(victim.substr(0, 4096) == Content("VICTIM.BIN", 4096));
    EXPECT_TRUE(victim.substr(4096) == Content("FILLER.BIN", 3000) + std::string(904, '\0'));
    EXPECT_EQ(victim.find("REUSER"), std::string::npos);
}

// Rewrites bytes 1..10 (name after the deletion mark, and the extension) of the deleted
// entry whose 11 name bytes are `name11` (first byte 0xE5).
bool RenameEntry(std::vector<uint8_t>& img, const std::string& name11, const std::string& bytes10) {
    const std::vector<uint8_t> needle(name11.begin(), name11.end());
    auto it = std::search(img.begin(), img.end(), needle.begin(), needle.end());
    if (it == img.end()) return false;
    std::memcpy(&*it + 1, bytes10.data(), 10);
    return true;
}

TEST(FatRecoveryIntegration, CraftedNamesRecoverOnlyInsideTheFolderAndLinksAreNotFollowed) {
    Image img;
    REQUIRE_IMAGE(img);
    auto bytes = img.Bytes();
    ASSERT_TRUE(RenameEntry(bytes, "\xE5RAFT1  TXT", std::string("./../x    ", 10)));
    ASSERT_TRUE(RenameEntry(bytes, "\xE5RAFT2  TXT", std::string("a/b    /..", 10)));
    ASSERT_TRUE(RenameEntry(bytes, std::string("\xE5RAFT3  TXT"),
                            std::string("\x01\x02\x1b\x7f   \n\r ", 10)));
    ASSERT_TRUE(RenameEntry(bytes, "\xE5RAFT4  TXT", std::string("-rf /     ", 10)));
    ASSERT_TRUE(test::WriteFileBytes(img.path, std::string(bytes.begin(), bytes.end())));

    // The folder sits alone in a parent whose listing must not change; a link under the
    // name one file will take points outside.
    test::TempDir parent("crafted");
    const std::string folder = parent.Path() + "/out";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    test::TempDir elsewhere("elsewhere");
    const std::string target = elsewhere.Path() + "/target";
    ASSERT_EQ(::symlink(target.c_str(), (folder + "/#ENK.BIN").c_str()), 0);

    auto r = test::RunCli("--config-home '" + parent.Path() + "/cfg' recover '" + img.path +
                          "' --to '" + folder + "' --all --keep-entries");
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    EXPECT_NE(::lstat(target.c_str(), &st), 0) << "the planted link was followed";
    EXPECT_EQ(test::ReadFileBytes(folder + "/#ENK (2).BIN"), Content("TENK.BIN", 10000));
    std::set<std::string> inParent;
    for (const auto& e : fs::directory_iterator(parent.Path()))
        inParent.insert(e.path().filename());
    EXPECT_EQ(inParent, (std::set<std::string>{"out", "cfg"}));
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename();
        if (name == "#ENK.BIN") continue;  // the planted link
        EXPECT_TRUE(e.is_regular_file() && !e.is_symlink()) << name;
        EXPECT_EQ(name.find('/'), std::string::npos);
        for (unsigned char c : name) EXPECT_FALSE(c < 0x20 || c == 0x7F) << name;
        ++files;
    }
    EXPECT_EQ(files, 11u);
    EXPECT_EQ(test::ReadFileBytes(folder + "/#._.._x"), Content("CRAFT1.TXT", 1000));
    EXPECT_EQ(test::ReadFileBytes(folder + "/#a_b._.."), Content("CRAFT2.TXT", 1000));
    EXPECT_EQ(test::ReadFileBytes(folder + "/#-rf_"), Content("CRAFT4.TXT", 1000));
    // One line per file says where it went.
    EXPECT_NE(r.out.find("/?./../x -> " + folder + "/#._.._x (1000 bytes)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(folder + "/#ENK (2).BIN (10000 bytes)"), std::string::npos) << r.out;
}

TEST(FatRecoveryIntegration, EntriesAreClearedAfterAFullRecoveryAndTheVolumeStaysSound) {
    Image img;
    REQUIRE_IMAGE(img);
    const std::string folder = img.dir.Path() + "/out";
    std::string before = test::ReadFileBytes(img.path);
    // 16 MiB more for CRAFT1.TXT: its entry's last byte is not zero, and must be cleared.
    const size_t craft1 = before.find("\xE5RAFT1  TXT");
    ASSERT_NE(craft1, std::string::npos);
    before[craft1 + 31] = 1;
    ASSERT_TRUE(test::WriteFileBytes(img.path, before));

    // A dry run lists the plan and changes nothing: no folder, the image as it was.
    auto dry = img.On("recover", "--to '" + folder + "' --all --dry-run");
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("/?ENK.BIN -> " + folder + "/#ENK.BIN (10000 bytes"), std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("#AME (2).TXT"), std::string::npos) << dry.out;
    struct stat st {};
    EXPECT_NE(::stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(test::ReadFileBytes(img.path) == before);

    // Recover one file; its entry is cleared, the others stay listed.
    const std::string json = img.On("search", "--json").out;
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(json, m, std::regex(R"re("name": "\?OC\.TXT".*?"location": (\d+))re")));
    const std::string docLocation = m[1];
    auto one = img.On("recover", "--to '" + folder + "' --location " + docLocation);
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("directory entry cleared"), std::string::npos) << one.out;
    EXPECT_EQ(test::ReadFileBytes(folder + "/#OC.TXT"), Content("DOC.TXT", 5000));
    const std::string after = img.On("search", "--json").out;
    EXPECT_EQ(after.find("?OC.TXT"), std::string::npos);
    EXPECT_NE(after.find("?ENK.BIN"), std::string::npos);
    std::string fsck;
    EXPECT_EQ(RunTool({"fsck.fat", "-n", img.path}, &fsck), 0) << fsck;

    // Everything: all entries recovered in full are cleared. VICTIM.BIN is recovered in
    // full too (on FAT32 nothing says a cluster is missing), so nothing is left to list.
    auto all = img.On("recover", "--to '" + folder + "' --all");
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("(10 of 10 files recovered)"), std::string::npos) << all.out;
    EXPECT_EQ(img.On("search", "--json").out, "[]\n");
    EXPECT_EQ(test::ReadFileBytes(img.path).substr(craft1, 32), "\xE5" + std::string(31, '\0'));
    EXPECT_EQ(RunTool({"fsck.fat", "-n", img.path}, &fsck), 0) << fsck;
    // The live files are untouched.
    std::string live;
    RunTool({"sh", "-c", "MTOOLS_SKIP_CHECK=1 mtype -i '" + img.path + "' ::/LIVE.TXT"}, &live);
    EXPECT_EQ(live, Content("LIVE.TXT", 700));
}

TEST(FatRecoveryIntegration, AStoppedRecoveryLeavesTheEntry) {
    Image img;
    REQUIRE_IMAGE(img);
    SearchedVolume sv;
    ASSERT_TRUE(sv.Search(img.path, true)) << sv.report.message;
    const RecoverableFile* tenk = sv.Find("?ENK.BIN");
    ASSERT_NE(tenk, nullptr);
    const std::string before = test::ReadFileBytes(img.path);
    OutFolder out;
    test::RecordingSink sink;
    std::atomic<int> stop{0};
    tw::test::TestOperation op;
    op.SetSink(&sink);
    op.UseStopFlag(stop);
    sink.onStep = [&](int64_t) { stop = 1; };
    RecoveryVolume rv = sv.Recovery(true);
    RecoverResult r = RecoverFile(op, rv, *tenk, out.folder);
    EXPECT_EQ(r.outcome, Outcome::Stopped);
    EXPECT_FALSE(r.entryCleared);
    // Nothing half-written is left looking like a recovered file.
    EXPECT_TRUE(r.fileName.empty());
    EXPECT_TRUE(std::filesystem::is_empty(out.dir.Path()));
    sv.drive.Close();
    EXPECT_TRUE(test::ReadFileBytes(img.path) == before)
        << "a stopped recovery wrote to the volume";
}

TEST(FatRecoveryIntegration, CommandsRefuseWhatTheyCannotDo) {
    Image img;
    REQUIRE_IMAGE(img);
    // A recovery that cannot be done says why, not which window button to press: no such
    // item, no item or folder named, a folder that cannot be made; a --to that is a link
    // (never followed) or a folder this user may not write is a refusal (exit 3), a plain
    // file is not a folder (exit 1). The dry run refuses them too.
    const std::string real = img.dir.Path() + "/real", link = img.dir.Path() + "/link",
                      plain = img.dir.Path() + "/plain", locked = img.dir.Path() + "/locked";
    ASSERT_TRUE(fs::create_directory(real));
    fs::create_directory_symlink(real, link);
    ASSERT_TRUE(test::WriteFileBytes(plain, "x"));
    ASSERT_TRUE(fs::create_directory(locked));
    bool lockedMounted = false;
    if (::geteuid() == 0) {
        // Root writes anywhere a mode allows nothing: a read-only mount it is.
        lockedMounted = RunTool({"mount", "--bind", locked, locked}) == 0 &&
                        RunTool({"mount", "-o", "remount,bind,ro", locked}) == 0;
    } else {
        ::chmod(locked.c_str(), 0555);
    }
    struct Case {
        std::string args;
        int status;
        std::string why;
    };
    const std::string out = img.dir.Path() + "/out";
    std::vector<Case> cases = {
        {"--to '" + out + "' --location 999999", 2, "no recoverable file at location 999999"},
        {"--to '" + out + "'", 2, std::string(S<321>)},
        {"--all", 2, std::string(S<410>)},  // no folder set anywhere
        {"--all --to /nonexistent-parent/x", 1, "/nonexistent-parent: no such folder"},
        {"--all --to '" + link + "'", 3, "is a symbolic link"},
        {"--all --to '" + plain + "'", 1, "is not a folder"}};
    if (::geteuid() != 0 || lockedMounted) {
        cases.push_back({"--all --to '" + locked + "'", 3, "cannot be written"});
        // would be made there
        cases.push_back({"--all --to '" + locked + "/new'", 3, "cannot be written"});
    }
    test::CliResult r;
    for (const Case& c : cases) {
        for (const char* dry : {"", " --dry-run"}) {
            r = img.On("recover", c.args + dry);
            EXPECT_EQ(r.status, c.status) << c.args << dry << ": " << r.err;
            EXPECT_NE(r.err.find(c.why), std::string::npos) << c.args << dry << ": " << r.err;
            // (the usage errors, exit 2, print the panel's own texts)
            EXPECT_TRUE(c.status == 2 || r.err.find("button") == std::string::npos) << r.err;
        }
    }
    EXPECT_TRUE(fs::is_empty(real));
    if (lockedMounted) RunTool({"umount", locked});
    // A file system the search does not know: named in full.
    const std::string ext = img.dir.Path() + "/ext.img";
    ASSERT_EQ(RunTool({"truncate", "-s", "8M", ext}), 0);
    if (RunTool({"mkfs.ext4", "-q", "-F", ext}) == 0) {
        for (const std::string& cmd :
             {"search '" + ext + "'", "clusters '" + ext + "' --location 1"}) {
            r = img.Cli(cmd);
            EXPECT_EQ(r.status, 3) << cmd;
            EXPECT_NE(
                r.err.find("Tidewipe cannot search for recoverable data on drive " + ext +
                           " because it is formatted with an unsupported file system ( ext4 ) "),
                std::string::npos)
                << cmd << ": " << r.err;
        }
        r = img.Cli("dump '" + ext + "' --cluster 1");
        EXPECT_EQ(r.status, 3);
    }
    r = img.Cli("dump '" + img.dir.Path() + "/missing.img' --cluster 2");
    EXPECT_EQ(r.status, 1);
}

TEST(FatRecoveryIntegration, ClustersAndDumpShowWhatRecoveryReads) {
    Image img;
    REQUIRE_IMAGE(img);
    const std::string json = img.On("search", "--json").out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(json, m,
                                  std::regex(R"re("name": "\?ICTIM\.BIN".*?"location": (\d+))re")));
    const uint64_t first = std::stoull(m[1]);
    auto r = img.On("clusters", "--location " + m[1].str() + " --json");
    ASSERT_EQ(r.status, 0) << r.err;
    auto arr = nlohmann::json::parse(r.out);
    ASSERT_EQ(arr.size(), 2u);
    // The second cluster is taken by REUSER.BIN: the list goes on after it.
    EXPECT_EQ(arr[0]["cluster"], first);
    EXPECT_EQ(arr[1]["cluster"], first + 2);
    EXPECT_EQ(arr[1]["reallocated"], false);

    r = img.On("dump", "--cluster " + std::to_string(first));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 64),
              "VICTIM.BIN.VICTIM.BIN.VICTIM.BIN.VICTIM.BIN.VICTIM.BIN.VICTIM.BI");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4096 / 64);
    r = img.On("dump", "--cluster " + std::to_string(first) + " --hex");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 78),
              "00000000  56 49 43 54 49 4d 2e 42  49 4e 0a 56 49 43 54 49  |VICTIM.BIN.VICTI|");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4096 / 16);
    // Clusters are numbered from 2 and end with the volume.
    EXPECT_EQ(img.On("dump", "--cluster 1").status, 2);
    EXPECT_EQ(img.On("dump", "--cluster 99999999").status, 2);
    EXPECT_EQ(img.On("dump", "--cluster 2").status, 0);
}

}  // namespace
}  // namespace tw::volume

namespace tw::volume {
namespace {

// Root only (a loop mount): the image is mounted read-write, so the raw-write gate
// refuses every write to it. Named "Fuse" to run with the privileged volume tests.
TEST(FatRecoveryFuse, RawWritesAreRefusedWhileTheImageIsMountedReadWrite) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting an image needs root";
    if (RunTool({"sh", "-c", "command -v mount && test -w /dev/loop-control"}) != 0)
        GTEST_SKIP() << "no mount command or no /dev/loop-control";
    Image img;
    REQUIRE_IMAGE(img);
    const std::string mnt = img.dir.Path() + "/mnt";
    ASSERT_EQ(::mkdir(mnt.c_str(), 0755), 0);
    std::string out;
    if (RunTool({"mount", "-o", "loop", img.path, mnt}, &out) != 0)
        GTEST_SKIP() << "cannot loop-mount the image here: " << out;
    struct Unmount {
        std::string where;
        ~Unmount() { RunTool({"umount", where}); }
    } unmount{mnt};

    const std::string folder = img.dir.Path() + "/out";
    auto r = img.On("recover", "--to '" + folder + "' --all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Directory entries will be left as they are: Refusing to write to"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("directory entry cleared"), std::string::npos) << r.out;
    EXPECT_EQ(test::ReadFileBytes(folder + "/#ENK.BIN"), Content("TENK.BIN", 10000));
    // A command that needs raw writes is refused before it searches (exit 3).
    r = img.On("wipe-traces", "--all --yes");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("mounted read-write"), std::string::npos) << r.err;
    // The mounted folder as SOURCE resolves to the loop device: refused the same way.
    r = img.Cli("wipe-traces '" + mnt + "' --all --yes");
    EXPECT_EQ(r.status, 3) << r.err;
    // A dry run shows its plan but ends as the real run would, and says why.
    const std::string before = test::ReadFileBytes(img.path);
    r = img.On("wipe-traces", "--all --dry-run");
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("Dry run: "), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("the real run would be refused"), std::string::npos) << r.err;
    r = img.On("recover", "--to '" + folder + "' --all --dry-run");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Directory entries would be left as they are: Refusing to write to"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(test::ReadFileBytes(img.path) == before) << "a dry run wrote to the volume";
}

}  // namespace
}  // namespace tw::volume
