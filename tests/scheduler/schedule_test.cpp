// SPDX-License-Identifier: GPL-3.0-or-later
// The schedule record, the next run, the save-time validation and the clean-request
// check, all with a fixed local clock.
#include "scheduler/schedule.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "platform/strings.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw::sched {
namespace {

// A local time with its week day filled in. 2026-12-06 is a Sunday.
SystemTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    SystemTime st{y, mo, 0, d, h, mi, s, ms};
    FileTime ft = 0;
    EXPECT_TRUE(SystemTimeToFileTime(st, &ft));
    EXPECT_TRUE(FileTimeToSystemTime(ft, &st));
    return st;
}

FileTime Ft(const SystemTime& st) {
    FileTime ft = 0;
    SystemTimeToFileTime(st, &ft);
    return ft;
}

ScheduleRecord Days(std::initializer_list<int> days) {
    ScheduleRecord r;
    r.repeatType = kRunOnDays;
    for (int d : days) r.days[d] = 1;
    return r;
}

// Late requests (+29 s / +30 s) are in RequestGateGuards; the panel also takes a request
// a little early, and ignores the date. Some codes skip the schedule altogether.
TEST(RequestCheck, MinuteWindowAndCodesThatSkipTheSchedule) {
    const SystemTime start1511 = At(2026, 12, 6, 10, 15, 11);
    EXPECT_TRUE(TimeMatches(At(2026, 12, 6, 10, 15, 11), At(2026, 12, 6, 10, 15, 40)));
    EXPECT_FALSE(TimeMatches(At(2026, 12, 6, 10, 15, 10), At(2026, 12, 6, 10, 15, 40)));
    EXPECT_FALSE(TimeMatches(At(2026, 12, 6, 11, 15, 11), start1511));
    EXPECT_TRUE(TimeMatches(At(2027, 3, 1, 10, 15, 20), start1511));

    const SystemTime now = At(2026, 12, 6, 10, 15, 40);
    const FileTime off = Ft(At(2026, 12, 6, 18, 0, 0));
    const FileTime on = Ft(At(2026, 12, 6, 10, 15, 11));
    for (uint32_t code : {kRequestForced, kRequestPageStart, kRequestRunNow}) {
        auto c = CheckCleanRequest(code, 0, now, off);
        EXPECT_TRUE(c.enabled && c.matching) << std::hex << code;
    }
    for (uint32_t code : {kRequestScheduled, 0x600u}) {
        auto c = CheckCleanRequest(code, 0, now, on);
        EXPECT_FALSE(c.enabled);
        EXPECT_TRUE(c.matching);
        c = CheckCleanRequest(code, 1, now, off);
        EXPECT_TRUE(c.enabled);
        EXPECT_FALSE(c.matching);
        c = CheckCleanRequest(code, 1, now, on);
        EXPECT_TRUE(c.enabled && c.matching);
    }
}

class ScheduleStore : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        setenv("TIDEWIPE_CONFIG_HOME", dir.Path().c_str(), 1);
        store = std::make_unique<RegistryStore>(dir.Path() + "/registry.db");
        ASSERT_TRUE(store->IsOpen());
        settings = std::make_unique<Settings>(*store);
        settings->SetProgramFolder(dir.Path() + "/");
    }
    uint32_t Stored(const char* name) {
        uint32_t v = 0xDEAD;
        store->ReadDword(ProgramKey(), name, &v);
        return v;
    }
    bool Has(const char* name) {
        uint32_t v;
        return store->ReadDword(ProgramKey(), name, &v);
    }
    std::unique_ptr<CSchedulePageModel> Model() {
        auto m = std::make_unique<CSchedulePageModel>(*settings, [this] { return now; });
        m->hooks.message = [this](std::string_view text, std::string_view caption) {
            messages.push_back(std::string(text));
            EXPECT_EQ(caption, "Tidewipe");
        };
        m->hooks.settingsChanged = [this](int lp) { broadcasts.push_back(lp); };
        return m;
    }
    ScheduleControls Controls(bool today, std::initializer_list<int> days, SystemTime picker) {
        ScheduleControls c;
        c.drives = {"/mnt/a", "/mnt/b"};
        c.tasks.Set(wipe::Task::FreeSpace, true);
        c.tasks.Set(wipe::Task::Shutdown, true);
        c.runTodayOnly = today;
        for (int d : days) c.days[d] = true;
        c.picker = picker;
        return c;
    }

    test::TempDir dir{"sched"};
    std::unique_ptr<RegistryStore> store;
    std::unique_ptr<Settings> settings;
    SystemTime now = At(2026, 12, 6, 10, 0, 0);  // Sunday
    std::vector<std::string> messages;
    std::vector<int> broadcasts;
};

TEST_F(ScheduleStore, LoadCreatesMissingValuesAndRoundTrips) {
    ScheduleRecord r;
    FileTime start = 1;
    EXPECT_TRUE(LoadSchedule(*store, r, &start));
    EXPECT_EQ(start, 0u);
    for (const char* name :
         {"CleanStartTimeLo", "CleanStartTimeHi", "repeatType", "repeatDD", "repeatHH", "repeatMM",
          "repeatDOM", "repeatCount", "repeatForever", "repeatUntilLo", "repeatUntilHi"})
        EXPECT_TRUE(Has(name) && Stored(name) == 0) << name;
    for (const char* name : kDayValueNames) EXPECT_TRUE(Has(name)) << name;

    ScheduleRecord w;
    w.repeatType = 1;  // never produced, but kept
    w.repeatDD = 2;
    w.repeatHH = 3;
    w.repeatMM = 4;
    w.days[2] = w.days[6] = 1;
    w.repeatDOM = 5;
    w.repeatCount = 6;
    w.repeatForever = 7;
    w.repeatUntilLo = 0xFFFFFFFF;
    w.repeatUntilHi = 9;
    const FileTime when = Ft(At(2026, 12, 6, 10, 15, 0));
    SaveSchedule(*store, w, when);  // the start's halves: SaveStoresBothSetsAndArms...
    EXPECT_EQ(Stored("repeatTue"), 1u);
    ScheduleRecord back;
    FileTime backStart = 0;
    LoadSchedule(*store, back, &backStart);
    EXPECT_EQ(backStart, when);
    EXPECT_EQ(0, std::memcmp(&back, &w, sizeof w));
}

TEST_F(ScheduleStore, RepeatTypeSevenIsKeptAndNotRewritten) {
    store->WriteDword(ProgramKey(), "repeatType", 7);
    ScheduleRecord r;
    r.repeatType = kRunOnDays;  // what the page had
    LoadSchedule(*store, r, nullptr);
    EXPECT_EQ(r.repeatType, kRunOnDays);
    EXPECT_EQ(Stored("repeatType"), 7u);  // not written back either
    ScheduleRecord seven;
    seven.repeatType = 7;
    seven.repeatDD = 11;
    SaveSchedule(*store, seven, 0);
    EXPECT_EQ(Stored("repeatType"), 7u);
    EXPECT_EQ(Stored("repeatDD"), 11u);
    // A page that loaded the 7 keeps showing its own type.
    auto m = Model();
    m->record.repeatType = kRunOnDays;
    m->Load();
    EXPECT_EQ(m->record.repeatType, kRunOnDays);
}

TEST_F(ScheduleStore, LiveOnlyWhileActiveAndNotExpired) {
    EXPECT_FALSE(IsScheduleLive(*store, now));
    EXPECT_TRUE(Has("schedulerActive"));  // written back as 0
    EXPECT_EQ(Stored("schedulerActive"), 0u);
    ScheduleRecord once;
    SaveSchedule(*store, once, Ft(At(2026, 12, 6, 10, 15, 0)));
    SetSchedulerActive(*store, 1);
    EXPECT_TRUE(IsScheduleLive(*store, At(2026, 12, 6, 10, 14, 59)));
    EXPECT_TRUE(IsScheduleLive(*store, At(2026, 12, 6, 10, 15, 0)));
    EXPECT_FALSE(IsScheduleLive(*store, At(2026, 12, 6, 10, 15, 1)));
    // A weekly schedule stays live after its start.
    SaveSchedule(*store, Days({1}), Ft(At(2026, 12, 6, 10, 15, 0)));
    EXPECT_TRUE(IsScheduleLive(*store, At(2026, 12, 9, 0, 0, 0)));
    SetSchedulerActive(*store, 0);
    EXPECT_FALSE(IsScheduleLive(*store, At(2026, 12, 6, 10, 0, 0)));
}

// The refusals themselves are the schedule page's (no day: text 122, nothing stored) and
// the CLI's (a one-time start in the past, no drive) in ScheduleCli below. A refused save
// still keeps the drive choices, and the status page's enable refuses with text 539.
TEST_F(ScheduleStore, ARefusedSaveKeepsTheDrivesAndTheStatusPageSaysWhy) {
    auto m = Model();
    EXPECT_FALSE(m->Save(Controls(false, {}, At(2026, 12, 6, 11, 0, 0))));
    EXPECT_EQ(settings->DriveSet(kManualDrives).size(), 2u);
    messages.clear();
    EXPECT_FALSE(m->ApplySchedule(Controls(false, {}, At(2026, 12, 6, 11, 0, 0)), true, false,
                                  false, false));
    EXPECT_EQ(messages.at(0), S<539>);
}

TEST_F(ScheduleStore, RunNowSkipsEveryCheckButTheDrives) {
    auto m = Model();
    // A one-time start in the past, which the save button refuses.
    ScheduleControls c = Controls(true, {}, At(2026, 12, 6, 8, 0, 0));
    EXPECT_TRUE(m->RunNow(c));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(settings->DriveSet(kManualDrives), (std::vector<std::string>{"/mnt/a", "/mnt/b"}));
    EXPECT_TRUE(settings->DriveSet(kScheduledDrives).empty());
    EXPECT_EQ(Stored("schedulerActive"), 0xDEADu);  // timed cleaning not switched on
    EXPECT_FALSE(m->schedulerEnabled);
    EXPECT_EQ(Stored("shutdownafterCFS"), 1u);  // manual set stored too
    EXPECT_EQ(Stored("ScheduledshutdownafterCFS"), 1u);
    // No day ticked for a weekly run: also skipped.
    EXPECT_TRUE(m->RunNow(Controls(false, {}, At(2026, 12, 6, 8, 0, 0))));
    EXPECT_TRUE(messages.empty());
}

TEST_F(ScheduleStore, SaveStoresBothSetsAndArmsTheWeeklyStart) {
    auto m = Model();
    // A guard that cannot start fails the save.
    m->hooks.launchGuard = [] { return false; };
    EXPECT_FALSE(m->Save(Controls(true, {}, At(2026, 12, 6, 11, 0, 0))));
    EXPECT_NE(Stored("schedulerActive"), 1u);
    bool guardStarted = false;
    m->hooks.launchGuard = [&] { return guardStarted = true; };
    // Sunday 10:00, Monday and Sunday at 09:30: today's time has passed -> Monday.
    ASSERT_TRUE(m->Save(Controls(false, {0, 1}, At(2026, 12, 6, 9, 30, 0))));
    EXPECT_TRUE(guardStarted);
    EXPECT_EQ(m->start, Ft(At(2026, 12, 7, 9, 30, 0)));
    // Stored as the local fields encoded without any zone conversion.
    const FileTime stored =
        (static_cast<FileTime>(Stored("CleanStartTimeHi")) << 32) | Stored("CleanStartTimeLo");
    EXPECT_EQ(IsoUtc(stored), "2026-12-07T09:30:00Z");
    EXPECT_EQ(Stored("repeatType"), kRunOnDays);
    EXPECT_EQ(Stored("repeatMon"), 1u);
    EXPECT_EQ(Stored("repeatSun"), 1u);
    EXPECT_EQ(Stored("repeatSat"), 0u);
    EXPECT_EQ(Stored("schedulerActive"), 1u);
    EXPECT_TRUE(m->schedulerEnabled);
    EXPECT_EQ(m->buttonText, S<540>);
    EXPECT_EQ(settings->DriveSet(kScheduledDrives), settings->DriveSet(kManualDrives));
    EXPECT_EQ(Stored("ScheduledCleanFreeSpace"), 1u);
    EXPECT_EQ(Stored("ScheduledDeepClean"), 0u);
    EXPECT_EQ(broadcasts, (std::vector<int>{1, 1}));
    EXPECT_EQ(m->nextCleanText, "Monday Dec 07 2026 @ 09:30:00");
    // The page after a reload shows the same.
    auto again = Model();
    again->Load();
    auto c = again->ControlsFromRecord();
    EXPECT_FALSE(c.runTodayOnly);
    EXPECT_TRUE(c.days[0] && c.days[1] && !c.days[2]);
    EXPECT_EQ(c.picker.hour, 9);
    EXPECT_EQ(c.picker.minute, 30);
    EXPECT_EQ(c.drives.size(), 2u);
    EXPECT_TRUE(c.tasks[wipe::Task::Shutdown]);
    // A guard known to run is not started again.
    m->hooks.launchGuard = [] { return false; };
    m->guardRunning = true;
    EXPECT_TRUE(m->Save(Controls(true, {}, At(2026, 12, 6, 11, 0, 0))));
}

TEST_F(ScheduleStore, NextCleanText) {
    ScheduleRecord once;
    const FileTime at1015 = Ft(At(2026, 12, 6, 10, 15, 0));
    auto t = MakeNextCleanText(once, at1015, now);
    EXPECT_EQ(t.text, "Sunday Dec 06 2026 @ 10:15:00");
    EXPECT_FALSE(t.off);
    // A passed one-time start: nothing scheduled, the scheduler counts as off.
    t = MakeNextCleanText(once, at1015, At(2026, 12, 6, 10, 15, 1));
    EXPECT_EQ(t.text, S<369>);
    EXPECT_TRUE(t.off);
    // Mondays at 09:00 seen on Monday at 10:00 is the schedule page's. Mondays at 11:00, now Monday
    // 10:00 but the stored start a week old: today.
    t = MakeNextCleanText(Days({1}), Ft(At(2026, 11, 30, 11, 0, 0)), At(2026, 12, 7, 10, 0, 0));
    EXPECT_EQ(t.text, "Monday Dec 07 2026 @ 11:00:00");

    // The model refreshes the status when a one-time start has passed.
    auto m = Model();
    int refreshed = 0;
    m->hooks.refreshStatus = [&] { ++refreshed; };
    m->start = at1015;
    now = At(2026, 12, 6, 11, 0, 0);
    EXPECT_EQ(m->RefreshNextCleanText(), S<369>);
    EXPECT_EQ(refreshed, 1);
}

TEST_F(ScheduleStore, RequestGateGuards) {
    ScheduleRecord once;
    SaveSchedule(*store, once, Ft(At(2026, 12, 6, 10, 15, 11)));
    now = At(2026, 12, 6, 10, 15, 40);
    bool loaded = false, busy = false;
    std::vector<uint32_t> runs;
    std::unique_ptr<CCleanRequestGate> gate;
    RequestOutcome inner = RequestOutcome::Started;
    CCleanRequestGate::Host host;
    host.settingsLoaded = [&] { return loaded; };
    host.busy = [&] { return busy; };
    host.run = [&](uint32_t code) {
        runs.push_back(code);
        // A second request while this one runs (e.g. "-cfsm" sends 0x522 then 0x521).
        inner = gate->OnCleanRequest(kRequestForced);
    };
    gate = std::make_unique<CCleanRequestGate>(*store, host, [this] { return now; });

    EXPECT_EQ(gate->OnCleanRequest(kRequestScheduled), RequestOutcome::SettingsNotLoaded);
    loaded = true;
    EXPECT_EQ(gate->OnCleanRequest(kRequestScheduled), RequestOutcome::NotEnabled);
    SetSchedulerActive(*store, 1);  // read afresh at every request
    busy = true;
    EXPECT_EQ(gate->OnCleanRequest(kRequestScheduled), RequestOutcome::Busy);
    busy = false;
    EXPECT_EQ(gate->OnCleanRequest(kRequestScheduled), RequestOutcome::Started);
    EXPECT_EQ(inner, RequestOutcome::AlreadyServing);
    EXPECT_FALSE(gate->Serving());
    now = At(2026, 12, 6, 10, 15, 41);  // difference 30
    EXPECT_EQ(gate->OnCleanRequest(kRequestScheduled), RequestOutcome::TimeMismatch);
    SetSchedulerActive(*store, 0);
    EXPECT_EQ(gate->OnCleanRequest(kRequestRunNow), RequestOutcome::Started);
    EXPECT_EQ(runs, (std::vector<uint32_t>{kRequestScheduled, kRequestRunNow}));
}

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
}  // namespace tw::sched
