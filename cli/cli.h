// SPDX-License-Identifier: GPL-3.0-or-later
// The frame every tidewipe-cli command is built on: registration, exit codes, errors,
// confirmation, the terminal progress line and JSON output.
#pragma once

#include <signal.h>

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "log/activity_log.h"
#include "platform/operation.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/messages.h"
#include "wipe/receipt.h"

namespace tw::cli {

// Exit status of the program.
enum Exit : int {
    kOk = 0,       // success
    kFailed = 1,   // the operation failed or partly failed
    kUsage = 2,    // usage error
    kRefused = 3,  // refused: unsupported file system, unsafe target, missing permission
};

// Shared state of one run of the program. Commands reach the settings and the log
// through it and report their exit status in `exit`.
class Env {
  public:
    int exit = kOk;

    RegistryStore& Store();
    // Settings loaded once (missing values created, log folder resolved).
    Settings& GetSettings();
    // The log writer when activity logging is on (SaveToLogfile = 1), else null.
    log::CActivityLogFile* Log();
    // The log writer regardless of the switch (for `log` commands).
    log::CActivityLogFile& LogWriter();
    // The NumOverwrites setting, kept between 1 and 7.
    int DefaultPasses();

    // Sets the exit status to the worst seen so far.
    void Fail(int code) {
        if (code > exit) exit = code;
    }

  private:
    std::unique_ptr<RegistryStore> store_;
    std::unique_ptr<Settings> settings_;
    std::unique_ptr<shell::MessageBus> bus_;  // before log_: its notifier uses the bus
    std::unique_ptr<log::CActivityLogFile> log_;
};

// A command file registers its commands once at start-up:
//   static tw::cli::CommandRegistrar reg([](CLI::App& app, tw::cli::Env& env) { ... });
class CommandRegistrar {
  public:
    using Fn = std::function<void(CLI::App&, Env&)>;
    explicit CommandRegistrar(Fn fn);
    static void RegisterAll(CLI::App& app, Env& env);
};

// "tidewipe-cli: <message>" on stderr (through Printable).
void PrintError(const std::string& message);
// A plain line on stderr (progress notes, plans), through Printable.
void Note(const std::string& message);
// A result line on stdout, through Printable.
void Out(const std::string& line);

// Options every destructive command takes.
struct DestructiveOptions {
    bool yes = false;
    bool dryRun = false;
};
void AddDestructiveOptions(CLI::App* cmd, DestructiveOptions& opts);

// --report FILE: where the command writes its erasure receipt (wipe/receipt.h).
void AddReportOption(CLI::App* cmd, std::string& file);
// --verify: read the last pass back from the disk and fail on a difference.
void AddVerifyOption(CLI::App* cmd, bool& verify);
// Ends `r` now and writes it to `file` (nothing when `file` is empty); a receipt that
// cannot be written is an error of the run (exit 1).
void SaveReceipt(wipe::Receipt& r, const std::string& file, Env& env);

// Asks "<question> [y/N]" on the terminal. Without a terminal the answer is no unless
// --yes was given; the refusal is explained on stderr.
bool Confirm(const std::string& question, const DestructiveOptions& opts);

// Prints JSON (two-space indent) on stdout. Strings that are not UTF-8 never make the
// output fail: put names through JsonName first; anything else left invalid becomes U+FFFD.
void PrintJson(const nlohmann::json& j);

// Text for the terminal: control characters and bytes that are not UTF-8 are written as
// escapes (\n, \t, \033, \377 ...), as `ls -b` does, so that a crafted file name from a
// disk, the Trash or the log can neither split a line nor send escape sequences.
// Printable UTF-8 (accents, CJK) is kept as it is.
std::string Printable(std::string_view text);

// A name in JSON output: obj[key] is the name with every byte that is not UTF-8 written as
// "\xNN" (valid JSON, readable); when there was such a byte, obj[key + "_bytes"] holds the
// exact bytes as lower-case hex, so a script can still name the file.
void JsonName(nlohmann::json& obj, const std::string& key, std::string_view name);

// Tells the suite's running programs (the guard, a control panel) that the stored
// settings changed, so they re-read them now instead of at their next periodic read.
// lParam as the panel sends it: 1 after a save, 0 after timed cleaning was switched off.
// Quietly does nothing when this user has no session bus.
void AnnounceSettingsChanged(int lParam);

// The progress line on stderr: a bar, the status text and the time-remaining text;
// silent when stderr is not a terminal. Its operation throttles what reaches it.
class TerminalProgress : public ProgressSink {
  public:
    TerminalProgress();
    ~TerminalProgress() override;
    void SetRange(Bar bar, int64_t low, int64_t high) override;
    void SetPos(Bar bar, int64_t pos) override;
    void SetText(Slot slot, std::string_view text) override;
    // Clears the line (before printing results).
    void Finish();

  private:
    void Draw();
    bool tty_;
    int64_t low_[2] = {0, 0}, high_[2] = {0, 0}, pos_[2] = {0, 0};
    std::string status_, timeText_;
    bool drawn_ = false;
};

// The operation of one command: the terminal progress line, the log writer (may be
// null) and Ctrl-C. While it lives, SIGINT and SIGTERM store into its stop flag (the
// operation finishes its current piece and stops); a second one ends the process.
class CommandOperation {
  public:
    explicit CommandOperation(log::CActivityLogFile* log = nullptr);
    ~CommandOperation();
    CommandOperation(const CommandOperation&) = delete;
    CommandOperation& operator=(const CommandOperation&) = delete;

    Operation& Op() { return op_; }
    bool Stopped() const { return op_.Stopped(); }
    // Delivers what the throttle holds and clears the line (before printing results).
    void Finish();

  private:
    TerminalProgress progress_;  // before op_: the operation flushes into it as it goes
    Operation op_;
    std::atomic<int>* previous_;
    struct sigaction oldInt_ {
    }, oldTerm_{};
};

}  // namespace tw::cli
