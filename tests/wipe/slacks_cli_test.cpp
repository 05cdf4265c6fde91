// SPDX-License-Identifier: GPL-3.0-or-later
// `tidewipe-cli slacks` as a user types it, on a private temporary folder: which files
// are listed with which slack (and what the walk leaves out), the table and the JSON
// form, and the usage errors. (Showing slack bytes reads a device: the volume tests do
// that on scratch volumes.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "tests/common/cli_fixture.h"

namespace {

struct SlacksCli : tw::test::CliFixture<> {
    std::string tree;
    uint32_t cluster = 0;

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(SetUpCli(false));
        tree = dir_.Path() + "/tree";
        ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tree + "/sub").c_str(), 0755), 0);
        struct statvfs sv {};
        ASSERT_EQ(statvfs(tree.c_str(), &sv), 0);
        cluster = static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/a.txt", "alpha"));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/sub/b.txt", std::string(cluster + 7, 'b')));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/whole", std::string(cluster, 'w')));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/empty", ""));
        // Left out by the walk: a link, a hidden file, a protected name, a read-only file,
        // and a second name of a listed file (its slack is the same place on the disk).
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/.hidden", "h"));
        ASSERT_EQ(symlink((tree + "/a.txt").c_str(), (tree + "/link").c_str()), 0);
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/setup.exe", "e"));
        ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/readonly.txt", "r"));
        ASSERT_EQ(chmod((tree + "/readonly.txt").c_str(), 0444), 0);
        ASSERT_EQ(link((tree + "/sub/b.txt").c_str(), (tree + "/zz-second-name").c_str()), 0);
    }
    // stdout and stderr into *out; the JSON form without stderr.
    int Run(std::vector<std::string> args, std::string* out) {
        out->clear();
        return Cli(std::move(args), out);
    }
    nlohmann::json Json(const std::string& folder) {
        std::string out;
        const int rc =
            tw::test::RunTool({"sh", "-c",
                               "'" + tw::test::CliPath() + "' --config-home '" + config_ +
                                   "' slacks --json '" + folder + "' 2>/dev/null"},
                              &out);
        EXPECT_EQ(rc, 0) << out;
        return nlohmann::json::parse(out, nullptr, false);
    }
};

// Every file whose size is not whole clusters is listed once, with its slack, times and
// attributes; the table and the JSON list the same scan.
TEST_F(SlacksCli, ListsEveryFileWithSlackOnceAndNothingTheWalkLeavesOut) {
    const timespec t[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (tree + "/a.txt").c_str(), t, 0), 0);
    std::string out;
    ASSERT_EQ(Run({"slacks", tree}, &out), 0) << out;
    EXPECT_NE(out.find("Slack at end of file"), std::string::npos) << out;
    EXPECT_NE(out.find(tree + "/sub/b.txt"), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(cluster - 5)), std::string::npos) << out;
    EXPECT_NE(out.find("Completed search for recoverable slacks (Found 2 slacks)"),
              std::string::npos)
        << out;

    const auto j = Json(tree);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["count"], 2);
    EXPECT_EQ(j["aborted"], false);
    EXPECT_EQ(j["result"], "Completed search for recoverable slacks (Found 2 slacks)");
    std::map<std::string, std::pair<uint64_t, uint64_t>> items;
    for (const auto& s : j["slacks"]) {
        EXPECT_TRUE(items.emplace(s["path"], std::make_pair(s["size"], s["slack"])).second)
            << "listed twice: " << s["path"];
        EXPECT_EQ(s["attributes"], "------n------");
        EXPECT_EQ(s["cluster_size"], cluster);
        EXPECT_TRUE(s["last_cluster"].is_null() || s["last_cluster"].is_number());
    }
    const std::map<std::string, std::pair<uint64_t, uint64_t>> expected = {
        {tree + "/a.txt", {5, cluster - 5}}, {tree + "/sub/b.txt", {cluster + 7, cluster - 7}}};
    EXPECT_EQ(items, expected);
    for (const auto& s : j["slacks"]) {
        if (s["path"] == tree + "/a.txt") {
            EXPECT_EQ(s["modified"], "2017-07-14T02:40:00Z");
        }
    }
}

// A crafted name can neither split the table nor reach the terminal as an escape
// sequence, and a name that is not UTF-8 keeps the JSON valid with its exact bytes beside.
TEST_F(SlacksCli, HostileNamesAreEscapedAndKeepTheJsonValid) {
    const std::string evil = "evil\n\033[31mred\xff.txt";
    ASSERT_TRUE(tw::test::WriteFileBytes(tree + "/" + evil, "x"));
    std::string out;
    ASSERT_EQ(Run({"slacks", tree}, &out), 0) << out;
    EXPECT_EQ(out.find('\033'), std::string::npos) << out;
    EXPECT_EQ(out.find('\xff'), std::string::npos) << out;
    EXPECT_NE(out.find(tree + "/evil\\n\\033[31mred\\377.txt"), std::string::npos) << out;

    const auto j = Json(tree);
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

TEST_F(SlacksCli, UsageErrorsHelpAndAFolderWithoutSlack) {
    std::string out;
    const std::string empty = dir_.Path() + "/nothing";
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    ASSERT_EQ(Run({"slacks", empty}, &out), 0) << out;
    EXPECT_NE(out.find("No items to display"), std::string::npos) << out;
    EXPECT_NE(out.find("Completed search for recoverable slacks (Did not find any slacks)"),
              std::string::npos)
        << out;
    EXPECT_EQ(Run({"slacks"}, &out), 2) << out;
    EXPECT_EQ(Run({"slacks", dir_.Path() + "/missing"}, &out), 2) << out;
    EXPECT_EQ(Run({"slacks", tree + "/a.txt"}, &out), 2) << "a file is not a folder: " << out;
    EXPECT_EQ(Run({"slacks", "--hex", tree}, &out), 2) << "--hex needs --show: " << out;
    EXPECT_EQ(Run({"slacks", "--show", tree + "/missing"}, &out), 2) << out;
    EXPECT_EQ(Run({"slacks", "--show", tree + "/link"}, &out), 2) << out;
    EXPECT_NE(out.find("not a regular file"), std::string::npos) << out;
    ASSERT_EQ(Run({"slacks", "--help"}, &out), 0) << out;
    EXPECT_NE(out.find("--show"), std::string::npos) << out;
    EXPECT_NE(out.find("--hex"), std::string::npos) << out;
    EXPECT_NE(out.find("--json"), std::string::npos) << out;
}

}  // namespace
