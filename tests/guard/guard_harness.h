// SPDX-License-Identifier: GPL-3.0-or-later
// Runs sentrel as a process in a private test world (test_env.h) and watches the
// session bus for what it says.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "guard/schedule_watch.h"
#include "platform/drives.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/messages.h"
#include "tests/common/background_cli.h"
#include "tests/shell/test_env.h"

namespace tw::test {

// One sentrel process, stderr kept in a file. Killed at destruction if still running.
class GuardProcess : public BackgroundCli {
  public:
    GuardProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& errFile)
        : BackgroundCli(program, args, "/dev/null", errFile) {}
    uint64_t Sender() const { return static_cast<uint64_t>(Pid()); }
    // The exit status once it has ended within `timeoutMs`, else -1.
    int Wait(int timeoutMs) { return ExitWithin(std::chrono::milliseconds(timeoutMs)); }
    std::string Stderr() const { return Err(); }
};

// A test world with a listener on its bus that records every broadcast.
class GuardWorld {
  public:
    // No display: a test that wants the panel started names one itself. The power-off
    // of a clean-up the guard runs itself only leaves a file behind (PowerOffRan()).
    GuardWorld()
        : display_("DISPLAY", nullptr),
          wayland_("WAYLAND_DISPLAY", nullptr),
          powerOff_("TIDEWIPE_POWEROFF_COMMAND",
                    ("touch '" + world_.Sub("poweroff-ran") + "'").c_str()) {
        if (!world_.Ok()) return;
        bus_ = std::make_unique<shell::MessageBus>();
        bus_->Listen([this](const shell::BusMessage& m) { got_.push_back(m); });
        // The log folder is set before anything reads the settings: nothing is ever
        // logged beside the program.
        Store().WriteString(ProgramKey(), "LogLocation", world_.Logs());
    }
    bool Ok() const { return world_.Ok() && bus_ && bus_->Connected(); }
    TestWorld& World() { return world_; }
    shell::MessageBus& Bus() { return *bus_; }

    RegistryStore& Store() {
        if (!store_) store_ = std::make_unique<RegistryStore>(RegistryStore::DefaultPath());
        return *store_;
    }
    void SetDword(const std::string& name, uint32_t v) {
        Store().WriteDword(ProgramKey(), name, v);
    }
    // A one-time schedule `seconds` from now, timed cleaning on.
    FileTime ScheduleIn(int seconds) {
        const FileTime start = guard::NowLocal() + seconds * kFileTimePerSecond;
        SetDword("CleanStartTimeLo", static_cast<uint32_t>(start & 0xFFFFFFFFu));
        SetDword("CleanStartTimeHi", static_cast<uint32_t>(start >> 32));
        SetDword("repeatType", 0);
        SetDword("schedulerActive", 1);
        return start;
    }

    // Tests keep the guard to the home trash of their world, or to the volumes the
    // test mounted below `volumesUnder` (a private folder of its own): the trash folders
    // of the machine's own volumes are never watched, let alone wiped, from a test.
    std::unique_ptr<GuardProcess> StartGuard(const std::string& program = ProgramFolder() +
                                                                          "sentrel",
                                             const std::string& volumesUnder = "") {
        std::vector<std::string> args{"--home-trash-only"};
        if (!volumesUnder.empty()) args = {"--volumes-under", volumesUnder};
        return std::make_unique<GuardProcess>(
            program, args, world_.Sub("sentrel-" + std::to_string(++started_) + ".err"));
    }
    // sentrel copied into a folder of its own ("<folder>/"), with no panel beside it.
    std::string GuardWithoutPanel() {
        const std::string folder = world_.Sub("prog");
        mkdir(folder.c_str(), 0755);
        EXPECT_TRUE(CopyProgram(ProgramFolder() + "sentrel", folder + "/sentrel"));
        return folder + "/";
    }
    bool PowerOffRan() const { return access(world_.Sub("poweroff-ran").c_str(), F_OK) == 0; }

    // Everything received so far is at indexes below Mark().
    size_t Mark() {
        bus_->Process();
        return got_.size();
    }
    // The first broadcast at or after index `from` that `match` accepts, waiting up to
    // `timeoutMs` for it.
    std::optional<shell::BusMessage> Find(
        const std::function<bool(const shell::BusMessage&)>& match, int timeoutMs, size_t from = 0,
        size_t* index = nullptr) {
        std::optional<shell::BusMessage> found;
        WaitUntil(
            [&] {
                bus_->WaitAndProcess(20000);
                for (size_t i = from; i < got_.size(); ++i) {
                    if (match(got_[i])) {
                        found = got_[i];
                        if (index) *index = i;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }
    static std::function<bool(const shell::BusMessage&)> Is(shell::Message id, uint64_t sender,
                                                            std::optional<int32_t> lparam = {}) {
        return [=](const shell::BusMessage& m) {
            return m.id == id && m.sender == sender && (!lparam || m.lparam == *lparam);
        };
    }
    // Waits for the guard's announcement that it runs.
    bool WaitUp(const GuardProcess& g, int timeoutMs = 10000) {
        return Find(Is(shell::Message::GuardStateMessage, g.Sender(), 1), timeoutMs).has_value();
    }
    // A query round trip: when its answer is back, the guard has handled everything
    // broadcast before the query.
    bool Sync(const GuardProcess& g) {
        size_t mark = Mark();
        bus_->Broadcast(shell::Message::GuardQueryMessage, 1);
        return Find(Is(shell::Message::GuardStateMessage, g.Sender(), 1), 5000, mark).has_value();
    }

    // Every log file's text in the log folder, concatenated.
    std::string LogText() const { return test::LogText(world_.Logs()); }

  private:
    TestWorld world_;
    EnvVar display_, wayland_, powerOff_;
    std::unique_ptr<shell::MessageBus> bus_;
    std::unique_ptr<RegistryStore> store_;
    std::vector<shell::BusMessage> got_;
    int started_ = 0;
};

}  // namespace tw::test
