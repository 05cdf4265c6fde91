// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli wipe as a user runs it: the dry-run plan, the bytes it promises against
// the bytes written, refusals and their exit status, and the log lines.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "tests/common/cli_fixture.h"
#include "tests/common/scratch_volume.h"

namespace fs = std::filesystem;

namespace {

class WipeCli : public tw::test::CliFixture<> {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpCli(true));
        work_ = dir_.Path() + "/work";
        fs::create_directories(work_);
    }
    std::string File(const std::string& name, size_t size, mode_t mode = 0644) {
        const std::string path = work_ + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_TRUE(tw::test::WriteFileBytes(path, std::string(size, 'q')));
        chmod(path.c_str(), mode);
        return path;
    }

    std::string work_;
};

// Validates the JSON file `path` against the published receipt schema with the
// jsonschema module of the system's Python (Debian's python3-jsonschema, which ./run
// installs; a complete validator): "" when valid, else what it says. A missing module
// is a failure, not a pass.
std::string SchemaViolation(const std::string& path) {
    std::string out;
    const int rc = tw::test::RunTool(
        {"/usr/bin/python3", "-c",
         "import json,sys,jsonschema\n"
         "jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))",
         path, TW_RECEIPT_SCHEMA},
        &out);
    return rc == 0 ? "" : out.empty() ? "not checked (exit " + std::to_string(rc) + ")" : out;
}

nlohmann::json ReadJson(const std::string& path) {
    std::ifstream in(path);
    return nlohmann::json::parse(in, nullptr, false);
}

}  // namespace

// The receipt of a real wipe: valid by the published schema, and it says what was
// done (the target, the passes, the bytes, the read-back). `report show` prints it and
// refuses a broken file or an unknown version with an error, not a crash or a blank.
TEST_F(WipeCli, ReceiptValidatesAndRecordsTheWipe) {
    const std::string a = File("a.doc", 5000), b = File("b.bin", 70000);
    const std::string receipt = dir_.Path() + "/receipt.json";
    std::string out;
    ASSERT_EQ(
        Cli({"wipe", "--yes", "--passes", "2", "--random", "--verify", "--report", receipt, a, b},
            &out),
        0)
        << out;
    const nlohmann::json r = ReadJson(receipt);
    ASSERT_TRUE(r.is_object());
    EXPECT_EQ(SchemaViolation(receipt), "");

    struct stat st {};
    ASSERT_EQ(stat(work_.c_str(), &st), 0);
    const uint64_t block = static_cast<uint64_t>(st.st_blksize);
    auto raised = [block](uint64_t n) { return (n + block - 1) / block * block; };
    const uint64_t expected = 3 * (raised(5000) + raised(70000));
    EXPECT_EQ(r["bytesOverwritten"], expected);
    EXPECT_EQ(r["method"]["passes"], 3);
    EXPECT_EQ(r["method"]["mode"], "random");
    EXPECT_EQ(r["method"]["rows"].size(), 3u);
    EXPECT_EQ(r["method"]["rows"][1]["pattern"], "complement of the previous pass");
    EXPECT_EQ(r["verification"]["result"], "passed");
    EXPECT_EQ(r["outcome"], "completed");
    EXPECT_EQ(r["target"]["path"], work_);
    ASSERT_EQ(r["items"].size(), 2u);
    EXPECT_EQ(r["items"][0]["path"], a);
    EXPECT_EQ(r["items"][1]["bytes"], 3 * raised(70000));
    EXPECT_EQ(r["items"][1]["erased"], true);
    EXPECT_FALSE(fs::exists(a) || fs::exists(b));

    ASSERT_EQ(Cli({"report", "show", receipt}, &out), 0) << out;
    EXPECT_NE(out.find("Verification: passed"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(expected) + " bytes"), std::string::npos) << out;

    const std::string text = r.dump();
    const std::string broken = dir_.Path() + "/broken.json";
    ASSERT_TRUE(tw::test::WriteFileBytes(broken, text.substr(0, text.size() / 2)));
    EXPECT_EQ(Cli({"report", "show", broken}, &out), 1);
    EXPECT_NE(out.find("not valid JSON"), std::string::npos) << out;
    nlohmann::json later = r;
    later["schemaVersion"] = 2;
    ASSERT_TRUE(tw::test::WriteFileBytes(broken, later.dump()));
    EXPECT_EQ(Cli({"report", "show", broken}, &out), 1);
    EXPECT_NE(out.find("schema version 2"), std::string::npos) << out;
}

TEST_F(WipeCli, DryRunPromisesWhatTheWipeWrites) {
    // A name that is not UTF-8 and holds a line break: plans and JSON must stay whole.
    const std::string odd = File("sub/odd\xff\n.txt", 300);
    const std::vector<std::string> files = {File("empty", 0), File("one", 1), File("mid.doc", 5000),
                                            File("sub/big.bin", 70000), odd};
    const std::string ro = File("sub/locked.txt", 10, 0444);
    ASSERT_EQ(symlink("/etc/hostname", (work_ + "/sub/link").c_str()), 0);

    // The dry run ends as the real run will: 3, the read-only file is refused.
    std::string plan;
    EXPECT_EQ(Cli({"wipe", "--dry-run", "-r", "--passes", "2", work_}, &plan), 3);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(plan, m, std::regex(R"((\d+) files, (\d+) bytes to write in 3 passes)")))
        << plan;
    EXPECT_EQ(m[1], "5");
    const uint64_t planned = std::stoull(m[2]);
    EXPECT_NE(plan.find("refuse " + ro + ": read-only"), std::string::npos) << plan;
    EXPECT_NE(plan.find("remove link " + work_ + "/sub/link"), std::string::npos) << plan;
    EXPECT_NE(plan.find("/sub/odd\\377\\n.txt ("), std::string::npos) << plan;
    EXPECT_EQ(plan.find("\n.txt"), std::string::npos) << "a name split the plan's lines";
    std::string planJson;
    EXPECT_EQ(Cli({"wipe", "--dry-run", "--json", "-r", "--passes", "2", work_}, &planJson), 3);
    const auto pj = nlohmann::json::parse(planJson);
    EXPECT_EQ(pj["bytes_to_write"], planned);
    EXPECT_EQ(pj["refused"], 1);
    for (const auto& f : files) EXPECT_TRUE(fs::exists(f));  // a dry run changes nothing

    // Without a terminal and without --yes nothing happens.
    std::string out;
    EXPECT_EQ(Cli({"wipe", "-r", "--passes", "2", work_}, &out), 3);
    for (const auto& f : files) EXPECT_TRUE(fs::exists(f));

    out.clear();
    EXPECT_EQ(Cli({"wipe", "-r", "--passes", "2", "--yes", "--json", work_}, &out), 3)
        << out;  // 3: the read-only file was refused
    const auto json = nlohmann::json::parse(out.substr(out.find('{')));
    uint64_t written = 0;
    bool oddNamed = false;
    for (const auto& f : json["files"]) {
        written += f.value("bytes_written", 0ull);
        // The exact bytes of a name that is not UTF-8, for scripts.
        oddNamed |= f.value("path_bytes", "").find("ff0a2e747874") != std::string::npos;
    }
    EXPECT_TRUE(oddNamed) << out;
    EXPECT_EQ(written, planned);
    EXPECT_EQ(json["wiped"], 5);
    for (const auto& f : files) EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::exists(ro));
    EXPECT_FALSE(fs::exists(work_ + "/sub/link"));
    EXPECT_TRUE(fs::exists("/etc/hostname"));
    EXPECT_TRUE(fs::exists(work_ + "/sub"));  // kept: it still holds the refused file

    // The log names the count the user asked for (3 passes are written for it).
    const std::string log = LogText();
    for (const auto& f : files) {
        if (f == odd) continue;  // the log writes such names its own way
        EXPECT_NE(log.find("Erased " + f + " with 2 overwrites"), std::string::npos) << log;
    }
}

TEST_F(WipeCli, TargetsOfTheWrongKindAreRefused) {
    const std::string f = File("d/keep.txt", 100);
    std::string out;
    EXPECT_EQ(Cli({"wipe", "--yes", work_ + "/d"}, &out), 3);
    EXPECT_NE(out.find("a folder (add --recursive)"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(f));
    out.clear();
    EXPECT_EQ(Cli({"wipe", "--yes", work_ + "/nothing-here"}, &out), 3);
    EXPECT_NE(out.find("does not exist"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(Cli({"wipe", "--yes", "--passes", "15", f}, &out), 2);  // beyond the table
    EXPECT_TRUE(fs::exists(f));

    // A count of 1 writes two passes; the log names the count.
    out.clear();
    EXPECT_EQ(Cli({"wipe", "--yes", "--passes", "1", f}, &out), 0) << out;
    EXPECT_FALSE(fs::exists(f));
    EXPECT_NE(LogText().find("Erased " + f + " with 1 overwrite\r"), std::string::npos);

    // A free-space clean takes only mount points.
    out.clear();
    EXPECT_EQ(Cli({"free-space", "--dry-run", work_}, &out), 3);
    EXPECT_NE(out.find("is not a mount point"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(Cli({"free-space", "--dry-run", work_ + "/missing"}, &out), 2);
}

TEST_F(WipeCli, RecursiveWipeStaysInsideTheTreeItWasGiven) {
    const std::string outside = work_ + "/outside", tree = work_ + "/tree";
    const std::string keep = File("outside/keep.txt", 100);
    File("tree/plain.txt", 100);
    ASSERT_EQ(link(keep.c_str(), (tree + "/hl.txt").c_str()), 0);

    // A second name of a file outside the tree: emptying it would empty the other.
    std::string out;
    EXPECT_EQ(Cli({"wipe", "-r", "--dry-run", tree}, &out), 3);
    EXPECT_NE(out.find("refuse " + tree + "/hl.txt: has 1 other name (hard links)"),
              std::string::npos)
        << out;
    out.clear();
    EXPECT_EQ(Cli({"wipe", "-r", "--yes", tree}, &out), 3) << out;
    EXPECT_EQ(tw::test::ReadFileBytes(keep), std::string(100, 'q'));
    EXPECT_FALSE(fs::exists(tree + "/plain.txt"));
    // Named on purpose, it goes, and the other name with it keeps no content.
    out.clear();
    EXPECT_EQ(Cli({"wipe", "--yes", "--hard-links", tree + "/hl.txt"}, &out), 0) << out;
    EXPECT_EQ(fs::file_size(keep), 0u);

    // The root of the system, "." and "..", and the root of a mounted file system.
    for (const std::string& root : {std::string("/"), std::string("."), std::string(".."),
                                    tree + "/..", work_ + "/./", std::string("/proc")}) {
        out.clear();
        EXPECT_EQ(Cli({"wipe", "-r", "--dry-run", root}, &out), 3) << root;
        EXPECT_EQ(out.find("\nwipe "), std::string::npos) << root << ": " << out;
        EXPECT_EQ(out.rfind("wipe ", 0), std::string::npos) << root << ": " << out;
    }
    EXPECT_TRUE(fs::exists(tree));

    if (geteuid() != 0) GTEST_SKIP() << "the bind mount cases need root";
    // A bind mount of a folder outside the tree, and of a single file: same file system,
    // same device number, other mounts.
    const std::string precious = File("outside/precious.txt", 50);
    const std::string single = File("elsewhere/single.txt", 50);
    fs::create_directories(tree + "/bound");
    ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/over.txt", "covered"));
    ASSERT_EQ(mount(outside.c_str(), (tree + "/bound").c_str(), nullptr, MS_BIND, nullptr), 0);
    if (mount(single.c_str(), (tree + "/over.txt").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        umount2((tree + "/bound").c_str(), MNT_DETACH);
        FAIL() << "bind mount of a file: " << std::strerror(errno);
    }
    std::string plan, mountRoot;
    const int planExit = Cli({"wipe", "-r", "--dry-run", tree}, &plan);
    const int mountRootExit = Cli({"wipe", "-r", "--dry-run", tree + "/bound"}, &mountRoot);
    out.clear();
    const int wipeExit = Cli({"wipe", "-r", "--yes", tree}, &out);
    umount2((tree + "/over.txt").c_str(), MNT_DETACH);
    umount2((tree + "/bound").c_str(), MNT_DETACH);

    EXPECT_EQ(planExit, 3);
    EXPECT_NE(plan.find("refuse " + tree + "/bound: a mount point"), std::string::npos) << plan;
    EXPECT_NE(plan.find("refuse " + tree + "/over.txt: a mount point"), std::string::npos) << plan;
    EXPECT_EQ(mountRootExit, 3);
    EXPECT_NE(mountRoot.find("the root of a mounted file system"), std::string::npos) << mountRoot;
    EXPECT_EQ(wipeExit, 3) << out;
    EXPECT_EQ(tw::test::ReadFileBytes(precious), std::string(50, 'q'));
    EXPECT_EQ(tw::test::ReadFileBytes(single), std::string(50, 'q'));
    EXPECT_EQ(tw::test::ReadFileBytes(tree + "/over.txt"), "covered");
}
