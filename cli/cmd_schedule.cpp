// SPDX-License-Identifier: GPL-3.0-or-later
// schedule show|set|enable|disable: the timed clean, as the schedule page and the
// status page's tile handle it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>

#include "cli/cli.h"
#include "platform/strings.h"
#include "scheduler/schedule.h"

namespace tw::cli {
namespace {

const char* const kDayCliNames[7] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
const char* const kDayBoxTexts[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// "HH:MM" or "HH:MM:SS" into the picker's time fields.
bool ParseTime(const std::string& text, SystemTime* t) {
    int h = -1, m = -1, s = 0;
    char tail = 0;
    const int n = std::sscanf(text.c_str(), "%d:%d:%d%c", &h, &m, &s, &tail);
    if (n == 2) {
        if (std::sscanf(text.c_str(), "%d:%d%c", &h, &m, &tail) != 2) return false;
        s = 0;
    } else if (n != 3) {
        return false;
    }
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return false;
    t->hour = h;
    t->minute = m;
    t->second = s;
    t->milliseconds = 0;
    return true;
}

std::string LocalText(FileTime ft) {
    SystemTime st;
    if (!FileTimeToSystemTime(ft, &st)) return "";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", st.year, st.month, st.day,
                  st.hour, st.minute, st.second);
    return buf;
}

// Turns --drive and --task options into the page's controls; false after a usage error.
bool ApplyOptions(const std::vector<std::string>& drives, const std::vector<std::string>& tasks,
                  sched::ScheduleControls& controls, Env& env) {
    if (!drives.empty()) {
        controls.drives.clear();
        for (const auto& d : drives) {
            auto info = wipe::DriveByMountPoint(d);
            if (!info) {
                PrintError("'" + d + "' is not the mount point of a mounted file system");
                env.Fail(kUsage);
                return false;
            }
            if (std::find(controls.drives.begin(), controls.drives.end(), info->mountPoint) ==
                controls.drives.end())
                controls.drives.push_back(info->mountPoint);
        }
    }
    if (!tasks.empty()) {
        controls.tasks = wipe::TaskSet{};
        for (const auto& name : tasks) {
            wipe::Task t;
            if (!wipe::TaskFromCliName(Lower(name), &t)) {
                PrintError("unknown task '" + name + "'; the tasks are: " + wipe::CliTaskNames());
                env.Fail(kUsage);
                return false;
            }
            controls.tasks.Set(t, true);
        }
    }
    return true;
}

// Message boxes become errors on stderr and the refused exit status.
void RouteMessages(sched::CSchedulePageModel& model, Env& env) {
    model.hooks.message = [&env](std::string_view text, std::string_view) {
        PrintError(std::string(text));
        env.Fail(kRefused);
    };
    model.hooks.settingsChanged = [](int lParam) { AnnounceSettingsChanged(lParam); };
}

void NoteGuard() {
    Note(
        "note: the schedule fires only while the resident guard runs; 'tidewipe-cli guard status' "
        "tells, 'tidewipe-cli guard start' starts it");
}

void Show(Env& env, bool json) {
    Settings& settings = env.GetSettings();
    sched::CSchedulePageModel model(settings);
    model.Load();
    uint32_t storedType = 0;
    env.Store().ReadDword(ProgramKey(), "repeatType", &storedType);
    const uint32_t active = sched::SchedulerActive(env.Store());
    const bool live = sched::IsScheduleLive(env.Store(), GetLocalTime());
    const auto next = sched::MakeNextCleanText(model.record, model.start, GetLocalTime());
    const wipe::TaskSet tasks = wipe::LoadTaskSet(settings, true);
    const std::vector<std::string> drives = settings.DriveSet(kScheduledDrives);
    const auto& r = model.record;

    if (json) {
        nlohmann::json days = nlohmann::json::array(), taskNames = nlohmann::json::array();
        for (int d = 0; d < 7; ++d)
            if (r.days[d]) days.push_back(kDayCliNames[d]);
        for (const auto& info : wipe::kTasks)
            if (tasks[info.task]) taskNames.push_back(info.cliName);
        nlohmann::json j{
            {"active", active != 0},
            {"live", live},
            {"expired", next.off},
            {"repeatType", r.repeatType},
            {"storedRepeatType", storedType},
            {"days", days},
            {"start", LocalText(model.start)},
            {"startLo", static_cast<uint32_t>(model.start & 0xFFFFFFFFu)},
            {"startHi", static_cast<uint32_t>(model.start >> 32)},
            {"nextRun", next.text},
            {"tasks", taskNames},
            {"drives", drives},
            {"record",
             {{"repeatDD", r.repeatDD},
              {"repeatHH", r.repeatHH},
              {"repeatMM", r.repeatMM},
              {"repeatDOM", r.repeatDOM},
              {"repeatCount", r.repeatCount},
              {"repeatForever", r.repeatForever},
              {"repeatUntilLo", r.repeatUntilLo},
              {"repeatUntilHi", r.repeatUntilHi}}},
        };
        PrintJson(j);
        return;
    }
    std::cout << "Timed cleaning: " << (active ? "enabled" : "disabled")
              << (active && !live ? " (the one-time start has passed)" : "") << "\n";
    if (r.repeatType == sched::kRunOnce) {
        std::cout << "Repeat: Run today only\n";
    } else {
        std::cout << "Repeat: Run on these days:";
        bool any = false;
        for (int d = 0; d < 7; ++d)
            if (r.days[d]) {
                std::cout << " " << kDayBoxTexts[d];
                any = true;
            }
        std::cout << (any ? "" : " (none)") << "\n";
    }
    if (storedType != r.repeatType)
        std::cout << "Stored repeatType: " << storedType << " (not used)\n";
    std::cout << "Start: " << LocalText(model.start) << " (local time)\n";
    std::cout << S<484> << ": " << next.text << "\n";
    std::cout << "Tasks:";
    if (!tasks.Any()) std::cout << " (none)";
    std::cout << "\n";
    for (const auto& info : wipe::kTasks)
        if (tasks[info.task])
            std::cout << "  " << Text(info.rowTextId) << " (" << info.cliName << ")\n";
    std::cout << "Drives:";
    if (drives.empty()) std::cout << " (none)";
    std::cout << "\n";
    for (const auto& d : drives) std::cout << "  " << Printable(d) << "\n";
}

void RegisterSchedule(CLI::App& app, Env& env) {
    auto* schedule = app.add_subcommand("schedule", "Show and set the timed clean");
    schedule->require_subcommand(1);

    static bool json = false;
    auto* show = schedule->add_subcommand(
        "show", "Print the schedule: active state, repeat, start, next run, tasks and drives");
    show->add_flag("--json", json, "Print JSON");
    show->callback([&env] { Show(env, json); });

    static bool today = false;
    static std::vector<std::string> days, tasks, drives;
    static std::string time;
    auto* set = schedule->add_subcommand(
        "set",
        "Save the schedule and switch timed cleaning on, as the schedule page's save button "
        "does: the drives and tasks become both the scheduled and the manual set. Without "
        "--task or --drive the stored scheduled ones are kept.\nTasks: " +
            wipe::CliTaskNames());
    auto* todayOpt = set->add_flag("--today", today, "Run once, today");
    auto* daysOpt = set->add_option("--days", days, "Run every week on these days: sun,mon,...,sat")
                        ->delimiter(',');
    todayOpt->excludes(daysOpt);
    set->add_option("--time", time, "Time of day, HH:MM or HH:MM:SS (local time)")->required();
    set->add_option("--task", tasks, "A task to run (repeatable): " + wipe::CliTaskNames());
    set->add_option("--drive", drives, "Mount point of a drive to clean (repeatable)");
    set->callback([&env] {
        if (!today && days.empty()) {
            PrintError("choose --today or --days");
            env.Fail(kUsage);
            return;
        }
        sched::CSchedulePageModel model(env.GetSettings());
        model.Load();
        sched::ScheduleControls controls = model.ControlsFromRecord();
        if (!ParseTime(time, &controls.picker)) {
            PrintError("--time must be HH:MM or HH:MM:SS, got '" + time + "'");
            env.Fail(kUsage);
            return;
        }
        controls.runTodayOnly = today;
        if (!today) {
            controls.days = {};
            for (const auto& d : days) {
                auto it = std::find(std::begin(kDayCliNames), std::end(kDayCliNames), Lower(d));
                if (it == std::end(kDayCliNames)) {
                    PrintError("unknown day '" + d + "'; use sun, mon, tue, wed, thu, fri, sat");
                    env.Fail(kUsage);
                    return;
                }
                controls.days[it - std::begin(kDayCliNames)] = true;
            }
        }
        if (!ApplyOptions(drives, tasks, controls, env)) return;
        RouteMessages(model, env);
        if (!model.Save(controls)) return;
        std::cout << S<484> << ": " << model.nextCleanText << "\n";
        NoteGuard();
    });

    schedule
        ->add_subcommand("enable",
                         "Switch timed cleaning on with the stored schedule (refused when it "
                         "cannot fire)")
        ->callback([&env] {
            sched::CSchedulePageModel model(env.GetSettings());
            model.Load();
            RouteMessages(model, env);
            if (!model.EnableFromStatusPage()) return;
            std::cout << S<484> << ": " << model.nextCleanText << "\n";
            NoteGuard();
        });

    schedule->add_subcommand("disable", "Switch timed cleaning off")->callback([&env] {
        sched::CSchedulePageModel model(env.GetSettings());
        model.Load();
        RouteMessages(model, env);
        model.Disable();
    });
}

CommandRegistrar reg(RegisterSchedule);

}  // namespace
}  // namespace tw::cli
