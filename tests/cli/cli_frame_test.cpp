// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/cli/run_cli.h"
#include "tests/platform/test_dir.h"

namespace tw {
namespace {

class CliFrame : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string Home() const { return "--config-home " + dir.path() + " "; }
};

TEST_F(CliFrame, HelpAndUsageErrors) {
    auto help = test::RunCli("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("settings"), std::string::npos);
    auto none = test::RunCli(Home());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.err.find("tidewipe-cli: "), std::string::npos);
    EXPECT_EQ(test::RunCli(Home() + "no-such-command").status, 2);
    EXPECT_EQ(test::RunCli(Home() + "settings get").status, 2);
}

TEST_F(CliFrame, SettingsKeepTheirTypes) {
    EXPECT_EQ(test::RunCli(Home() + "settings get NumOverwrites").out, "3\n");
    EXPECT_EQ(test::RunCli(Home() + "settings set NumOverwrites 5").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "settings get numoverwrites").out, "5\n");
    auto bad = test::RunCli(Home() + "settings set NumOverwrites many");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("REG_DWORD"), std::string::npos);
    EXPECT_EQ(test::RunCli(Home() + "settings set NumOverwrites 9").status, 2);
    EXPECT_EQ(test::RunCli(Home() + "settings set RestoredFilesLocation 42").status, 2);  // never set yet: unknown
    // An existing folder: a missing one would send the log to the first drive's root.
    EXPECT_EQ(test::RunCli(Home() + "settings set LogLocation '" + dir.path() + "'").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "settings get LogLocation").out, dir.path() + "\n");
    EXPECT_EQ(test::RunCli(Home() + "settings set NoSuchValue 1").status, 2);
    EXPECT_EQ(test::RunCli(Home() + "settings get NoSuchValue").status, 1);
    // Drive sets live in sub-keys.
    EXPECT_EQ(test::RunCli(Home() + "settings set 'cfs\\/home' 1").status, 0);
    auto list = test::RunCli(Home() + "settings list --json");
    ASSERT_EQ(list.status, 0);
    auto j = nlohmann::json::parse(list.out);
    bool sawDrive = false, sawDword = false;
    for (auto& v : j) {
        if (v["name"] == "cfs\\/home") sawDrive = true;
        if (v["name"] == "NumOverwrites") sawDword = v["type"] == "REG_DWORD" && v["value"] == 5;
    }
    EXPECT_TRUE(sawDrive);
    EXPECT_TRUE(sawDword);
}

TEST_F(CliFrame, LogWriteShowAndList) {
    ASSERT_EQ(test::RunCli(Home() + "settings set LogLocation '" + dir.path() + "'").status, 0);
    auto path = test::RunCli(Home() + "log path");
    ASSERT_EQ(path.status, 0);
    EXPECT_EQ(path.out.rfind(dir.path() + "/", 0), 0u);
    EXPECT_EQ(test::RunCli(Home() + "log write 'Hello from the test'").status, 0);
    EXPECT_EQ(test::RunCli(Home() + "log write \"$(printf '\\t')\"").status, 1);  // empty after filtering
    auto show = test::RunCli(Home() + "log show");
    EXPECT_NE(show.out.find(" -> Hello from the test\n"), std::string::npos);
    EXPECT_EQ(show.out.find('\r'), std::string::npos);
    auto list = test::RunCli(Home() + "log list --json");
    auto j = nlohmann::json::parse(list.out);
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(test::RunCli(Home() + "log show 1999-01-01").status, 1);
}

}  // namespace
}  // namespace tw
