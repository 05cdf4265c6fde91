// SPDX-License-Identifier: GPL-3.0-or-later
// clean: the drive clean-up run, as the clean-up page runs it for "Run Clean-up NOW!"
// (the manual set) and for a forced timed clean (the scheduled set).
//
// While it runs: p or the space bar (on a terminal), or SIGTSTP (Ctrl-Z, kill -TSTP),
// pauses at the next file; the same key, or SIGCONT, resumes. Ctrl-C aborts after the
// current file. The shutdown countdown is printed on stderr; any key or Ctrl-C cancels.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iostream>
#include <thread>

#include "cleanup/cleanup_run.h"
#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "platform/format.h"
#include "platform/operation.h"
#include "platform/strings.h"
#include "wipe/free_space.h"
#include "wipe/swap_wipe.h"

namespace tw::cli {
namespace {

std::atomic<int> g_pause{0};

void OnStop(int) { g_pause.store(1); }
void OnContinue(int) { g_pause.store(0); }

// SIGTSTP pauses instead of stopping the process; SIGCONT resumes. The old handlers
// come back when the object goes.
class PauseSignals {
  public:
    PauseSignals() {
        struct sigaction sa {};
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = OnStop;
        sigaction(SIGTSTP, &sa, &oldStop_);
        sa.sa_handler = OnContinue;
        sigaction(SIGCONT, &sa, &oldCont_);
    }
    ~PauseSignals() {
        sigaction(SIGTSTP, &oldStop_, nullptr);
        sigaction(SIGCONT, &oldCont_, nullptr);
    }

  private:
    struct sigaction oldStop_ {
    }, oldCont_{};
};

// Single keys from the terminal without echo (signals still work: Ctrl-C stays
// SIGINT). A thread reads them: during the run a key toggles the pause, during the
// countdown it cancels.
class KeyReader {
  public:
    KeyReader() : tty_(isatty(STDIN_FILENO) != 0) {
        if (!tty_) return;
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) {
            tty_ = false;
            return;
        }
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        thread_ = std::thread([this] { Loop(); });
    }
    ~KeyReader() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        if (tty_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    bool Tty() const { return tty_; }
    void CountdownMode(bool on) {
        cancel_.store(false);
        countdown_.store(on);
    }
    bool CancelPressed() const { return cancel_.load(); }

  private:
    void Loop() {
        while (!stop_.load()) {
            pollfd p{STDIN_FILENO, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char c = 0;
            if (read(STDIN_FILENO, &c, 1) != 1) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            if (countdown_.load())
                cancel_.store(true);
            else if (c == 'p' || c == 'P' || c == ' ')
                g_pause.store(g_pause.load() ? 0 : 1);
        }
    }

    bool tty_;
    termios saved_{};
    std::thread thread_;
    std::atomic<bool> stop_{false}, countdown_{false}, cancel_{false};
};

// Carries the pause that the keys and the signals ask for (g_pause) into the run's
// operation: a signal handler may only store a flag, and the operation's pause takes a
// lock. The text shows at once; the run puts its own back at the next file.
class PauseFollower {
  public:
    explicit PauseFollower(Operation& op) : op_(op), thread_([this] { Loop(); }) {}
    ~PauseFollower() {
        quit_.store(true);
        thread_.join();
    }

  private:
    void Loop() {
        bool paused = false;
        while (!quit_.load()) {
            const bool want = g_pause.load() != 0;
            if (want != paused) {
                paused = want;
                op_.Pause(want);
                if (want) op_.Status(S<150>);  // "Operation Paused. Click Resume to continue."
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        op_.Pause(false);
    }

    Operation& op_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

std::string TaskList(const wipe::TaskSet& set) {
    std::string s;
    for (const auto& info : wipe::kTasks)
        if (set[info.task]) s += (s.empty() ? "" : ", ") + std::string(info.cliName);
    return s.empty() ? "(none)" : s;
}

nlohmann::json PlanJson(const wipe::CleanupPlan& plan, int passes) {
    nlohmann::json drives = nlohmann::json::array();
    for (const auto& d : plan.drives) {
        nlohmann::json j = nlohmann::json::object();
        JsonName(j, "drive", d.text);
        if (!d.refusal.empty()) j["refused"] = d.refusal;
        if (d.info) {
            j["fsType"] = d.info->fsType;
            if (auto f = FactsForPath(d.info->mountPoint); f.ok()) {
                const nlohmann::json c = CaveatJson(*f);
                j["caveats"] = c["caveats"];
                j["caveat"] = c["caveat"];
                j["caveatLine"] = VolumeCaveatLine(*f);
            }
        }
        if (plan.tasks[wipe::Task::FreeSpace] && d.refusal.empty()) {
            const wipe::FreeSpacePlan fp = wipe::PlanFreeSpace(d.text, passes);
            j["freeSpace"] = {{"freeBytes", fp.freeBytes},
                              {"plannedBytes", fp.PlannedBytes()},
                              {"files", fp.fileCount}};
            if (!fp.refusal.empty()) j["freeSpace"]["refused"] = fp.refusal;
            if (fp.leftoverPresent) j["freeSpace"]["leftoverFolder"] = true;
        }
        drives.push_back(j);
    }
    nlohmann::json tasks = nlohmann::json::array();
    for (const auto& info : wipe::kTasks)
        if (plan.tasks[info.task]) tasks.push_back(info.cliName);
    nlohmann::json j{
        {"tasks", tasks}, {"plan", plan.planText}, {"passes", passes}, {"drives", drives}};
    if (!plan.notStartedReason.empty()) j["notStarted"] = plan.notStartedReason;
    if (!plan.powerOffCommand.empty()) j["powerOffCommand"] = plan.powerOffCommand;
    if (plan.tasks[wipe::Task::Swap]) {
        wipe::CSwapWiper swap;
        const wipe::SwapWipeReport sp = swap.Plan();
        nlohmann::json areas = nlohmann::json::array();
        for (const auto& a : sp.areas) {
            nlohmann::json aj = nlohmann::json::object();
            JsonName(aj, "path", a.path);
            if (!a.reason.empty()) aj["skipped"] = a.reason;
            areas.push_back(aj);
        }
        j["swap"] = {{"areas", areas}};
        if (!sp.skipReason.empty()) j["swap"]["skipped"] = sp.skipReason;
    }
    return j;
}

void PrintPlan(const nlohmann::json& j) {
    std::cout << "Tasks: ";
    std::string names;
    for (const auto& t : j["tasks"]) names += (names.empty() ? "" : ", ") + t.get<std::string>();
    std::cout << (names.empty() ? "(none)" : names) << "\n";
    if (!j["plan"].get<std::string>().empty())
        std::cout << "Plan: " << j["plan"].get<std::string>() << "\n";
    std::cout << "Passes: " << j["passes"] << "\n";
    std::cout << "Drives:" << (j["drives"].empty() ? " (none)" : "") << "\n";
    for (const auto& d : j["drives"]) {
        // Names from the mount table: through Printable, like every name shown.
        Out("  " + d["drive"].get<std::string>() +
            (d.contains("refused") ? "  refused: " + d["refused"].get<std::string>() : ""));
        if (d.contains("caveatLine")) Out("    " + d["caveatLine"].get<std::string>());
        if (d.contains("freeSpace")) {
            const auto& f = d["freeSpace"];
            std::cout << "    free space: " << FormatSize(f["freeBytes"].get<uint64_t>(), "%2.2f")
                      << " to fill, " << FormatSize(f["plannedBytes"].get<uint64_t>(), "%2.2f")
                      << " to write";
            if (f.contains("refused"))
                std::cout << "  refused: " << Printable(f["refused"].get<std::string>());
            if (f.contains("leftoverFolder"))
                std::cout << "  (a temporary folder of an earlier clean is present: nothing "
                             "will be written)";
            std::cout << "\n";
        }
    }
    if (j.contains("swap")) {
        const auto& s = j["swap"];
        std::cout << "Swap:";
        if (s.contains("skipped"))
            std::cout << " skipped: " << Printable(s["skipped"].get<std::string>());
        std::cout << "\n";
        for (const auto& a : s["areas"])
            Out("  " + a["path"].get<std::string>() +
                (a.contains("skipped") ? "  skipped: " + a["skipped"].get<std::string>() : ""));
    }
    if (j.contains("powerOffCommand"))
        std::cout << "Then: a 30-second countdown and '" << j["powerOffCommand"].get<std::string>()
                  << "'\n";
    if (j.contains("notStarted")) Out("Not started: " + j["notStarted"].get<std::string>());
}

struct CleanOptions {
    bool manual = false, scheduled = false, json = false, noTrim = false;
    std::vector<std::string> drives, tasks;
    DestructiveOptions destructive;
};

void RunClean(Env& env, CleanOptions& o) {
    wipe::CCleanupRun run(env.GetSettings());
    run.trimAfterFreeSpace = !o.noTrim;

    wipe::CleanupRequest request;
    request.scheduled = o.scheduled;
    if (!o.tasks.empty()) {
        request.tasks.emplace();
        for (const auto& name : o.tasks) {
            wipe::Task t;
            if (!wipe::TaskFromCliName(name, &t)) {
                PrintError("unknown task '" + name + "'; the tasks are: " + wipe::CliTaskNames());
                env.Fail(kUsage);
                return;
            }
            request.tasks->Set(t, true);
        }
    }
    if (!o.drives.empty()) {
        request.drives.emplace();
        for (const auto& d : o.drives) {
            auto info = wipe::DriveByMountPoint(d);
            if (!info) {
                PrintError("'" + d + "' is not the mount point of a mounted file system");
                env.Fail(kUsage);
                return;
            }
            request.drives->push_back(info->mountPoint);
        }
    }
    const uint32_t code = wipe::SetUpRun(run, request);

    const wipe::CleanupPlan plan = run.Plan(code);
    const nlohmann::json planJson = PlanJson(plan, run.passCount);
    if (o.destructive.dryRun) {
        if (o.json)
            PrintJson(planJson);
        else
            PrintPlan(planJson);
        if (!plan.notStartedReason.empty()) env.Fail(kRefused);
        // A drive the plan refuses makes the real run fail: so does its dry run.
        for (const auto& d : plan.drives)
            if (!d.refusal.empty()) env.Fail(kFailed);
        return;
    }
    if (!plan.notStartedReason.empty()) {
        PrintError("the clean-up does not start: " + plan.notStartedReason);
        env.Fail(kRefused);
        return;
    }
    if (!o.json) PrintPlan(planJson);
    if (!Confirm("Clean these drives?", o.destructive)) {
        env.Fail(kRefused);
        return;
    }

    CommandOperation progress(env.Log());
    Operation& op = progress.Op();
    g_pause.store(0);
    PauseSignals signals;
    KeyReader keys;
    if (keys.Tty() && !o.json)
        Note("p or space: pause/resume; Ctrl-C: abort after the current file");

    run.hooks.driveStarted = [&progress](const wipe::CleanupDrive& d) {
        progress.Finish();
        Note("Cleaning drive " + d.text);
    };
    wipe::CleanupSummary s;
    {
        PauseFollower follower(op);
        s = run.Start(op, code);
    }
    progress.Finish();
    for (const auto& d : s.drives)
        if (d.freeSpaceFailure != wipe::FreeSpaceFailure::None)
            PrintError(std::string(wipe::FreeSpaceFailureText(d.freeSpaceFailure)));
    // Ctrl-C during the countdown stops the (finished) operation: that cancels it.
    run.Shutdown(s, [&keys, &op](wipe::CProceedCancelDialog& dialog) {
        const bool tty = isatty(STDERR_FILENO) != 0;
        keys.CountdownMode(true);
        const bool proceed = wipe::RunCountdown(
            dialog,
            [&keys, tty](const wipe::CProceedCancelDialog& d) {
                // On a terminal one line counts down in place; elsewhere (a log) the
                // first line and every tenth second are enough.
                if (tty) {
                    std::fprintf(stderr, "\r\033[K%s  [%s: %s]", d.StaticText().c_str(),
                                 d.cancelText.c_str(), keys.Tty() ? "any key or Ctrl-C" : "Ctrl-C");
                } else if (d.seconds % 10 == 0 && d.seconds > 0) {
                    std::fprintf(stderr, "%s\n", d.StaticText().c_str());
                }
                std::fflush(stderr);
            },
            [&keys, &op](int ms) {
                for (int waited = 0; waited < ms; waited += 50) {
                    if (keys.CancelPressed() || op.Stopped()) return true;
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
                return false;
            });
        if (tty) std::fprintf(stderr, "\n");
        keys.CountdownMode(false);
        return proceed;
    });

    if (!s.started) {
        PrintError("the clean-up did not start: " + s.notStartedReason);
        env.Fail(kRefused);
        return;
    }
    bool failed = s.aborted;
    nlohmann::json drives = nlohmann::json::array();
    for (const auto& d : s.drives) {
        if (!d.refusal.empty()) failed = true;
        if (d.freeSpaceResult == -1) failed = true;
        nlohmann::json j{{"aborted", d.aborted}};
        JsonName(j, "drive", d.drive);
        if (!d.refusal.empty()) j["refused"] = d.refusal;
        if (d.freeSpaceResult != -2) j["freeSpacePasses"] = d.freeSpaceResult;
        nlohmann::json ran = nlohmann::json::array(), aborted = nlohmann::json::array();
        for (const auto& info : wipe::kTasks) {
            if (d.ran[static_cast<size_t>(info.task)]) ran.push_back(info.cliName);
            if (d.taskAborted[static_cast<size_t>(info.task)]) aborted.push_back(info.cliName);
        }
        j["ran"] = ran;
        j["abortedTasks"] = aborted;
        j["skipped"] = d.skipped;
        drives.push_back(j);
    }
    if (o.json) {
        PrintJson({{"tasks", TaskList(s.tasks)},
                   {"drives", drives},
                   {"aborted", s.aborted},
                   {"countdownShown", s.countdownShown},
                   {"shutdownProceeded", s.shutdownProceeded},
                   {"powerOffStatus", s.powerOffStatus}});
    } else {
        for (const auto& d : drives) {
            const std::string drive = d["drive"].get<std::string>();
            if (d.contains("refused")) {
                Out(drive + ": not cleaned (" + d["refused"].get<std::string>() + ")");
                continue;
            }
            std::string ran;
            for (const auto& t : d["ran"]) ran += (ran.empty() ? "" : ", ") + t.get<std::string>();
            Out(drive + ": " + (ran.empty() ? "nothing ran" : ran) +
                (d["aborted"].get<bool>() ? " (aborted)" : ""));
            for (const auto& line : d["skipped"]) Out("  " + line.get<std::string>());
        }
        if (s.aborted) std::cout << "The clean-up was aborted.\n";
        if (s.countdownShown && !s.shutdownProceeded) std::cout << "Shutdown cancelled.\n";
    }
    if (s.shutdownProceeded && s.powerOffStatus != 0) {
        PrintError("the power-off command failed (status " + std::to_string(s.powerOffStatus) +
                   ")");
        failed = true;
    }
    if (failed) env.Fail(kFailed);
}

void RegisterClean(CLI::App& app, Env& env) {
    static CleanOptions o;
    auto* cmd = app.add_subcommand(
        "clean",
        "Run the drive clean-up: the chosen tasks on each chosen drive. Without --drive and "
        "--task the stored set is used (manual: the cfs drives; --scheduled: the sch drives).\n"
        "Tasks: " +
            wipe::CliTaskNames() +
            "\nWhile it runs: p/space or SIGTSTP pauses at the next file, again or SIGCONT "
            "resumes; Ctrl-C aborts after the current file. The shutdown task powers off with "
            "$TIDEWIPE_POWEROFF_COMMAND (default: systemctl poweroff) after a 30-second "
            "countdown that any key or Ctrl-C cancels.");
    auto* manual = cmd->add_flag("--manual", o.manual, "The manual task set and drives (default)");
    auto* scheduled =
        cmd->add_flag("--scheduled", o.scheduled, "The scheduled task set and drives, at once");
    manual->excludes(scheduled);
    cmd->add_option("--drive", o.drives, "Mount point of a drive to clean (repeatable)");
    cmd->add_option("--task", o.tasks, "A task to run (repeatable): " + wipe::CliTaskNames());
    cmd->add_flag("--json", o.json, "Print the plan (--dry-run) or the outcome as JSON");
    cmd->add_flag("--no-trim", o.noTrim,
                  "Do not trim the freed space after the free space task (by default it is "
                  "trimmed where the device takes discards; setting TrimAfterFreeSpace)");
    AddDestructiveOptions(cmd, o.destructive);
    cmd->callback([&env] { RunClean(env, o); });
}

CommandRegistrar reg(RegisterClean);

}  // namespace
}  // namespace tw::cli
