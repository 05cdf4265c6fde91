// SPDX-License-Identifier: GPL-3.0-or-later
// A private world for tests of the programs' messages: a session bus of our own
// (dbus-daemon started by the test), and temporary folders standing in for the
// settings store, the runtime folder, the data home (Trash) and the config home. The
// real ones of the user running the tests are never touched: every variable that
// could lead there is pointed into the temporary folder for the life of the object,
// and restored afterwards. Programs the test starts inherit the same environment.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "tests/common/scratch_volume.h"

namespace tw::test {

// Restores an environment variable when it goes out of scope.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// "" when a private session bus can be started here, else why not.
inline std::string BusUnavailable() {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        if (access((dirs.substr(start, end - start) + "/dbus-daemon").c_str(), X_OK) == 0)
            return "";
        start = end + 1;
    }
    return "dbus-daemon is not installed (Debian package dbus)";
}

// Skips the current test, with the reason, unless a private session bus can be had.
#define TW_REQUIRE_BUS()                                              \
    do {                                                              \
        const std::string tw_bus_why_ = ::tw::test::BusUnavailable(); \
        if (!tw_bus_why_.empty()) GTEST_SKIP() << tw_bus_why_;        \
    } while (0)

// dbus-daemon with the session configuration, listening on a socket in `folder`.
class PrivateBus {
  public:
    explicit PrivateBus(const std::string& folder) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 3);  // not close-on-exec: the daemon prints its address there
            int nul = open("/dev/null", O_RDWR);
            dup2(nul, 0);
            dup2(nul, 1);
            dup2(nul, 2);  // its complaints about limits a container sets are noise here
            std::string address = "--address=unix:path=" + folder + "/bus";
            execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                   address.c_str(), "--print-address=3", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string line;
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n') line += c;
        close(fds[0]);
        address_ = line;
    }
    ~PrivateBus() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st;
            waitpid(pid_, &st, 0);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool Ok() const { return !address_.empty(); }
    const std::string& Address() const { return address_; }

  private:
    pid_t pid_ = -1;
    std::string address_;
};

// The temporary world: <tmp>/cfg (settings store), <tmp>/run (runtime folder, 0700),
// <tmp>/data (data home: the home Trash), <tmp>/config (config home: autostart),
// <tmp>/state, <tmp>/logs (meant for LogLocation), and the private bus.
class TestWorld {
  public:
    explicit TestWorld(bool withBus = true)
        : dir_("guard"),
          made_(MakeFolders()),
          cfg_("TIDEWIPE_CONFIG_HOME", Sub("cfg").c_str()),
          run_("XDG_RUNTIME_DIR", Sub("run").c_str()),
          data_("XDG_DATA_HOME", Sub("data").c_str()),
          config_("XDG_CONFIG_HOME", Sub("config").c_str()),
          state_("XDG_STATE_HOME", Sub("state").c_str()),
          bus_(withBus ? std::make_unique<PrivateBus>(dir_.Path()) : nullptr),
          address_("DBUS_SESSION_BUS_ADDRESS",
                   bus_ && bus_->Ok() ? bus_->Address().c_str() : nullptr) {}

    bool Ok() const { return dir_.Ok() && (!bus_ || bus_->Ok()); }
    const std::string& Path() const { return dir_.Path(); }
    std::string Sub(const std::string& leaf) const { return dir_.Path() + "/" + leaf; }
    std::string RuntimeTidewipe() const { return Sub("run") + "/tidewipe"; }
    std::string Logs() const { return Sub("logs"); }

  private:
    bool MakeFolders() {
        for (const char* leaf : {"cfg", "run", "data", "config", "state", "logs"})
            mkdir(Sub(leaf).c_str(), 0700);
        return true;
    }

    TempDir dir_;
    bool made_;
    EnvVar cfg_, run_, data_, config_, state_;
    std::unique_ptr<PrivateBus> bus_;
    EnvVar address_;
};

// Polls `done` every 20 ms for up to `timeoutMs`; its last answer.
template <typename F>
bool WaitUntil(F done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Copies a program to `to` with `mode` (a program folder of the test's own).
inline bool CopyProgram(const std::string& from, const std::string& to, mode_t mode = 0755) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    out.close();
    return in && out && chmod(to.c_str(), mode) == 0;
}

// Every log file's text in `folder`, concatenated.
inline std::string LogText(const std::string& folder) {
    std::string all;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        all += ReadFileBytes(e.path().string());
    return all;
}

}  // namespace tw::test
