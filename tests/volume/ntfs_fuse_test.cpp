// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS search on images made by mkntfs and populated through ntfs-3g
// (tests/data/make_ntfs_image.sh), compared with ntfsundelete and fls, its items
// recovered and compared with the originals and icat; the search after
// "Windows-style" deletions made in the image bytes; the search command end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "tests/volume/recovery_fixture.h"
#include "volume/ntfs.h"
#include "volume/search.h"

namespace tw::volume {
namespace {

using test::RunTool;

using testing::NtfsImage;
#define REQUIRE_IMAGE() REQUIRE_NTFS_IMAGE()

struct Found {
    std::vector<RecoverableFile> files;
    std::map<uint64_t, const RecoverableFile*> byInode;
    SearchReport report;
};

// Runs the search and maps every item to its record number.
Found Search(const std::string& image, bool details = false) {
    Found f;
    CRawDriveRef drive;
    SearchContext ctx;
    ctx.driveText = "/";
    ctx.drive = &drive;
    ctx.wantDetails = details;
    std::unique_ptr<NtfsVolume> vol;
    f.report = SearchDrive(ctx, image, image, &vol);
    f.files = std::move(ctx.found);
    if (vol && drive.Open(image)) {
        std::map<uint64_t, uint64_t> sectorToRecord;
        for (uint64_t n = 0; n < vol->RecordCount(); ++n)
            sectorToRecord[vol->RecordToSector(n)] = n;
        for (const auto& file : f.files) f.byInode[sectorToRecord.at(file.location)] = &file;
    }
    return f;
}

struct PeerItem {
    uint64_t inode = 0;
    bool file = true;
    int percent = 0;
    uint64_t size = 0;
    std::string name;
};

std::map<uint64_t, PeerItem> Ntfsundelete(const std::string& image) {
    std::string out;
    RunTool({"ntfsundelete", "-s", image}, &out);
    std::map<uint64_t, PeerItem> items;
    std::regex line(R"(^(\d+)\s+(\S+)\s+(\d+)%\s+\S+\s+\S+\s+(\d+)\s+(.*)$)");
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (!std::regex_match(l, m, line)) continue;
        PeerItem p;
        p.inode = std::stoull(m[1]);
        p.file = m[2].str()[0] == 'F';
        p.percent = std::stoi(m[3]);
        p.size = std::stoull(m[4]);
        p.name = m[5];
        items[p.inode] = p;
    }
    return items;
}

// Deleted regular files fls finds: inode -> path.
std::map<uint64_t, std::string> FlsDeleted(const std::string& image) {
    std::string out;
    RunTool({"fls", "-r", "-d", image}, &out);
    std::map<uint64_t, std::string> items;
    std::regex line(R"(^\+*\s*[r-]/r \* (\d+)(-\d+-\d+)?:\t(.*)$)");
    std::istringstream in(out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (std::regex_match(l, m, line)) items[std::stoull(m[1])] = m[3];
    }
    return items;
}

const RecoverableFile* ByName(const Found& f, const std::string& name) {
    for (const auto& x : f.files)
        if (x.name == name) return &x;
    return nullptr;
}

// What the search lists, and every item at 100 % recovered as the original and as icat
// extracts it.
TEST(NtfsFuse, FindsAndRecoversWhatTheImageHolds) {
    REQUIRE_IMAGE();
    Found f = Search(NtfsImage().path, true);
    ASSERT_EQ(f.report.end, SearchEnd::Completed) << f.report.message;
    struct Expect {
        const char* name;
        const char* folder;
        uint64_t size;
        int percent;
        bool resident;
    };
    const Expect expected[] = {
        {"nested_deleted.txt", "dir3", 9000, 100, false},
        {"dir1_deleted.dat", "dir1", 20000, 100, false},
        {"inside_gone.bin", "gone", 12000, 100, false},
        {"deep_gone.bin", "sub", 7000, 100, false},
        {"small_resident.txt", "/", 100, 100, true},
        {"tiny.txt", "dir1", 20, 100, true},
        {"reuse_victim.bin", "/", 32768, 25, false},
        {"caf\xc3\xa9_deleted.txt", "/", 5000, 100, false},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab.txt",
         "/", 6000, 100, false},
        {"emoji_\xf0\x9f\x8e\x89.bin", "/", 3000, 100, false},
        {"posix_name_deleted.txt", "/", 5000, 100, false},
        {"Long Win32 Name deleted.txt", "/", 5000, 100, false},
        {"SHORT.TXT", "/", 5000, 100, false},
        {"s298", "frag", 4096, 100, false},
    };
    for (const Expect& e : expected) {
        const RecoverableFile* r = ByName(f, e.name);
        ASSERT_NE(r, nullptr) << e.name;
        EXPECT_EQ(r->folder, e.folder) << e.name;
        EXPECT_EQ(r->size, e.size) << e.name;
        EXPECT_EQ(r->recoverability, e.percent) << e.name;
        EXPECT_EQ(r->resident, e.resident) << e.name;
    }
    std::map<uint64_t, uint64_t> records;  // location -> record number, for icat
    for (const auto& [inode, file] : f.byInode) records[file->location] = inode;
    const bool icat = test::MissingTool({"icat"}).empty();
    testing::SearchedVolume sv;
    ASSERT_TRUE(sv.Search(NtfsImage().path, false)) << sv.report.message;
    testing::OutFolder out;
    for (const Expect& e : expected) {
        const RecoverableFile* r = sv.Find(e.name);
        ASSERT_NE(r, nullptr) << e.name;
        if (e.percent != 100) continue;
        RecoverResult rec = sv.Recover(*r, out.folder);
        ASSERT_EQ(rec.outcome, Outcome::Ok) << e.name << ": " << rec.error;
        EXPECT_TRUE(rec.complete) << e.name;
        const std::string got = out.Read(rec.fileName);
        EXPECT_TRUE(got == testing::Content(e.name, e.size))
            << e.name << " differs from the original";
        ASSERT_TRUE(records.count(r->location)) << e.name;
        if (icat) {
            EXPECT_TRUE(got ==
                        testing::Icat(NtfsImage().path, records[r->location], out.dir.Path()))
                << e.name << " differs from icat";
        }
    }
    for (const char* absent : {"empty_file.txt", "zeros_deleted.bin", "pagefile.sys", "s1",
                               "nested_live.txt", "live_keep.txt", "grower.bin", "gone", "sub"})
        EXPECT_EQ(ByName(f, absent), nullptr) << absent;
    // The reused clusters are named in the details.
    EXPECT_NE(ByName(f, "reuse_victim.bin")->details.find("Reallocated Clusters: 6"),
              std::string::npos);
    // Of the small files only the deleted (even) ones; later files took the records
    // of the first few.
    size_t small = 0;
    for (const auto& x : f.files)
        if (x.folder == "frag") {
            ++small;
            EXPECT_EQ(std::stoi(x.name.substr(1)) % 2, 0) << x.name;
        }
    EXPECT_GT(small, 100u);
}

TEST(NtfsFuse, AgreesWithNtfsundeleteAndFls) {
    REQUIRE_IMAGE();
    const std::string missing = test::MissingTool({"ntfsundelete", "fls"});
    if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
    Found f = Search(NtfsImage().path);
    auto peers = Ntfsundelete(NtfsImage().path);
    auto fls = FlsDeleted(NtfsImage().path);
    ASSERT_FALSE(peers.empty());
    ASSERT_FALSE(fls.empty());

    for (const auto& [inode, file] : f.byInode) {
        EXPECT_GE(inode, kSystemRecords);
        ASSERT_TRUE(peers.count(inode)) << "ntfsundelete does not list " << file->name;
        const PeerItem& p = peers[inode];
        EXPECT_EQ(p.size, file->size) << file->name;
        ASSERT_TRUE(fls.count(inode)) << "fls does not list " << file->name;
        if (!file->name.empty()) {
            EXPECT_EQ(p.name, file->name);
            const std::string& path = fls[inode];
            EXPECT_EQ(path.substr(path.rfind('/') + 1), file->name);
            // Both round the share of free clusters; they may differ by one.
            EXPECT_NEAR(p.percent, file->recoverability, 1) << file->name;
        } else {
            // fragmented.bin: ntfs-3g dropped its name and the runs kept outside the
            // base record; the clusters of the lost runs are missing for both.
            EXPECT_EQ(p.name, "<none>");
            EXPECT_LT(file->recoverability, 100);
            EXPECT_NEAR(p.percent, file->recoverability, 1);
            EXPECT_NE(fls[inode].find("OrphanFile"), std::string::npos);
        }
    }
    // What the peers list and the search does not: only the differences made on
    // purpose (system records, pagefile.sys, uniform first sector, no data, folders,
    // nothing left to recover).
    for (const auto& [inode, p] : peers) {
        if (f.byInode.count(inode)) continue;
        bool intended = inode < kSystemRecords || !p.file || p.size == 0 || p.percent == 0 ||
                        p.name == "pagefile.sys" || p.name == "zeros_deleted.bin";
        EXPECT_TRUE(intended) << "ntfsundelete lists " << inode << " " << p.name;
    }
    for (const auto& [inode, path] : fls) {
        if (f.byInode.count(inode) || inode < kSystemRecords) continue;
        std::string base = path.substr(path.rfind('/') + 1);
        bool intended = base == "pagefile.sys" || base == "zeros_deleted.bin" ||
                        base == "empty_file.txt" ||
                        (peers.count(inode) && peers[inode].percent == 0);
        EXPECT_TRUE(intended) << "fls lists " << inode << " " << path;
    }
}

TEST(NtfsFuse, WindowsStyleDeletionsKeepNamesAndRuns) {
    REQUIRE_IMAGE();
    test::TempDir dir("ntfswin");
    std::string copy = dir.Path() + "/win.img";
    ASSERT_EQ(RunTool({"cp", "--sparse=always", NtfsImage().path, copy}), 0);

    const std::set<std::string> targets = {"win_long_name_file.txt", "WINDOS.TXT",
                                           "win_resident.txt",       "win_posix.bin",
                                           "win_dosonly.txt",        "win_fragmented.bin"};
    {
        CRawDriveRef d;
        ASSERT_TRUE(d.Open(copy, true)) << tw::ErrorText(d.LastError());
        NtfsVolume vol(d);
        ASSERT_TRUE(vol.Load()) << tw::ErrorText(*vol.Failure());
        const NtfsBootInfo& b = vol.Boot();
        std::multiset<std::string> changed;
        std::set<uint64_t> bases;
        for (uint64_t n = kSystemRecords; n < vol.RecordCount(); ++n) {
            std::vector<uint8_t> raw;
            ASSERT_TRUE(vol.ReadRecord(n, &raw));
            FileRecordRequest req;
            req.record = raw;
            req.recordSector = vol.RecordToSector(n);
            req.includeInUse = true;
            req.wantFolder = false;
            if (vol.ParseFileRecord(req, 0, false, false, 0) != RecordOutcome::RecordInUse ||
                !targets.count(req.fileName) || req.flags != kRecordInUse)
                continue;
            // As Windows leaves a deleted file: only the in-use flag goes...
            raw[0x16] &= ~kRecordInUse;
            if (req.fileName == "win_dosonly.txt") {
                // ...and for this one the long name becomes a second DOS name.
                std::vector<uint8_t> fixed = raw;
                FileRecordHeader h;
                ASSERT_TRUE(ParseRecordHeader(fixed, &h));
                ASSERT_TRUE(ApplyFixup(fixed, h.usaOffset, h.usaCount));
                std::vector<AttributeRef> attrs;
                ListAttributes(fixed, &attrs);
                for (const auto& a : attrs) {
                    if (a.header.type != kAttrFileName) continue;
                    size_t at = a.offset + a.header.valueOffset + 0x41;
                    ASSERT_NE(at % 512, 510u);
                    ASSERT_NE(at % 512, 511u);
                    raw[at] = kNamespaceDos;
                }
            }
            ASSERT_TRUE(vol.WriteRecord(n, raw));
            // ...and its clusters are freed in $Bitmap.
            for (const DataRun& r : req.runs) {
                if (r.sparse) continue;
                for (uint64_t c = r.lcn; c < r.lcn + r.clusterCount; ++c) {
                    uint64_t byte = c / 8, at = 0;
                    for (const DataRun& br : vol.BitmapRuns()) {
                        uint64_t bytes = br.clusterCount * b.bytesPerCluster;
                        if (byte < at + bytes) {
                            uint64_t disk = br.lcn * b.bytesPerCluster + (byte - at);
                            uint8_t s[512];
                            ASSERT_TRUE(d.Read(disk / 512, s, 512));
                            s[disk % 512] &= static_cast<uint8_t>(~(1u << (c % 8)));
                            ASSERT_TRUE(d.Write(disk / 512, s, 512));
                            break;
                        }
                        at += bytes;
                    }
                }
            }
            changed.insert(req.fileName);
            bases.insert(n);
        }
        // Windows frees a file's extension records with it.
        for (uint64_t n = kSystemRecords; n < vol.RecordCount(); ++n) {
            std::vector<uint8_t> raw;
            FileRecordHeader h;
            ASSERT_TRUE(vol.ReadRecord(n, &raw));
            if (!ParseRecordHeader(raw, &h) || h.signature != kFileSignature ||
                !bases.count(h.baseRecord))
                continue;
            raw[0x16] &= ~kRecordInUse;
            ASSERT_TRUE(vol.WriteRecord(n, raw));
        }
        ASSERT_EQ(changed, std::multiset<std::string>(targets.begin(), targets.end()));
    }

    Found f = Search(copy, true);
    ASSERT_EQ(f.report.end, SearchEnd::Completed);
    for (const char* name : {"win_long_name_file.txt", "WINDOS.TXT", "win_resident.txt",
                             "win_posix.bin", "win_fragmented.bin"}) {
        const RecoverableFile* r = ByName(f, name);
        ASSERT_NE(r, nullptr) << name;
        EXPECT_EQ(r->folder, "win") << name;
        EXPECT_EQ(r->recoverability, 100) << name;
    }
    EXPECT_TRUE(ByName(f, "win_resident.txt")->resident);
    // The attribute list (non-resident, as ntfs-3g writes it) is followed: all 300
    // one-cluster runs, in the base record and in the extension records.
    const RecoverableFile* frag = ByName(f, "win_fragmented.bin");
    EXPECT_EQ(frag->size, 300u * 4096);
    EXPECT_NE(frag->details.find("Clusters Occupied: 300\n"), std::string::npos) << frag->details;
    // A record left with DOS names only is listed without a name.
    bool dosOnly = false;
    for (const auto& x : f.files)
        if (x.name.empty() && x.folder == "win" && x.size == 6000) dosOnly = true;
    EXPECT_TRUE(dosOnly);

    // (ntfsundelete is not asked here: it reads the $MFT's own record bitmap, which
    // these edits leave marking the records in use.)
}

// ---- The command ----

// tidewipe-cli with a settings store of its own; `args` as typed in a shell.
test::CliResult Cli(const std::string& args) {
    static test::TempDir dir("cli");
    return test::RunCli("--config-home '" + dir.Path() + "' " + args);
}

TEST(NtfsFuse, CommandPrintsJsonAndTable) {
    REQUIRE_IMAGE();
    auto r = Cli("search '" + NtfsImage().path + "' --json --details");
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_TRUE(j.is_array());
    Found f = Search(NtfsImage().path);
    ASSERT_EQ(j.size(), f.files.size());
    bool sawVictim = false;
    for (const auto& o : j) {
        for (const char* key : {"name", "ext", "folder", "size", "recoverable", "location",
                                "resident", "fs", "attributes", "created", "modified", "details"})
            ASSERT_TRUE(o.contains(key)) << key;
        EXPECT_EQ(o["fs"], "NTFS");
        if (o["name"] == "reuse_victim.bin") {
            sawVictim = true;
            EXPECT_EQ(o["ext"], "bin");
            EXPECT_EQ(o["recoverable"], 25);
            EXPECT_EQ(o["size"], 32768);
            EXPECT_TRUE(std::regex_match(o["modified"].get<std::string>(),
                                         std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
        }
    }
    EXPECT_TRUE(sawVictim);
    EXPECT_NE(r.err.find("Completed search for recoverable files (Found " +
                         std::to_string(f.files.size()) + " recoverable files)"),
              std::string::npos);

    r = Cli("search '" + NtfsImage().path + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Completed search for recoverable files"), std::string::npos);
}

TEST(NtfsFuse, RawWritesAreRefusedWhileTheDeviceIsMountedReadWrite) {
    REQUIRE_IMAGE();
    test::TempDir dir("ntfsloop");
    std::string copy = dir.Path() + "/l.img", mnt = dir.Path() + "/mnt";
    ASSERT_EQ(RunTool({"cp", "--sparse=always", NtfsImage().path, copy}), 0);
    ASSERT_EQ(RunTool({"mkdir", mnt}), 0);
    test::LoopDevice loop(copy);
    if (loop.Path().empty()) GTEST_SKIP() << "no loop device available";
    ASSERT_EQ(RunTool({"ntfs-3g", loop.Path(), mnt}), 0);
    {
        CRawDriveRef d;
        EXPECT_FALSE(d.Open(loop.Path(), true));
        EXPECT_NE(tw::ErrorText(d.LastError()).find("mounted read-write"), std::string::npos)
            << tw::ErrorText(d.LastError());
        // Reading is allowed, and the mounted folder is searched through its device.
        EXPECT_TRUE(d.Open(loop.Path()));
        auto r = Cli("search '" + mnt + "' --json");
        EXPECT_EQ(r.status, 0) << r.err;
        auto j = nlohmann::json::parse(r.out);
        EXPECT_EQ(j.size(), Search(NtfsImage().path).files.size());
        bool rootItem = false;  // the mounted folder stands for the root
        for (const auto& o : j)
            if (o["name"] == "small_resident.txt") {
                rootItem = true;
                EXPECT_EQ(o["folder"], mnt + "/");
            }
        EXPECT_TRUE(rootItem);
    }
    ASSERT_EQ(RunTool({"fusermount", "-u", mnt}), 0);
    // Not mounted any more: the exclusive open succeeds, and holds off a second one.
    CRawDriveRef first, second;
    ASSERT_TRUE(first.Open(loop.Path(), true)) << tw::ErrorText(first.LastError());
    EXPECT_FALSE(second.Open(loop.Path(), true));
    EXPECT_NE(tw::ErrorText(second.LastError()).find("in use"), std::string::npos)
        << tw::ErrorText(second.LastError());
    first.Close();
}

}  // namespace
}  // namespace tw::volume
