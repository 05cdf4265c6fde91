// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli guard start|stop|status and notify, against the real sentrel on a
// private session bus.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "tests/common/run_cli.h"
#include "tests/guard/guard_harness.h"

using tw::shell::Message;
using tw::test::GuardWorld;
using tw::test::RunCli;

class GuardCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(w_.Ok()) << "could not start a private dbus-daemon";
    }
    void TearDown() override {
        // A guard the CLI started is not our child: make sure none outlives the test.
        if (started_ > 0 && kill(started_, 0) == 0) kill(started_, SIGKILL);
    }
    GuardWorld w_;
    pid_t started_ = -1;
};

TEST_F(GuardCliTest, StartStatusStopRoundTrip) {
    auto r = RunCli("guard status");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "Watchkeep is not running\n");

    r = RunCli("guard start");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto pos = r.out.find("(pid ");
    ASSERT_NE(pos, std::string::npos) << r.out;
    started_ = std::stoi(r.out.substr(pos + 5));
    EXPECT_EQ(kill(started_, 0), 0);

    r = RunCli("guard status");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Watchkeep is running (pid " + std::to_string(started_) + ")\n");
    r = RunCli("guard status --json");
    EXPECT_EQ(r.status, 0);
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["running"], true);
    EXPECT_EQ(j["pid"], started_);

    r = RunCli("guard start");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("already running"), std::string::npos) << r.out;

    r = RunCli("guard stop");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Watchkeep stopped\n");
    EXPECT_TRUE(tw::test::WaitUntil([&] { return kill(started_, 0) != 0; }, 5000));

    r = RunCli("guard status --json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(nlohmann::json::parse(r.out)["running"], false);
    r = RunCli("guard stop");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Watchkeep is not running\n");
}

TEST_F(GuardCliTest, NotifyBroadcastsAnyMessageByNameOrNameString) {
    auto g = w_.StartGuard();
    ASSERT_TRUE(w_.WaitUp(*g)) << g->Stderr();

    size_t mark = w_.Mark();
    auto r = RunCli("notify CleanRequestMessage 0x522 --sender 77");
    ASSERT_EQ(r.status, 0) << r.err;
    auto m =
        w_.Find([](const tw::shell::BusMessage& b) { return b.id == Message::CleanRequestMessage; },
                3000, mark);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->lparam, 0x522);
    EXPECT_EQ(m->sender, 77u);
    EXPECT_EQ(m->name, "01F81CC4-EB29-4058-AFF7-4C6A46C23BB2");

    mark = w_.Mark();
    r = RunCli("notify b0d0bfbc-f521-4176-a4f6-f6962b776e3f 1");  // GuardStopMessage
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender(), 0), 5000, mark));
    EXPECT_EQ(g->Wait(5000), 0);
}

TEST_F(GuardCliTest, NotifyRefusesWhatItCannotSend) {
    auto r = RunCli("notify NoSuchMessage");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown message"), std::string::npos) << r.err;
    r = RunCli("notify GuardStopMessage 12abc");
    EXPECT_EQ(r.status, 2);
    r = RunCli("notify GuardStopMessage 0x100000000");
    EXPECT_EQ(r.status, 2);
    r = RunCli("notify");
    EXPECT_EQ(r.status, 2);
    r = RunCli("notify --list");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("GuardStopMessage\tB0D0BFBC-F521-4176-A4F6-F6962B776E3F"),
              std::string::npos);

    // Without a session bus the message is dropped and the exit status says so.
    tw::test::EnvVar noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
    r = RunCli("notify GuardStopMessage 1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no session bus"), std::string::npos) << r.err;
    r = RunCli("guard status");
    EXPECT_EQ(r.status, 1);
    r = RunCli("guard stop");
    EXPECT_EQ(r.status, 1);
}
