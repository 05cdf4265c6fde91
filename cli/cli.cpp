// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "shell/messages.h"

namespace tw::cli {

RegistryStore& Env::Store() {
    if (!store_) {
        if (!configHome.empty()) setenv("TIDEWIPE_CONFIG_HOME", configHome.c_str(), 1);
        store_ = std::make_unique<RegistryStore>(RegistryStore::DefaultPath());
    }
    return *store_;
}

Settings& Env::GetSettings() {
    if (!settings_) {
        settings_ = std::make_unique<Settings>(Store());
        settings_->LoadSettings();
    }
    return *settings_;
}

log::CActivityLogFile& Env::LogWriter() {
    if (!log_) {
        log_ = std::make_unique<log::CActivityLogFile>();
        log_->SetFolder(GetSettings().LogFolder());
    }
    return *log_;
}

log::CActivityLogFile* Env::Log() {
    return GetSettings().ReadWithDefault("SaveToLogfile") ? &LogWriter() : nullptr;
}

int Env::DefaultPasses() {
    uint32_t n = GetSettings().ReadWithDefault("NumOverwrites");
    return n < 1 ? 1 : (n > 7 ? 7 : static_cast<int>(n));
}

static std::vector<CommandRegistrar::Fn>& Registry() {
    static std::vector<CommandRegistrar::Fn> fns;
    return fns;
}

CommandRegistrar::CommandRegistrar(Fn fn) { Registry().push_back(std::move(fn)); }

void CommandRegistrar::RegisterAll(CLI::App& app, Env& env) {
    for (auto& fn : Registry()) fn(app, env);
}

void PrintError(const std::string& message) { std::cerr << "tidewipe-cli: " << message << "\n"; }

void Note(const std::string& message) { std::cerr << message << "\n"; }

void AddDestructiveOptions(CLI::App* cmd, DestructiveOptions& opts) {
    cmd->add_flag("-y,--yes", opts.yes, "Do not ask for confirmation");
    cmd->add_flag("-n,--dry-run", opts.dryRun, "Print what would be done and change nothing");
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

void PrintJson(const nlohmann::json& j) { std::cout << j.dump(2) << "\n"; }

static int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TerminalProgress::TerminalProgress() : tty_(isatty(STDERR_FILENO) != 0) {}

TerminalProgress::~TerminalProgress() { Finish(); }

void TerminalProgress::SetRange(Bar bar, int64_t low, int64_t high) {
    low_[bar] = low;
    high_[bar] = high;
    pos_[bar] = low;
    Draw(false);
}

void TerminalProgress::SetPos(Bar bar, int64_t pos) {
    pos_[bar] = pos;
    Draw(false);
}

void TerminalProgress::Step(Bar bar, int64_t by) {
    pos_[bar] += by;
    Draw(false);
}

void TerminalProgress::SetText(Slot slot, std::string_view text) {
    (slot == Status ? status_ : timeText_) = std::string(text);
    Draw(false);
}

void TerminalProgress::Draw(bool force) {
    if (!tty_) return;
    int64_t now = NowMs();
    if (!force && now - lastDrawMs_ < 100) return;
    lastDrawMs_ = now;
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

std::atomic<int>& InterruptFlag() {
    static std::atomic<int> flag{0};
    return flag;
}

static void OnInterrupt(int) {
    if (InterruptFlag().exchange(1) != 0) _exit(130);
}

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void AnnounceSettingsChanged(int lParam) {
    shell::MessageBus bus;
    if (bus.Connected()) bus.Broadcast(shell::Message::SettingsChangedMessage, lParam);
}

}  // namespace tw::cli
