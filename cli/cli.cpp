// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "platform/utf8.h"
#include "shell/messages.h"

namespace tw::cli {

RegistryStore& Env::Store() {
    if (!store_) {
        store_ = std::make_unique<RegistryStore>(RegistryStore::DefaultPath());
    }
    // Going on with defaults would wipe with the wrong pass count and log elsewhere, and
    // the first write would bury the user's settings: stop before the command acts. The
    // exception ends the run in main() with exit status 1.
    if (!store_->IsOpen())
        throw std::runtime_error("the settings store " + store_->Path() +
                                 " cannot be used: " + store_->OpenError() +
                                 ". It was left as it is; repair or move it away (a missing "
                                 "store is created afresh with the default settings).");
    return *store_;
}

Settings& Env::GetSettings() {
    if (!settings_) {
        settings_ = std::make_unique<Settings>(Store());
        settings_->LoadSettings();
        if (const std::string& gone = settings_->ReplacedLogLocation(); !gone.empty())
            Note("the log folder " + gone + " is not there any more; the log now goes to " +
                 settings_->LogFolder());
    }
    return *settings_;
}

log::CActivityLogFile& Env::LogWriter() {
    if (!log_) {
        log_ = std::make_unique<log::CActivityLogFile>();
        log_->SetFolder(GetSettings().LogFolder());
        // A control panel following today's log shows the line as soon as it is written.
        bus_ = std::make_unique<shell::MessageBus>();
        if (bus_->Connected()) shell::BroadcastLogLines(*log_, *bus_);
    }
    return *log_;
}

log::CActivityLogFile* Env::Log() {
    return GetSettings().ReadWithDefault("SaveToLogfile") ? &LogWriter() : nullptr;
}

int Env::DefaultPasses() { return GetSettings().OverwritePasses(); }

static std::vector<CommandRegistrar::Fn>& Registry() {
    static std::vector<CommandRegistrar::Fn> fns;
    return fns;
}

CommandRegistrar::CommandRegistrar(Fn fn) { Registry().push_back(std::move(fn)); }

void CommandRegistrar::RegisterAll(CLI::App& app, Env& env) {
    for (auto& fn : Registry()) fn(app, env);
}

void PrintError(const std::string& message) {
    std::cerr << "tidewipe-cli: " << Printable(message) << "\n";
}

void Note(const std::string& message) { std::cerr << Printable(message) << "\n"; }

void Out(const std::string& line) { std::cout << Printable(line) << "\n"; }

static void OctalEscape(std::string& out, unsigned char c) {
    char buf[5];
    std::snprintf(buf, sizeof buf, "\\%03o", c);
    out += buf;
}

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t n = platform::Utf8SequenceAt(text, i);
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (n == 0) {
            OctalEscape(out, c);
            ++i;
            continue;
        }
        if (n == 1 && (c < 0x20 || c == 0x7F)) {
            switch (c) {
                case '\n':
                    out += "\\n";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                default:
                    OctalEscape(out, c);
            }
        } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // C1 controls (U+0080..U+009F): terminals act on some of them (CSI is U+009B).
            OctalEscape(out, c);
            OctalEscape(out, static_cast<unsigned char>(text[i + 1]));
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

void JsonName(nlohmann::json& obj, const std::string& key, std::string_view name) {
    std::string shown, hex;
    bool exact = true;
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < name.size();) {
        size_t n = platform::Utf8SequenceAt(name, i);
        if (n == 0) {
            unsigned char c = static_cast<unsigned char>(name[i]);
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 15];
            exact = false;
            ++i;
        } else {
            shown.append(name.substr(i, n));
            i += n;
        }
    }
    obj[key] = shown;
    if (!exact) {
        for (unsigned char c : name) {
            hex += kHex[c >> 4];
            hex += kHex[c & 15];
        }
        obj[key + "_bytes"] = hex;
    }
}

void AddDestructiveOptions(CLI::App* cmd, DestructiveOptions& opts) {
    cmd->add_flag("-y,--yes", opts.yes, "Do not ask for confirmation");
    cmd->add_flag("-n,--dry-run", opts.dryRun, "Print what would be done and change nothing");
}

void AddReportOption(CLI::App* cmd, std::string& file) {
    cmd->add_option("--report", file,
                    "Write an erasure receipt (JSON: what was erased, how, and the result) to "
                    "FILE");
}

void AddVerifyOption(CLI::App* cmd, bool& verify) {
    cmd->add_flag("--verify", verify,
                  "Read the last pass back from the disk and fail where it differs from what "
                  "was written");
}

void SaveReceipt(wipe::Receipt& r, const std::string& file, Env& env) {
    if (file.empty()) return;
    r.finished = std::chrono::system_clock::now();
    if (const Result<void> saved = wipe::WriteReceipt(r, file); !saved.ok()) {
        PrintError("the receipt was not written: " + ErrorText(saved.error()));
        env.Fail(kFailed);
    }
}

bool Confirm(const std::string& question, const DestructiveOptions& opts) {
    if (opts.yes) return true;
    if (!isatty(STDIN_FILENO)) {
        PrintError("refusing without a terminal to confirm on; add --yes to proceed");
        return false;
    }
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

void PrintJson(const nlohmann::json& j) {
    std::cout << j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

TerminalProgress::TerminalProgress() : tty_(isatty(STDERR_FILENO) != 0) {}

TerminalProgress::~TerminalProgress() { Finish(); }

void TerminalProgress::SetRange(Bar bar, int64_t low, int64_t high) {
    low_[bar] = low;
    high_[bar] = high;
    pos_[bar] = low;
    Draw();
}

void TerminalProgress::SetPos(Bar bar, int64_t pos) {
    pos_[bar] = pos;
    Draw();
}

void TerminalProgress::SetText(Slot slot, std::string_view text) {
    (slot == Status ? status_ : timeText_) = std::string(text);
    Draw();
}

void TerminalProgress::Draw() {
    if (!tty_) return;
    // The overall bar when an operation drives one, else the current one.
    int b = high_[Overall] > low_[Overall] ? Overall : Current;
    double f = high_[b] > low_[b] ? double(pos_[b] - low_[b]) / double(high_[b] - low_[b]) : 0.0;
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    constexpr int kWidth = 24;
    int filled = static_cast<int>(f * kWidth);
    std::string line = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] ";
    line += status_;
    if (!timeText_.empty()) line += "  " + timeText_;
    constexpr size_t kMax = 150;
    if (line.size() > kMax) line = line.substr(0, kMax - 3) + "...";
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void TerminalProgress::Finish() {
    if (tty_ && drawn_) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }
}

namespace {

// The stop flag of the command operation that is running, for the signal handler.
std::atomic<std::atomic<int>*> g_stopFlag{nullptr};

void OnInterrupt(int) {
    std::atomic<int>* flag = g_stopFlag.load();
    if (flag == nullptr || flag->exchange(1) != 0) _exit(130);
}

}  // namespace

CommandOperation::CommandOperation(log::CActivityLogFile* log)
    : op_(&progress_, log), previous_(g_stopFlag.exchange(&op_.StopFlag())) {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &oldInt_);
    sigaction(SIGTERM, &sa, &oldTerm_);
}

CommandOperation::~CommandOperation() {
    sigaction(SIGINT, &oldInt_, nullptr);
    sigaction(SIGTERM, &oldTerm_, nullptr);
    g_stopFlag.store(previous_);
    Finish();
}

void CommandOperation::Finish() {
    op_.Flush();
    progress_.Finish();
}

void AnnounceSettingsChanged(int lParam) {
    shell::MessageBus bus;
    if (bus.Connected()) bus.Broadcast(shell::Message::SettingsChangedMessage, lParam);
}

}  // namespace tw::cli
