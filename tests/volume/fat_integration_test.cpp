// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT32 search on volumes made by mkfs.fat and mtools (tests/data/make_fat_image.sh),
// checked against The Sleuth Kit (fls, istat, fsstat, blkls) on the same image.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "volume/fat32.h"

namespace tw::volume {
namespace {

using tw::test::RunTool;
using tw::test::TempDir;

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> parts;
    std::stringstream ss(s);
    std::string p;
    while (std::getline(ss, p, sep)) parts.push_back(p);
    return parts;
}

// One deleted entry as fls lists it, with its first cluster from istat and whether that
// cluster is allocated now from blkls.
struct FlsEntry {
    bool directory = false;
    std::string inode, path;  // path relative to the root, "/"-separated
    uint64_t size = 0;
    uint64_t firstCluster = 0;  // 0: no data unit (an empty file)
    bool clusterAllocated = false;
    std::string Folder() const {
        auto slash = path.rfind('/');
        return slash == std::string::npos ? "/" : "/" + path.substr(0, slash);
    }
    std::string Name() const {
        auto slash = path.rfind('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }
};

// A number following `label` in a tool's output (0 when absent).
uint64_t NumberAfter(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + label.size()));
}

std::vector<FlsEntry> FlsDeleted(const std::string& image) {
    // Geometry and allocated sectors as The Sleuth Kit sees them (its sector unit is the
    // volume's own sector).
    std::string fsstat, blkls;
    EXPECT_EQ(RunTool({"fsstat", image}, &fsstat), 0);
    const uint64_t dataStart = NumberAfter(fsstat, "* Data Area: ");
    const uint64_t sectorsPerCluster =
        NumberAfter(fsstat, "Cluster Size: ") / NumberAfter(fsstat, "Sector Size: ");
    EXPECT_GT(sectorsPerCluster, 0u);
    EXPECT_EQ(RunTool({"blkls", "-l", "-a", image}, &blkls), 0);
    std::set<uint64_t> allocated;
    for (const auto& line : Split(blkls, '\n')) {
        const auto bar = line.find("|a");
        if (bar != std::string::npos && bar > 0 && isdigit(static_cast<unsigned char>(line[0])))
            allocated.insert(std::stoull(line.substr(0, bar)));
    }

    std::string out;
    EXPECT_EQ(RunTool({"fls", "-r", "-d", "-l", "-p", image}, &out), 0) << out;
    std::vector<FlsEntry> entries;
    for (const auto& line : Split(out, '\n')) {
        auto f = Split(line, '\t');
        if (f.size() < 7) continue;
        FlsEntry e;
        // "r/r * 153:" or "d/d * 10:"
        e.directory = f[0].rfind("d/d", 0) == 0;
        const auto star = f[0].find("* ");
        if (star == std::string::npos) continue;
        e.inode = f[0].substr(star + 2, f[0].size() - star - 3);
        e.path = f[1];
        e.size = std::stoull(f[6]);
        if (e.path.rfind("$OrphanFiles", 0) == 0) continue;  // found by carving, not by a walk
        std::string stat;
        RunTool({"istat", image, e.inode}, &stat);
        const auto sectors = stat.find("Sectors:\n");
        if (sectors != std::string::npos) {
            std::stringstream ss(stat.substr(sectors + 9));
            uint64_t firstSector = 0;
            if (ss >> firstSector && firstSector >= dataStart) {
                e.firstCluster = (firstSector - dataStart) / sectorsPerCluster + 2;
                e.clusterAllocated = allocated.count(firstSector) != 0;
            }
        }
        entries.push_back(e);
    }
    return entries;
}

class FatIntegration : public ::testing::TestWithParam<std::tuple<int, int>> {
  protected:
    void SetUp() override {
        const std::string missing =
            test::MissingTool({"mkfs.fat", "mcopy", "fls", "istat", "fsstat", "blkls"});
        if (!missing.empty()) GTEST_SKIP() << missing << " is not installed";
        ASSERT_TRUE(dir_.Ok());
        image_ = dir_.Path() + "/fat.img";
        const auto [bps, spc] = GetParam();
        std::string out;
        const int rc = RunTool({"sh", std::string(TW_TEST_DATA_DIR) + "/make_fat_image.sh", image_,
                                std::to_string(bps), std::to_string(spc)},
                               &out);
        if (rc == 77) GTEST_SKIP() << out;
        ASSERT_EQ(rc, 0) << out;
    }

    std::vector<RecoverableFile> Search(bool deletedFolders = false) {
        CRawDriveRef drive;
        EXPECT_TRUE(drive.Open(image_)) << tw::ErrorText(drive.LastError());
        SearchContext ctx;
        ctx.drive = &drive;
        ctx.driveText = "/";
        ctx.walkDeletedFolders = deletedFolders;
        EXPECT_EQ(SearchFat32(ctx), Outcome::Ok);
        return ctx.found;
    }

    TempDir dir_{"fat"};
    std::string image_;
};

// fls walks deleted folders too: by default we leave their entries out on purpose (the
// folder's cluster may hold anything by now); with --deleted-folders we list them as
// fls does, marked as lying in a deleted folder.
TEST_P(FatIntegration, AgreesWithFls) {
    const auto fls = FlsDeleted(image_);
    ASSERT_FALSE(fls.empty());

    std::set<std::string> deletedFolders;
    for (const auto& e : fls)
        if (e.directory) deletedFolders.insert(e.path);
    auto insideDeleted = [&](const FlsEntry& e) {
        for (const auto& d : deletedFolders)
            if (e.path.rfind(d + "/", 0) == 0) return true;
        return false;
    };
    // fls shows a deleted folder's lost first character as "_", we as "?".
    auto ourFolder = [](const FlsEntry& e) {
        std::string folder = e.Folder();
        for (size_t i = 0; i + 1 < folder.size(); ++i)
            if (folder[i] == '/' && folder[i + 1] == '_') folder[i + 1] = '?';
        return folder;
    };

    for (const bool walkDeleted : {false, true}) {
        SCOPED_TRACE(walkDeleted ? "deleted folders walked" : "deleted folders not walked");
        const auto found = Search(walkDeleted);
        // Ours, by folder and first cluster (unique within a folder on a sound volume).
        std::map<std::pair<std::string, uint64_t>, const RecoverableFile*> ours;
        for (const auto& f : found) ours[{f.folder, f.location}] = &f;

        size_t matched = 0, reused = 0, empty = 0, inDeleted = 0;
        for (const auto& e : fls) {
            const auto it = ours.find({ourFolder(e), e.firstCluster});
            if (insideDeleted(e) && !walkDeleted) {
                ++inDeleted;
                EXPECT_TRUE(it == ours.end()) << e.path;
            } else if (e.firstCluster == 0) {
                ++empty;  // no data to recover
                EXPECT_TRUE(it == ours.end()) << e.path;
            } else if (e.clusterAllocated) {
                ++reused;  // its first cluster belongs to a newer file now
                EXPECT_TRUE(it == ours.end()) << e.path;
            } else {
                ++matched;
                ASSERT_TRUE(it != ours.end())
                    << "missing: " << e.path << " cluster " << e.firstCluster;
                const RecoverableFile& f = *it->second;
                EXPECT_EQ(f.folderDeleted, insideDeleted(e)) << e.path;
                EXPECT_EQ(f.attributes[2] == 'd', e.directory) << e.path << " " << f.attributes;
                if (!e.directory) {
                    EXPECT_EQ(f.size, e.size) << e.path;  // fls sizes folders by their chain
                }
                // fls shows the lost first character as "_" for a short name, or the
                // long name when one survives; we always show the short name with "?".
                const std::string flsName = e.Name();
                if (flsName[0] == '_') {
                    EXPECT_EQ(f.name, "?" + flsName.substr(1)) << e.path;
                } else {
                    EXPECT_EQ(f.name[0], '?') << e.path;
                }
            }
        }
        EXPECT_EQ(matched, found.size()) << "items listed by us and not by fls";
        EXPECT_EQ(reused, 1u);                        // VICTIM.TXT
        EXPECT_EQ(empty, 1u);                         // EMPTY.TXT
        EXPECT_EQ(inDeleted, walkDeleted ? 0u : 2u);  // the two files of GONE
    }

    // The command's option reaches the walk and the JSON says where an item was found.
    if (GetParam() != std::make_tuple(512, 1)) return;
    test::PrivateLogFolder(dir_.Path() + "/cfg");
    const std::string cli =
        "--config-home '" + dir_.Path() + "/cfg' search '" + image_ + "' --json";
    for (const bool walkDeleted : {false, true}) {
        auto r = test::RunCli(cli + (walkDeleted ? " --deleted-folders" : ""));
        ASSERT_EQ(r.status, 0) << r.err;
        size_t inGone = 0;
        for (const auto& o : nlohmann::json::parse(r.out))
            if (o["folder"] == "/?ONE") {
                ++inGone;
                EXPECT_EQ(o.value("folder_deleted", false), true) << o.dump();
            }
        EXPECT_EQ(inGone, walkDeleted ? 2u : 0u) << r.out;
    }
    // The table names its last column on FAT32 too.
    auto table = test::RunCli("--config-home '" + dir_.Path() + "/cfg' search '" + image_ + "'");
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out.substr(0, table.out.find('\n')).rfind("% Rec"), table.out.find('\n') - 5)
        << table.out.substr(0, 200);
}

INSTANTIATE_TEST_SUITE_P(Geometries, FatIntegration,
                         ::testing::Values(std::make_tuple(512, 1), std::make_tuple(4096, 1),
                                           std::make_tuple(512, 8)),
                         [](const auto& info) {
                             return std::to_string(std::get<0>(info.param)) + "x" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace tw::volume
