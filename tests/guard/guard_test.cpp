// SPDX-License-Identifier: GPL-3.0-or-later
// sentrel as a process on a private session bus: its state messages, the one-copy
// rule, the settings, the timed clean, and tidewipe-cli guard|notify against it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "guard/schedule_watch.h"
#include "shell/startup.h"
#include "tests/common/run_cli.h"
#include "tests/guard/guard_harness.h"

using tw::shell::BusMessage;
using tw::shell::Message;
using tw::test::GuardWorld;
using tw::test::RunCli;

class GuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(w_.Ok()) << "could not start a private dbus-daemon";
    }

    GuardWorld w_;
};

TEST_F(GuardTest, AnnouncesAnswersQueriesAndStopsWhenAsked) {
    auto g = w_.StartGuard();
    ASSERT_GT(g->Pid(), 0);
    size_t upAt = 0, reloadAt = 0;
    ASSERT_TRUE(
        w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender(), 1), 10000, 0, &upAt))
        << g->Stderr();
    // A fresh store got its missing values from the guard: a panel must re-read them,
    // and is told so before the guard says it runs.
    ASSERT_TRUE(
        w_.Find(GuardWorld::Is(Message::ReloadSettingsMessage, g->Sender()), 0, 0, &reloadAt));
    EXPECT_LT(reloadAt, upAt);

    for (Message query :
         {Message::GuardQueryMessage, Message::GuardQuery2Message, Message::GuardQuery3Message}) {
        size_t mark = w_.Mark();
        ASSERT_TRUE(w_.Bus().Broadcast(query, 1));
        EXPECT_TRUE(w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender(), 1), 5000, mark))
            << tw::shell::NameOf(query);
    }
    // The panel's ping is for the panel: the guard does not answer it.
    size_t mark = w_.Mark();
    ASSERT_TRUE(w_.Bus().Broadcast(Message::GuardPingMessage, 1));
    EXPECT_FALSE(w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender()), 500, mark));

    mark = w_.Mark();
    ASSERT_TRUE(w_.Bus().Broadcast(Message::GuardStopMessage, 1));
    EXPECT_TRUE(w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender(), 0), 5000, mark));
    EXPECT_EQ(g->Wait(5000), 0) << g->Stderr();

    // The lock is free for the next guard, which finds a complete store and asks nobody
    // to reload.
    mark = w_.Mark();
    auto again = w_.StartGuard();
    ASSERT_TRUE(
        w_.Find(GuardWorld::Is(Message::GuardStateMessage, again->Sender(), 1), 10000, mark));
    EXPECT_FALSE(w_.Find(GuardWorld::Is(Message::ReloadSettingsMessage, again->Sender()), 0, mark));
}

TEST_F(GuardTest, SignalsStopItWithTheStateMessage) {
    for (int sig : {SIGTERM, SIGINT}) {
        size_t mark = w_.Mark();
        auto g = w_.StartGuard();
        ASSERT_TRUE(
            w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender(), 1), 10000, mark));
        // SIGHUP re-reads the settings and keeps it running.
        kill(g->Pid(), SIGHUP);
        EXPECT_TRUE(w_.Sync(*g));
        mark = w_.Mark();
        kill(g->Pid(), sig);
        EXPECT_TRUE(w_.Find(GuardWorld::Is(Message::GuardStateMessage, g->Sender(), 0), 5000, mark))
            << sig;
        EXPECT_EQ(g->Wait(5000), 0) << sig;
    }
}

TEST_F(GuardTest, SecondCopyExitsWithStatus1AndSaysWhy) {
    auto first = w_.StartGuard();
    ASSERT_TRUE(w_.WaitUp(*first)) << first->Stderr();
    auto second = w_.StartGuard();
    EXPECT_EQ(second->Wait(5000), 1);
    const std::string err = second->Stderr();
    EXPECT_NE(err.find("already running"), std::string::npos) << err;
    EXPECT_NE(err.find(std::to_string(first->Pid())), std::string::npos) << err;
    // The refused copy said nothing on the bus (no state 0 that would fool a panel).
    EXPECT_FALSE(w_.Find([&](const BusMessage& m) { return m.sender == second->Sender(); }, 300));
    EXPECT_TRUE(w_.Sync(*first));
}

// Running on defaults would start timed cleans and auto-wiping the user never chose.
TEST_F(GuardTest, ADamagedSettingsStoreIsRefusedAndKept) {
    const std::string db = tw::RegistryStore::DefaultPath();
    const std::string junk(8192, '\x5a');
    ASSERT_TRUE(tw::test::WriteFileBytes(db, junk));
    unlink((db + "-wal").c_str());
    unlink((db + "-shm").c_str());
    auto guard = w_.StartGuard();
    EXPECT_EQ(guard->Wait(5000), 1);
    const std::string err = guard->Stderr();
    EXPECT_NE(err.find("settings store " + db), std::string::npos) << err;
    EXPECT_EQ(tw::test::ReadFileBytes(db), junk);
}

TEST_F(GuardTest, TimedCleanIsSentToTheRunningPanel) {
    // This test process is the panel: it holds the panel's instance lock.
    tw::shell::CInstanceChecker panel;
    ASSERT_TRUE(panel.AcquireStartupLock());
    ASSERT_TRUE(panel.PublishFirstInstance());

    auto g = w_.StartGuard();
    ASSERT_TRUE(w_.WaitUp(*g)) << g->Stderr();
    // The schedule is stored after the guard started: it learns it from the
    // settings-changed broadcast, as after the schedule page saved.
    const tw::FileTime start = w_.ScheduleIn(2);
    size_t mark = w_.Mark();
    ASSERT_TRUE(w_.Bus().Broadcast(Message::SettingsChangedMessage, 1));
    size_t at = 0;
    auto req = w_.Find(GuardWorld::Is(Message::CleanRequestMessage, g->Sender()), 10000, mark, &at);
    ASSERT_TRUE(req) << g->Stderr();
    EXPECT_EQ(req->lparam, 0x522);
    EXPECT_GE(tw::guard::NowLocal(), start) << "fired before its time";
    // Once only.
    EXPECT_FALSE(w_.Find(GuardWorld::Is(Message::CleanRequestMessage, g->Sender()), 1500, at + 1));
}

// No panel beside the guard (and no display): the guard runs the scheduled clean-up
// itself and says so; with no scheduled drive that run refuses to start, and says why.
// The run on a real volume is in autowipe_volume_test.cpp.
TEST_F(GuardTest, MissingPanelMeansTheGuardRunsTheCleanItself) {
    const std::string folder = w_.GuardWithoutPanel();
    w_.SetDword("SaveToLogfile", 1);
    auto g = w_.StartGuard(folder + "sentrel");
    ASSERT_TRUE(w_.WaitUp(*g)) << g->Stderr();
    w_.ScheduleIn(2);
    ASSERT_TRUE(w_.Bus().Broadcast(Message::SettingsChangedMessage, 1));
    ASSERT_TRUE(tw::test::WaitUntil(
        [&] {
            return w_.LogText().find("Scheduled clean-up could not be started") !=
                   std::string::npos;
        },
        10000))
        << g->Stderr();
    const std::string log = w_.LogText();
    EXPECT_NE(log.find("the panel " + folder + "tidewipe could not be started"), std::string::npos)
        << log;
    EXPECT_LT(log.find("runs the clean-up itself"), log.find("could not be started:")) << log;
    EXPECT_TRUE(w_.Sync(*g));
    EXPECT_EQ(g->Wait(0), -1);  // still running
}

// tidewipe-cli guard start|stop|status and notify, against the real sentrel.
class GuardCliTest : public GuardTest {
  protected:
    void TearDown() override {
        // A guard the CLI started is not our child: make sure none outlives the test.
        if (started_ > 0 && kill(started_, 0) == 0) kill(started_, SIGKILL);
    }
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
