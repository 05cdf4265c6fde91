// SPDX-License-Identifier: GPL-3.0-or-later
// The one CLI runner of the tests: runs tidewipe-cli (built beside the test program) and
// captures its exit status and output. Its stderr goes through a private scratch folder.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "tests/common/scratch_volume.h"

namespace tw::test {

// The tidewipe-cli built beside the running test program.
inline std::string CliPath() { return ProgramFolder() + "tidewipe-cli"; }

// Gives the settings store in `configHome` a log folder of its own (`configHome`/logs,
// made here) before any program loads it: left unset, the log folder would be made
// beside the program, outside the test's scratch folder. Returns the log folder.
inline std::string PrivateLogFolder(const std::string& configHome) {
    const std::string logs = configHome + "/logs";
    mkdir(configHome.c_str(), 0700);
    mkdir(logs.c_str(), 0700);
    RegistryStore store(configHome + "/registry.db");
    store.WriteString(ProgramKey(), "LogLocation", logs);
    return logs;
}

// Gives a settings store the first time a test names it a private log folder (see
// PrivateLogFolder): a store of its own must not send the log beside the program.
inline void PrepareConfigHome(const std::string& configHome) {
    struct stat st {};
    if (stat((configHome + "/registry.db").c_str(), &st) != 0) PrivateLogFolder(configHome);
}

// Runs tidewipe-cli with the settings store in `configHome` (stdin /dev/null, so nothing
// is confirmed without --yes); stdout and stderr into `out`. Unless the test chose its
// own, the power-off command is one that does nothing.
inline int RunCliIn(const std::string& configHome, std::vector<std::string> args,
                    std::string* out) {
    PrepareConfigHome(configHome);
    args.insert(args.begin(), {CliPath(), "--config-home", configHome});
    if (!getenv("TIDEWIPE_POWEROFF_COMMAND"))
        args.insert(args.begin(), {"env", "TIDEWIPE_POWEROFF_COMMAND=true"});
    return RunTool(args, out);
}

struct CliResult {
    int status = -1;
    std::string out;  // stdout
    std::string err;  // stderr
};

// `args` is pasted into a shell command line: quote what needs quoting. `program` runs
// instead of the tidewipe-cli beside the test, after `prefix` (another user, ...).
inline CliResult RunCli(const std::string& args, const std::string& input = "",
                        const std::string& prefix = "", const std::string& program = "") {
    // A line that starts with its own settings store: the store gets its log folder.
    const std::string opt = "--config-home '";
    if (args.rfind(opt, 0) == 0 && args.find('\'', opt.size()) != std::string::npos)
        PrepareConfigHome(args.substr(opt.size(), args.find('\'', opt.size()) - opt.size()));
    static TempDir scratch("cli-err");
    static int counter = 0;
    const std::string errFile = scratch.Path() + "/err-" + std::to_string(counter++);
    const std::string cmd =
        (input.empty() ? std::string("</dev/null ") : "printf '%s' '" + input + "' | ") + prefix +
        (program.empty() ? CliPath() : program) + " " + args + " 2>" + errFile;
    CliResult r;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    r.err = ReadFileBytes(errFile);
    remove(errFile.c_str());
    return r;
}

}  // namespace tw::test
