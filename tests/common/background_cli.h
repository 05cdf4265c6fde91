// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli (or another program of the suite) started in the background (stdin
// /dev/null, stdout and stderr into files of a scratch folder), for tests that signal,
// kill or watch it while it runs. Killed at destruction if still running.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

extern char** environ;

namespace tw::test {

class BackgroundCli {
  public:
    // `args` after the program's name; the output files go into `outDir`.
    BackgroundCli(const std::vector<std::string>& args, const std::string& outDir)
        : BackgroundCli(CliPath(), args, outDir + "/bg.out", outDir + "/bg.err") {}
    // Any `program` (the guard, say), its output into the files named.
    BackgroundCli(const std::string& program, const std::vector<std::string>& args,
                  const std::string& outFile, const std::string& errFile)
        : out_(outFile), err_(errFile) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> a;
        for (auto& s : argv) a.push_back(s.data());
        a.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, a[0], &fa, nullptr, a.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~BackgroundCli() {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    BackgroundCli(const BackgroundCli&) = delete;
    BackgroundCli& operator=(const BackgroundCli&) = delete;

    pid_t Pid() const { return pid_; }
    // The state letter of /proc/<pid>/stat ('T' when stopped).
    char State() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string s;
        std::getline(in, s);
        auto p = s.rfind(')');
        return p != std::string::npos && p + 2 < s.size() ? s[p + 2] : '?';
    }
    bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (cond()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return cond();
    }
    // The exit status, or -1 when a signal ended the program.
    int Wait() {
        int st = 0;
        waitpid(pid_, &st, 0);
        done_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    // The exit status once the program has ended within `limit` (128 after a signal),
    // else -1; it keeps running.
    int ExitWithin(std::chrono::milliseconds limit) {
        if (pid_ > 0 && !done_)
            WaitFor(
                [&] {
                    int st = 0;
                    if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
                    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
                    return done_ = true;
                },
                limit);
        return done_ ? status_ : -1;
    }
    std::string Out() const { return ReadFileBytes(out_); }
    std::string Err() const { return ReadFileBytes(err_); }

  private:
    pid_t pid_ = -1;
    bool done_ = false;
    int status_ = -1;
    std::string out_, err_;
};

}  // namespace tw::test
