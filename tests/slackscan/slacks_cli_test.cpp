// SPDX-License-Identifier: GPL-3.0-or-later
// `tidewipe-cli slacks` as a user types it, on a private temporary folder: the table
// and the result line, the JSON form, and the usage errors. (Showing slack bytes reads
// a device: the volume tests do that on scratch volumes.)
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace {

using tw::test::CliPath;

struct SlacksCli : ::testing::Test {
    tw::test::TempDir dir{"slacks-cli"};
    std::string cli, tree, config;
    uint32_t cluster = 0;

    void SetUp() override {
        cli = CliPath();
        if (access(cli.c_str(), X_OK) != 0)
            GTEST_SKIP() << "tidewipe-cli is not built beside the tests";
        ASSERT_TRUE(dir.Ok());
        tree = dir.Path() + "/tree";
        config = dir.Path() + "/config";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        tw::test::PrivateLogFolder(config);
        ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
        struct statvfs sv {};
        ASSERT_EQ(statvfs(tree.c_str(), &sv), 0);
        cluster = static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/a.txt", "alpha"));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/sub/b.txt", std::string(cluster + 7, 'b')));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/whole", std::string(cluster, 'w')));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/.hidden", "h"));
    }
    // stdin from /dev/null; stderr into *out too unless told otherwise.
    int Run(const std::string& args, std::string* out, bool withStderr = true) {
        const std::string cmd = "TIDEWIPE_CONFIG_HOME='" + config + "' '" + cli + "' " + args +
                                " </dev/null" + (withStderr ? " 2>&1" : " 2>/dev/null");
        return tw::test::RunTool({"sh", "-c", cmd}, out);
    }
};

// The table and the JSON list the same scan: which files the scan lists is its own test.
TEST_F(SlacksCli, ListsTheFilesWithSlackInTheTableAndTheJson) {
    std::string out;
    ASSERT_EQ(Run("slacks '" + tree + "'", &out), 0) << out;
    EXPECT_NE(out.find("Slack at end of file"), std::string::npos) << out;
    EXPECT_NE(out.find(tree + "/sub/b.txt"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(cluster - 5)), std::string::npos) << out;
    EXPECT_NE(out.find("Completed search for recoverable slacks (Found 2 slacks)"),
              std::string::npos)
        << out;

    out.clear();
    ASSERT_EQ(Run("slacks --json '" + tree + "'", &out, false), 0) << out;
    const auto j = nlohmann::json::parse(out);
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["aborted"], false);
    EXPECT_EQ(j["result"], "Completed search for recoverable slacks (Found 2 slacks)");
    ASSERT_EQ(j["slacks"].size(), 2u);
    std::map<std::string, std::pair<uint64_t, uint64_t>> items;
    for (const auto& s : j["slacks"]) {
        items[s["path"]] = {s["size"], s["slack"]};
        EXPECT_EQ(s["attributes"], "------n------");
        EXPECT_EQ(s["cluster_size"], cluster);
        EXPECT_TRUE(s["last_cluster"].is_null() || s["last_cluster"].is_number());
    }
    EXPECT_EQ(items[tree + "/a.txt"], std::make_pair(uint64_t{5}, uint64_t{cluster - 5}));
    EXPECT_EQ(items[tree + "/sub/b.txt"],
              std::make_pair(uint64_t{cluster + 7}, uint64_t{cluster - 7}));
}

// A crafted name can neither split the table nor reach the terminal as an escape
// sequence, and a name that is not UTF-8 keeps the JSON valid with its exact bytes beside.
TEST_F(SlacksCli, HostileNamesAreEscapedAndKeepTheJsonValid) {
    const std::string evil = "evil\n\033[31mred\xff.txt";
    ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/" + evil, "x"));
    std::string out;
    ASSERT_EQ(Run("slacks '" + tree + "'", &out), 0) << out;
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_EQ(out.find('\xff'), std::string::npos) << out;
    EXPECT_NE(out.find(tree + "/evil\\n\\033[31mred\\377.txt"), std::string::npos) << out;

    out.clear();
    ASSERT_EQ(Run("slacks --json '" + tree + "'", &out, false), 0) << out;
    const auto j = nlohmann::json::parse(out);
    bool seen = false;
    for (const auto& s : j["slacks"]) {
        if (!s.contains("path_bytes")) continue;
        seen = true;
        EXPECT_EQ(s["path"], tree + "/evil\n\033[31mred\\xff.txt");
        std::string raw;
        const std::string hex = s["path_bytes"];
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        EXPECT_EQ(raw, tree + "/" + evil);
    }
    EXPECT_TRUE(seen) << out;
}

TEST_F(SlacksCli, AFolderWithoutSlackSaysSo) {
    const std::string empty = dir.Path() + "/empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    std::string out;
    ASSERT_EQ(Run("slacks '" + empty + "'", &out), 0) << out;
    EXPECT_NE(out.find("No items to display"), std::string::npos) << out;
    EXPECT_NE(out.find("Completed search for recoverable slacks (Did not find any slacks)"),
              std::string::npos)
        << out;
}

TEST_F(SlacksCli, UsageErrorsAndHelp) {
    std::string out;
    EXPECT_EQ(Run("slacks", &out), 2) << out;
    out.clear();
    EXPECT_EQ(Run("slacks '" + dir.Path() + "/missing'", &out), 2) << out;
    out.clear();
    EXPECT_EQ(Run("slacks '" + tree + "/a.txt'", &out), 2) << "a file is not a folder: " << out;
    out.clear();
    EXPECT_EQ(Run("slacks --hex '" + tree + "'", &out), 2) << "--hex needs --show: " << out;
    out.clear();
    EXPECT_EQ(Run("slacks --show '" + tree + "/missing'", &out), 2) << out;
    out.clear();
    ASSERT_EQ(symlink((tree + "/a.txt").c_str(), (tree + "/link").c_str()), 0);
    EXPECT_EQ(Run("slacks --show '" + tree + "/link'", &out), 2) << out;
    EXPECT_NE(out.find("not a regular file"), std::string::npos) << out;
    out.clear();
    ASSERT_EQ(Run("slacks --help", &out), 0) << out;
    EXPECT_NE(out.find("--show"), std::string::npos) << out;
    EXPECT_NE(out.find("--hex"), std::string::npos) << out;
    EXPECT_NE(out.find("--json"), std::string::npos) << out;
}

}  // namespace
