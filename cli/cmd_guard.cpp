// SPDX-License-Identifier: GPL-3.0-or-later
// guard start|stop|status, notify NAME [LPARAM].
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "cli/cli.h"
#include "platform/strings.h"
#include "shell/guard_client.h"
#include "shell/messages.h"
#include "shell/startup.h"

namespace tw::cli {
namespace {

constexpr int kStartWaitMs = 3000;
constexpr int kStopWaitMs = 10000;  // a guard finishes the item it is wiping first

void PrintState(const shell::GuardReply& r, bool json) {
    if (json) {
        nlohmann::json j{{"running", r.running}};
        if (r.running) j["pid"] = r.pid;
        PrintJson(j);
    } else if (r.running) {
        std::cout << "Watchkeep is running (pid " << r.pid << ")\n";
    } else {
        std::cout << "Watchkeep is not running\n";
    }
}

void RegisterGuard(CLI::App& app, Env& env) {
    auto* guard =
        app.add_subcommand("guard", "Start, stop or query Watchkeep, the resident guard (sentrel)");
    guard->require_subcommand(1);

    auto* start = guard->add_subcommand(
        "start", "Start the guard from the program folder, detached; exit 0 when it runs");
    start->callback([&env] {
        // The guard inherits the environment, --config-home included (set on parsing).
        const std::string path = shell::ResidentGuardPath();
        if (!shell::FileOpens(path)) {
            PrintError(std::string(S<103>) + " (" + path + " is missing)");
            env.Fail(kFailed);
            return;
        }
        shell::MessageBus bus;
        if (!bus.Connected()) {
            if (!shell::LaunchResidentGuard(path)) {
                PrintError(std::string(S<103>) + " (" + path + " could not be started)");
                env.Fail(kFailed);
                return;
            }
            std::cout << "Watchkeep started; " << bus.Error()
                      << ", so it cannot be asked whether it runs\n";
            return;
        }
        if (auto r = shell::QueryGuard(bus, 500); r.running) {
            std::cout << "Watchkeep is already running (pid " << r.pid << ")\n";
            return;
        }
        // The guard announces itself when it is up; listen before it is started.
        bool launched = false;
        auto up = shell::WaitForMessage(
            bus, kStartWaitMs,
            [](const shell::BusMessage& m) {
                return m.id == shell::Message::GuardStateMessage && m.lparam != 0;
            },
            [&] { launched = shell::LaunchResidentGuard(path); });
        if (!launched) {
            PrintError(std::string(S<103>) + " (" + path + " could not be started)");
            env.Fail(kFailed);
        } else if (!up) {
            PrintError("Watchkeep was started but did not answer; see its messages in the journal");
            env.Fail(kFailed);
        } else {
            std::cout << "Watchkeep started (pid " << up->sender << ")\n";
        }
    });

    auto* stop = guard->add_subcommand("stop", "Ask the guard to stop (GuardStopMessage 1)");
    stop->callback([&env] {
        shell::MessageBus bus;
        if (!bus.Connected()) {
            PrintError(bus.Error() + ": the guard cannot be reached");
            env.Fail(kFailed);
            return;
        }
        if (auto r = shell::QueryGuard(bus, 1000); !r.running) {
            std::cout << "Watchkeep is not running\n";
            return;
        }
        auto down = shell::WaitForMessage(
            bus, kStopWaitMs,
            [](const shell::BusMessage& m) {
                return m.id == shell::Message::GuardStateMessage && m.lparam == 0;
            },
            [&bus] { bus.Broadcast(shell::Message::GuardStopMessage, 1); });
        if (down) {
            std::cout << "Watchkeep stopped\n";
            return;
        }
        PrintError("Watchkeep did not stop within " + std::to_string(kStopWaitMs / 1000) + " s");
        env.Fail(kFailed);
    });

    static bool json = false;
    static int timeoutMs = 1000;
    auto* status = guard->add_subcommand(
        "status", "Ask whether the guard runs: exit 0 when it does, 1 when it does not");
    status->add_flag("--json", json, "Print JSON: {\"running\": bool, \"pid\": n}");
    status->add_option("--timeout", timeoutMs, "Milliseconds to wait for the answer")
        ->default_val(1000)
        ->check(CLI::Range(1, 60000));
    status->callback([&env] {
        shell::MessageBus bus;
        shell::GuardReply r;
        if (bus.Connected()) {
            r = shell::QueryGuard(bus, timeoutMs);
        } else if (!json) {
            Note(bus.Error());
        }
        PrintState(r, json);
        if (!r.running) env.Fail(kFailed);
    });
}

void RegisterNotify(CLI::App& app, Env& env) {
    static std::string name, lparamText = "0";
    static uint64_t sender = 0;
    static bool list = false;
    auto* notify = app.add_subcommand(
        "notify",
        "Broadcast a message to the programs of the suite (panel, guard), for scripts and tests");
    notify->add_option("NAME", name,
                       "The message: its name (GuardStopMessage, CleanRequestMessage, ...) or its "
                       "name string (the GUID text)");
    notify->add_option("LPARAM", lparamText,
                       "The message's argument, decimal or 0x hex (default 0); e.g. 0x522 with "
                       "CleanRequestMessage");
    notify->add_option("--sender", sender, "Sender id to send (default: this process's id)");
    notify->add_flag("--list", list, "List the known messages and their name strings");
    notify->callback([&env] {
        if (list) {
            for (const auto& m : shell::MessageTable())
                std::cout << m.name << "\t" << m.guid << "\n";
            return;
        }
        if (name.empty()) {
            PrintError("notify: NAME is required (see 'tidewipe-cli notify --list')");
            env.Fail(kUsage);
            return;
        }
        auto id = shell::FindMessage(name);
        if (!id) {
            PrintError("unknown message '" + name + "'; see 'tidewipe-cli notify --list'");
            env.Fail(kUsage);
            return;
        }
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(lparamText.c_str(), &end, 0);
        // Accepted: any 32-bit value, signed or unsigned (0xFFFFFFFF is -1).
        if (lparamText.empty() || *end != '\0' || errno == ERANGE || v < INT32_MIN ||
            v > UINT32_MAX) {
            PrintError("LPARAM must be a 32-bit number, decimal or 0x hex: '" + lparamText + "'");
            env.Fail(kUsage);
            return;
        }
        shell::MessageBus bus;
        if (!bus.Connected()) {
            PrintError(bus.Error() + ": message dropped");
            env.Fail(kFailed);
            return;
        }
        const uint64_t from = sender ? sender : static_cast<uint64_t>(getpid());
        if (!bus.Broadcast(shell::GuidOf(*id), from,
                           static_cast<int32_t>(static_cast<uint32_t>(v)))) {
            PrintError("the session bus refused the message");
            env.Fail(kFailed);
        }
    });
}

static CommandRegistrar reg([](CLI::App& app, Env& env) {
    RegisterGuard(app, env);
    RegisterNotify(app, env);
});

}  // namespace
}  // namespace tw::cli
