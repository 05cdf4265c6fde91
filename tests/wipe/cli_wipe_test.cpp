// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli wipe as a user runs it: the dry-run plan, the bytes it promises against
// the bytes written, refusals and their exit status, and the log lines.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/common/scratch_volume.h"

namespace fs = std::filesystem;

namespace {

class WipeCli : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.Ok());
        config_ = dir_.Path() + "/config";
        logs_ = dir_.Path() + "/logs";
        work_ = dir_.Path() + "/work";
        fs::create_directories(logs_);
        fs::create_directories(work_);
        ASSERT_EQ(Cli({"settings", "set", "LogLocation", logs_}, nullptr), 0);
        ASSERT_EQ(Cli({"settings", "set", "SaveToLogfile", "1"}, nullptr), 0);
    }
    // Runs tidewipe-cli with its own settings store; stdout and stderr into `out`.
    int Cli(std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), {TW_CLI_PATH, "--config-home", config_});
        return tw::test::RunTool(args, out);
    }
    std::string LogText() {
        std::string all;
        for (const auto& e : fs::directory_iterator(logs_))
            all += tw::test::ReadFileBytes(e.path().string());
        return all;
    }
    std::string File(const std::string& name, size_t size, mode_t mode = 0644) {
        const std::string path = work_ + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        EXPECT_TRUE(tw::test::WriteFileBytes(path, std::string(size, 'q')));
        chmod(path.c_str(), mode);
        return path;
    }

    tw::test::TempDir dir_{"wipe-cli"};
    std::string config_, logs_, work_;
};

}  // namespace

TEST_F(WipeCli, DryRunPromisesWhatTheWipeWrites) {
    const std::vector<std::string> files = {File("empty", 0), File("one", 1), File("mid.doc", 5000),
                                            File("sub/big.bin", 70000)};
    const std::string ro = File("sub/locked.txt", 10, 0444);
    ASSERT_EQ(symlink("/etc/hostname", (work_ + "/sub/link").c_str()), 0);

    std::string plan;
    EXPECT_EQ(Cli({"wipe", "--dry-run", "-r", "--passes", "2", work_}, &plan), 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(plan, m, std::regex(R"((\d+) files, (\d+) bytes to write in 3 passes)")))
        << plan;
    EXPECT_EQ(m[1], "4");
    const uint64_t planned = std::stoull(m[2]);
    EXPECT_NE(plan.find("refuse " + ro + ": read-only"), std::string::npos) << plan;
    EXPECT_NE(plan.find("remove link " + work_ + "/sub/link"), std::string::npos) << plan;
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
    for (const auto& f : json["files"]) written += f.value("bytes_written", 0ull);
    EXPECT_EQ(written, planned);
    EXPECT_EQ(json["wiped"], 4);
    for (const auto& f : files) EXPECT_FALSE(fs::exists(f)) << f;
    EXPECT_TRUE(fs::exists(ro));
    EXPECT_FALSE(fs::exists(work_ + "/sub/link"));
    EXPECT_TRUE(fs::exists("/etc/hostname"));
    EXPECT_TRUE(fs::exists(work_ + "/sub"));  // kept: it still holds the refused file

    const std::string log = LogText();
    for (const auto& f : files)
        EXPECT_NE(log.find("Erased " + f + " with 3 overwrites"), std::string::npos) << log;
}

TEST_F(WipeCli, FoldersNeedRecursiveAndMissingFilesAreRefused) {
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

    // A count of 1 writes two passes, and the log says so.
    out.clear();
    EXPECT_EQ(Cli({"wipe", "--yes", "--passes", "1", f}, &out), 0) << out;
    EXPECT_FALSE(fs::exists(f));
    EXPECT_NE(LogText().find("Erased " + f + " with 2 overwrites"), std::string::npos);
}

TEST_F(WipeCli, FreeSpaceTakesOnlyMountPoints) {
    std::string out;
    EXPECT_EQ(Cli({"free-space", "--dry-run", work_}, &out), 3);
    EXPECT_NE(out.find("is not a mount point"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(Cli({"free-space", "--dry-run", work_ + "/missing"}, &out), 2);
}
