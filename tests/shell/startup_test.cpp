// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up: single instance, detached launch of the guard, switches and the requests a
// scheduled start sends; and the session-bus transport they use, on a private bus.
#include "shell/startup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "log/activity_log.h"
#include "platform/drives.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/guard_client.h"
#include "shell/messages.h"
#include "tests/common/run_cli.h"
#include "tests/shell/test_env.h"

using tw::shell::BusMessage;
using tw::shell::CInstanceChecker;
using tw::shell::CStartup;
using tw::shell::Message;
using tw::shell::MessageBus;

namespace {

// The fields the fake program reports ("pid 12", "fds 0,1,2", ...).
std::map<std::string, std::string> ReadReport(const std::string& path) {
    std::map<std::string, std::string> fields;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        auto sp = line.find(' ');
        fields[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    return fields;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A program folder holding the fake program under `name`, with `mode`.
std::string MakeProgramFolder(const tw::test::TestWorld& w, const std::string& name,
                              mode_t mode = 0755) {
    const std::string folder = w.Sub("prog");
    mkdir(folder.c_str(), 0755);
    EXPECT_TRUE(
        tw::test::CopyProgram(tw::ProgramFolder() + "tw_fake_program", folder + "/" + name, mode));
    return folder + "/";
}

// Runs `fn` in a child process that stays alive until killed; waits until `fn` is done.
pid_t InChild(const std::function<void()>& fn) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        fn();
        (void)!write(fds[1], "x", 1);
        for (;;) pause();
    }
    close(fds[1]);
    char c;
    (void)!read(fds[0], &c, 1);
    close(fds[0]);
    return pid;
}

// The message boxes a start showed: text and caption ids.
struct Shown {
    std::vector<std::pair<int, int>> messages;
    std::function<void(int, int)> Sink() {
        return [this](int text, int caption) { messages.emplace_back(text, caption); };
    }
};

void KillChild(pid_t pid) {
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
}

}  // namespace

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(world_.Ok()) << "could not start a private dbus-daemon";
    }
    tw::test::TestWorld world_;
};

// ---- the instance checker ----

// A second panel ends silently (no message, no guard launched, the start-up lock let go)
// while the first runs; once the first is killed, the next one starts.
TEST_F(StartupTest, APublishedPanelIsSeenUntilItIsKilled) {
    // A runtime folder that others may read is made private again.
    const std::string folder = world_.RuntimeTidewipe();
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    chmod(folder.c_str(), 0755);
    ASSERT_EQ(tw::shell::RuntimeFolder(), folder);
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(CInstanceChecker::InstanceRunning());

    const std::string prog = MakeProgramFolder(world_, "sentrel");
    const std::string report = world_.Sub("report");
    tw::test::EnvVar var("TW_FAKE_REPORT", report.c_str());
    pid_t panel = InChild([&] {
        static CStartup first({prog + "tidewipe", prog, "", nullptr, {}});  // until killed
        first.Start();
        first.Publish();
    });
    ASSERT_GT(panel, 0);
    ASSERT_TRUE(tw::test::WaitUntil([&] { return Exists(report); }, 5000));
    unlink(report.c_str());
    uint64_t window = 0;
    EXPECT_TRUE(CInstanceChecker::InstanceRunning(tw::shell::kPanelInstanceName, "", &window));
    EXPECT_EQ(window, static_cast<uint64_t>(panel));
    {
        CInstanceChecker c;
        ASSERT_TRUE(c.AcquireStartupLock());  // released by the first's publication
        EXPECT_TRUE(c.OtherInstanceRunning());
        EXPECT_FALSE(c.PublishFirstInstance());
        EXPECT_FALSE(c.Published());
        // Another name is another program.
        CInstanceChecker other("Some Other Program");
        ASSERT_TRUE(other.AcquireStartupLock());
        EXPECT_FALSE(other.OtherInstanceRunning());
    }
    {
        Shown shown;
        CStartup second({prog + "tidewipe -cfs", prog, "", nullptr, shown.Sink()});
        EXPECT_EQ(second.Start(), CStartup::Outcome::OtherInstance);
        EXPECT_TRUE(shown.messages.empty());
        EXPECT_FALSE(second.guardLaunched);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(Exists(report)) << "the second panel launched the guard";
        int startup = tw::shell::LockFile(second.instanceChecker.StartupLockPath(), true, false);
        EXPECT_GE(startup, 0);
        if (startup >= 0) close(startup);
    }
    KillChild(panel);  // SIGKILL: no clean-up code runs

    EXPECT_FALSE(CInstanceChecker::InstanceRunning());
    CInstanceChecker next;
    ASSERT_TRUE(next.AcquireStartupLock());
    EXPECT_FALSE(next.OtherInstanceRunning());
    EXPECT_TRUE(next.PublishFirstInstance());
    EXPECT_TRUE(next.Published());
}

TEST_F(StartupTest, StartupLockSerialisesStartingPanels) {
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    const int releaseRead = release[0];
    pid_t starting = InChild([releaseRead] {
        // Holds the start-up lock, as a panel does between its start and its
        // publication, until the test says so.
        static CInstanceChecker c;
        c.AcquireStartupLock();
        std::thread([releaseRead] {
            char ch;
            (void)!read(releaseRead, &ch, 1);
            c.ReleaseStartupLock();
        }).detach();
    });
    close(release[0]);
    ASSERT_GT(starting, 0);
    EXPECT_TRUE(CInstanceChecker::InstanceRunning());  // a starting panel counts

    std::atomic<bool> acquired{false};
    CInstanceChecker waiting;
    std::thread t([&] {
        waiting.AcquireStartupLock();
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(acquired.load()) << "a second start went past a held start-up lock";
    (void)!write(release[1], "x", 1);
    t.join();
    EXPECT_TRUE(acquired.load());
    close(release[1]);
    KillChild(starting);
}

// ---- helpers of the start ----

TEST(Switches, PlainSubstringsOfTheWholeLine) {
    const char* argv[] = {"/opt/my-rb-tools/tidewipe", "-cfsm"};
    const std::string line = tw::shell::CommandLineText(2, argv);
    EXPECT_EQ(line, "/opt/my-rb-tools/tidewipe -cfsm");
    auto s = tw::shell::FindSwitches(line);
    EXPECT_TRUE(s.cfs);  // "-cfs" is a prefix of "-cfsm"
    EXPECT_TRUE(s.cfsm);
    EXPECT_TRUE(s.rb);  // found inside the program's folder name
    auto none = tw::shell::FindSwitches("/usr/bin/tidewipe -CFS --rB xcfs");
    EXPECT_FALSE(none.cfs);
    EXPECT_FALSE(none.cfsm);
    EXPECT_FALSE(none.rb);
    auto glued = tw::shell::FindSwitches("tidewipe --cfs-only");
    EXPECT_TRUE(glued.cfs);
    EXPECT_FALSE(glued.cfsm);
}

TEST(Privileges, FollowTheEffectiveCapabilities) {
    // Read independently of the code under test: the kernel's own summary.
    std::ifstream in("/proc/self/status");
    std::string line;
    uint64_t capEff = 0;
    while (std::getline(in, line))
        if (line.rfind("CapEff:", 0) == 0) capEff = std::stoull(line.substr(7), nullptr, 16);
    const bool sysAdmin = (capEff >> 21) & 1;
    const bool sysBoot = (capEff >> 22) & 1;
    auto p = tw::shell::QueryPrivileges();
    EXPECT_EQ(p.manageVolumePrivilege, (geteuid() == 0 || sysAdmin) ? 1u : 0u);
    if (geteuid() == 0 || sysBoot) {
        EXPECT_EQ(p.shutdownPrivilege, 1u);
    }
}

TEST_F(StartupTest, LaunchDetachedRunsTheProgramInItsOwnSessionWithNothingInherited) {
    const std::string prog = MakeProgramFolder(world_, "sentrel");
    const std::string report = world_.Sub("report");
    tw::test::EnvVar var("TW_FAKE_REPORT", report.c_str());
    // Things a careless launcher would pass on: a descriptor without close-on-exec and
    // a blocked signal.
    int leak = open("/dev/null", O_RDONLY);
    ASSERT_GE(leak, 3);
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &old);

    std::string why;
    bool ok = tw::shell::LaunchDetached({prog + "sentrel", "-x", "two words"}, &why);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(leak);
    ASSERT_TRUE(ok) << why;
    ASSERT_TRUE(tw::test::WaitUntil([&] { return Exists(report); }, 5000));
    auto r = ReadReport(report);
    EXPECT_EQ(r["fds"], "0,1,2");
    EXPECT_EQ(r["blocked"], "0");
    EXPECT_EQ(r["cwd"], "/");
    EXPECT_EQ(r["args"], "-x two words");
    EXPECT_NE(std::stol(r["sid"]), static_cast<long>(getsid(0)));
    EXPECT_NE(std::stol(r["ppid"]), static_cast<long>(getpid()));  // not our child

    // What cannot run says why (even root cannot execute a file without an execute bit).
    EXPECT_FALSE(tw::shell::LaunchDetached({world_.Sub("missing")}, &why));
    EXPECT_NE(why.find("No such file"), std::string::npos) << why;
    chmod((prog + "sentrel").c_str(), 0644);
    EXPECT_FALSE(tw::shell::LaunchDetached({prog + "sentrel"}, &why));
    EXPECT_NE(why.find("Permission denied"), std::string::npos) << why;
    EXPECT_FALSE(tw::shell::LaunchDetached({}, &why));
}

// ---- the start-up object ----

// Message 103 either way: a missing guard (or a folder of its name) stops the start
// (before the single-instance test, so nothing is locked); one that cannot run does not.
TEST_F(StartupTest, AMissingGuardStopsTheStartAnUnstartableOneDoesNot) {
    mkdir(world_.Sub("empty").c_str(), 0755);
    mkdir(world_.Sub("folder").c_str(), 0755);
    mkdir(world_.Sub("folder/sentrel").c_str(), 0755);
    const std::string unstartable = MakeProgramFolder(world_, "sentrel", 0644);
    for (const std::string& prog :
         {world_.Sub("empty") + "/", world_.Sub("folder") + "/", unstartable}) {
        const bool missing = prog != unstartable;
        Shown shown;
        CStartup s({"tidewipe", prog, "", nullptr, shown.Sink()});
        EXPECT_EQ(s.Start(), missing ? CStartup::Outcome::NotInstalled : CStartup::Outcome::Run);
        EXPECT_EQ(s.residentProgramPath, prog + "sentrel");
        EXPECT_FALSE(s.guardLaunched);
        ASSERT_EQ(shown.messages.size(), 1u) << prog;
        EXPECT_EQ(shown.messages[0], std::make_pair(103, 125));
        if (missing)
            EXPECT_FALSE(CInstanceChecker::InstanceRunning());
        else
            EXPECT_TRUE(s.Publish());
    }
}

// A scheduled start ("-cfsm") launches the guard, asks for its state and sends both
// clean requests, "-cfs" first; a plain one ("-rb": the Trash first) sends none.
TEST_F(StartupTest, StartLaunchesTheGuardAndSendsTheCleanRequestsOfItsSwitches) {
    const std::string prog = MakeProgramFolder(world_, "sentrel");
    const std::string report = world_.Sub("report");
    tw::test::EnvVar var("TW_FAKE_REPORT", report.c_str());
    tw::shell::MessageBus bus, listener;
    ASSERT_TRUE(bus.Connected());
    std::vector<tw::shell::BusMessage> got;
    ASSERT_TRUE(listener.Listen([&](const tw::shell::BusMessage& m) { got.push_back(m); }));

    for (const bool scheduled : {true, false}) {
        SCOPED_TRACE(scheduled ? "-cfsm" : "-rb");
        unlink(report.c_str());
        got.clear();
        Shown shown;
        CStartup s(
            {prog + (scheduled ? "tidewipe -cfsm" : "tidewipe -rb"), prog, "", &bus, shown.Sink()});
        ASSERT_EQ(s.Start(), CStartup::Outcome::Run);
        EXPECT_TRUE(s.guardLaunched);
        EXPECT_TRUE(shown.messages.empty());
        ASSERT_TRUE(tw::test::WaitUntil([&] { return Exists(report); }, 5000));
        EXPECT_EQ(ReadReport(report)["args"], "");  // the guard gets no arguments

        s.InitPrivilegesAndSwitches();
        EXPECT_EQ(s.guardActive, scheduled ? 1u : 0u);
        EXPECT_EQ(s.ShowRecycleBinFirst(), !scheduled);
        ASSERT_TRUE(s.Publish());
        EXPECT_TRUE(CInstanceChecker::InstanceRunning());
        s.BroadcastGuardQueries();
        s.BroadcastCleanRequests();
        // The bus keeps one sender's order: once the test's own message is in, so is
        // everything the start sent before it.
        ASSERT_TRUE(bus.Broadcast(Message::GuardPingMessage, 99));
        ASSERT_TRUE(tw::test::WaitUntil(
            [&] {
                listener.WaitAndProcess(20000);
                return !got.empty() && got.back().id == Message::GuardPingMessage;
            },
            3000));
        got.pop_back();
        ASSERT_EQ(got.size(), scheduled ? 5u : 3u);
        EXPECT_EQ(got[0].id, Message::GuardQueryMessage);
        EXPECT_EQ(got[1].id, Message::GuardQuery2Message);
        EXPECT_EQ(got[2].id, Message::GuardQuery3Message);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(got[i].lparam, 1);
        for (auto& m : got) EXPECT_EQ(m.sender, static_cast<uint64_t>(getpid()));
        if (!scheduled) break;
        EXPECT_EQ(got[3].id, Message::CleanRequestMessage);
        EXPECT_EQ(got[3].lparam, 0x522);  // "-cfs" first
        EXPECT_EQ(got[4].id, Message::CleanRequestMessage);
        EXPECT_EQ(got[4].lparam, 0x521);
    }
}

// ---- the session-bus transport. Looking messages up by name or name string is tested
// through `tidewipe-cli notify` (guard_test), the event-loop integration through the
// panel's bus bridge (ui panel_test); the order of delivery is the bus daemon's, seen in
// guard_test (a reload request before the guard's state).

using BusTest = StartupTest;

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

// Saved settings are announced (lParam 0). The command line changes settings behind the
// guard's back: it must announce them as the panel does, so the guard re-reads them at
// once (lParam 1 after a save, 0 after timed cleaning was switched off).
TEST_F(BusTest, SettingChangesAreAnnouncedFromThePanelAndTheCommandLine) {
    MessageBus bus;
    auto changed = [](const BusMessage& m) { return m.id == Message::SettingsChangedMessage; };
    tw::RegistryStore store(tw::RegistryStore::DefaultPath());
    tw::Settings settings(store);
    settings.logLocation = world_.Logs();
    settings.LoadSettings();
    tw::shell::BroadcastSettingsChanges(settings, bus);
    auto got = tw::shell::WaitForMessage(bus, 3000, changed, [&] { settings.SaveSettings(); });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->lparam, 0);

    tw::test::PrivateLogFolder(tw::RegistryStore::ConfigHome());
    const std::string cli = tw::test::CliPath();
    got = tw::shell::WaitForMessage(bus, 5000, changed, [&] {
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
