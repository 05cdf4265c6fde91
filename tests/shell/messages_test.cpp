// SPDX-License-Identifier: GPL-3.0-or-later
// The session-bus transport on a private bus. Looking messages up by name or name
// string is tested through `tidewipe-cli notify` (guard_cli_test), the event-loop
// integration through the panel's bus bridge (ui panel_test).
#include "shell/messages.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "log/activity_log.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/guard_client.h"
#include "tests/common/run_cli.h"
#include "tests/shell/test_env.h"

using tw::shell::BusMessage;
using tw::shell::Message;
using tw::shell::MessageBus;

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(world_.Ok()) << "could not start a private dbus-daemon";
    }
    tw::test::TestWorld world_;
};

TEST_F(BusTest, BroadcastReachesEveryListenerWithSenderAndArgument) {
    MessageBus a, b;
    ASSERT_TRUE(a.Connected()) << a.Error();
    ASSERT_TRUE(b.Connected()) << b.Error();
    std::vector<BusMessage> gotA;
    ASSERT_TRUE(a.Listen([&](const BusMessage& m) { gotA.push_back(m); }));

    auto got = tw::shell::WaitForMessage(
        b, 3000, [](const BusMessage& m) { return m.id == Message::CleanRequestMessage; },
        [&] { EXPECT_TRUE(b.Broadcast("01f81cc4-EB29-4058-AFF7-4C6A46C23BB2", 4242, 0x522)); });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->sender, 4242u);
    EXPECT_EQ(got->lparam, 0x522);
    EXPECT_EQ(got->name, "01f81cc4-EB29-4058-AFF7-4C6A46C23BB2");  // as sent

    // A name nobody registered still travels; it is just not one of ours.
    ASSERT_TRUE(b.Broadcast("not-a-message", 1, -7));
    ASSERT_TRUE(b.Broadcast(Message::GuardStopMessage, 1));
    ASSERT_TRUE(tw::test::WaitUntil(
        [&] {
            a.WaitAndProcess(20000);
            return gotA.size() >= 3;
        },
        3000));
    EXPECT_EQ(gotA[0].id, Message::CleanRequestMessage);
    EXPECT_FALSE(gotA[1].id);
    EXPECT_EQ(gotA[1].lparam, -7);
    EXPECT_EQ(gotA[2].id, Message::GuardStopMessage);
    EXPECT_EQ(gotA[2].sender, static_cast<uint64_t>(getpid()));
}

TEST_F(BusTest, OwnBroadcastsComeBackInOrder) {
    MessageBus bus;
    std::vector<int32_t> codes;
    ASSERT_TRUE(bus.Listen([&](const BusMessage& m) { codes.push_back(m.lparam); }));
    for (int32_t i = 0; i < 20; ++i) ASSERT_TRUE(bus.Broadcast(Message::LogLineMessage, i));
    ASSERT_TRUE(tw::test::WaitUntil(
        [&] {
            bus.WaitAndProcess(20000);
            return codes.size() >= 20;
        },
        3000));
    for (int32_t i = 0; i < 20; ++i) EXPECT_EQ(codes[i], i);
}

// A worker thread broadcasts (the log notifier does) while the owner processes.
TEST_F(BusTest, BroadcastFromAnotherThreadWhileProcessing) {
    MessageBus bus;
    std::atomic<int> seen{0};
    ASSERT_TRUE(bus.Listen([&](const BusMessage& m) {
        if (m.id == Message::BinChangedMessage) ++seen;
    }));
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) bus.Broadcast(Message::BinChangedMessage, i);
    });
    EXPECT_TRUE(tw::test::WaitUntil(
        [&] {
            bus.WaitAndProcess(10000);
            return seen.load() == 200;
        },
        10000));
    worker.join();
    EXPECT_EQ(seen.load(), 200);
}

TEST_F(BusTest, SavedSettingsAreAnnounced) {
    MessageBus bus;
    tw::RegistryStore store(tw::RegistryStore::DefaultPath());
    tw::Settings settings(store);
    settings.logLocation = world_.Logs();
    settings.LoadSettings();
    tw::shell::BroadcastSettingsChanges(settings, bus);
    auto got = tw::shell::WaitForMessage(
        bus, 3000, [](const BusMessage& m) { return m.id == Message::SettingsChangedMessage; },
        [&] { settings.SaveSettings(); });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->lparam, 0);
}

// The command line changes settings behind the guard's back: it must announce them as
// the panel does, so the guard re-reads them at once (lParam 1 after a save, 0 after
// timed cleaning was switched off).
TEST_F(BusTest, CommandLineSettingChangesAreAnnounced) {
    MessageBus bus;
    tw::test::PrivateLogFolder(tw::RegistryStore::ConfigHome());
    const std::string cli = tw::test::CliPath();
    auto changed = [](const BusMessage& m) { return m.id == Message::SettingsChangedMessage; };
    auto got = tw::shell::WaitForMessage(bus, 5000, changed, [&] {
        EXPECT_EQ(std::system((cli + " settings set NumOverwrites 3 >/dev/null").c_str()), 0);
    });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->lparam, 1);
    got = tw::shell::WaitForMessage(bus, 5000, changed, [&] {
        EXPECT_EQ(std::system((cli + " schedule disable >/dev/null 2>&1").c_str()), 0);
    });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->lparam, 0);
    // A refused change announces nothing.
    got = tw::shell::WaitForMessage(bus, 700, changed, [&] {
        EXPECT_NE(std::system((cli + " settings set NumOverwrites 9 2>/dev/null").c_str()), 0);
    });
    EXPECT_FALSE(got);
}

TEST(NoBus, SendsAreDroppedAndNothingFails) {
    tw::test::TestWorld world(false);  // no bus address, no $XDG_RUNTIME_DIR/bus
    MessageBus bus;
    EXPECT_FALSE(bus.Connected());
    EXPECT_FALSE(bus.Error().empty());
    EXPECT_FALSE(bus.Broadcast(Message::GuardStopMessage, 1));
    EXPECT_FALSE(bus.Listen([](const BusMessage&) {}));
    EXPECT_EQ(bus.Fd(), -1);
    EXPECT_EQ(bus.Process(), -1);
    EXPECT_FALSE(bus.WaitAndProcess(1000));
    EXPECT_FALSE(tw::shell::QueryGuard(bus, 100).answered);

    // A log writer wired to a missing bus still writes its lines.
    tw::log::CActivityLogFile writer;
    writer.SetFolder(world.Logs());
    tw::shell::BroadcastLogLines(writer, bus);
    EXPECT_TRUE(writer.WriteLine("still logged"));
}
