// SPDX-License-Identifier: GPL-3.0-or-later
// schedule set/show/enable/disable through tidewipe-cli on a private settings store.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

class ScheduleCli : public ::testing::Test {
  protected:
    test::TempDir dir{"schedcli"};
    void SetUp() override { test::PrivateLogFolder(dir.Path()); }
    std::string Home() const { return "--config-home " + dir.Path() + " "; }
    nlohmann::json Show() {
        auto r = test::RunCli(Home() + "schedule show --json");
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out);
    }
};

TEST_F(ScheduleCli, SetShowDisableEnable) {
    auto fresh = Show();
    EXPECT_EQ(fresh["active"], false);
    EXPECT_EQ(fresh["nextRun"], "No tasks are scheduled to run");

    // Every day at noon can always be armed, whatever the time the test runs.
    auto set = test::RunCli(Home() +
                            "schedule set --days sun,mon,tue,wed,thu,fri,sat --time 12:00 "
                            "--drive / --task free-space --task shutdown");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.out.find("Next scheduled clean: "), std::string::npos);
    EXPECT_NE(set.out.find("@ 12:00:00"), std::string::npos);
    auto j = Show();
    EXPECT_EQ(j["active"], true);
    EXPECT_EQ(j["live"], true);
    EXPECT_EQ(j["repeatType"], 3);
    EXPECT_EQ(j["days"].size(), 7u);
    EXPECT_EQ(j["tasks"], nlohmann::json({"free-space", "shutdown"}));
    EXPECT_EQ(j["drives"], nlohmann::json({"/"}));
    // The save button stores the manual set too.
    EXPECT_EQ(test::RunCli(Home() + "settings get shutdownafterCFS").out, "1\n");
    EXPECT_EQ(test::RunCli(Home() + "settings get 'cfs\\/'").out, "1\n");

    EXPECT_EQ(test::RunCli(Home() + "schedule disable").status, 0);
    EXPECT_EQ(Show()["active"], false);
    EXPECT_EQ(test::RunCli(Home() + "settings get schedulerActive").out, "0\n");
    auto en = test::RunCli(Home() + "schedule enable");
    EXPECT_EQ(en.status, 0) << en.err;
    EXPECT_EQ(Show()["active"], true);
}

TEST_F(ScheduleCli, RefusalsAndUsageErrors) {
    // Midnight today has passed (unless the test runs in its very first millisecond).
    auto past = test::RunCli(Home() + "schedule set --today --time 00:00:00 --drive /");
    EXPECT_EQ(past.status, 3);
    EXPECT_NE(past.err.find("Please set a start time ahead of the current time."),
              std::string::npos);
    EXPECT_EQ(Show()["active"], false);
    auto noDrive = test::RunCli(Home() + "schedule set --days mon --time 10:00");
    EXPECT_EQ(noDrive.status, 3);
    EXPECT_NE(noDrive.err.find("You haven't chosen a drive"), std::string::npos);
    // No scheduled drive yet, then no valid start: the status tile's refusal texts.
    auto en = test::RunCli(Home() + "schedule enable");
    EXPECT_EQ(en.status, 3);
    EXPECT_NE(en.err.find("You haven't chosen a drive"), std::string::npos);
    ASSERT_EQ(test::RunCli(Home() + "settings set 'sch\\/' 1").status, 0);
    en = test::RunCli(Home() + "schedule enable");
    EXPECT_EQ(en.status, 3);
    EXPECT_NE(en.err.find("Unable to activate as no valid cleaning event"), std::string::npos);
    EXPECT_EQ(Show()["active"], false);

    for (const std::string& args :
         {"--days mon --time 10:00 --drive " + dir.Path(),  // a folder, not a mount point
          std::string("--days funday --time 10:00 --drive /"),
          std::string("--days mon --time 25:00 --drive /"),
          std::string("--days mon --time 10:00x --drive /"), std::string("--time 10:00 --drive /"),
          std::string("--today --days mon --time 10:00 --drive /")})
        EXPECT_EQ(test::RunCli(Home() + "schedule set " + args).status, 2) << args;
    auto badTask =
        test::RunCli(Home() + "schedule set --days mon --time 10:00 --drive / --task dust");
    EXPECT_EQ(badTask.status, 2);
    EXPECT_NE(badTask.err.find("table-entries"), std::string::npos);
}

}  // namespace
}  // namespace tw
