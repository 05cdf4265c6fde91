// SPDX-License-Identifier: GPL-3.0-or-later
// Runs tidewipe-cli (built beside the test) and captures its exit status and output.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "platform/drives.h"

namespace tw::test {

struct CliResult {
    int status = -1;
    std::string out;  // stdout
    std::string err;  // stderr
};

// `args` is pasted into a shell command line: quote what needs quoting. `program` runs
// instead of the tidewipe-cli beside the test, after `prefix` (another user, ...).
inline CliResult RunCli(const std::string& args, const std::string& input = "",
                        const std::string& prefix = "", const std::string& program = "") {
    static int counter = 0;
    std::string errFile =
        "/tmp/tw-cli-err-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    std::string cmd =
        (input.empty() ? std::string("</dev/null ") : "printf '%s' '" + input + "' | ") + prefix +
        (program.empty() ? ProgramFolder() + "tidewipe-cli" : program) + " " + args + " 2>" +
        errFile;
    CliResult r;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        int st = pclose(p);
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    if (FILE* e = fopen(errFile.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, e)) > 0) r.err.append(buf, n);
        fclose(e);
    }
    remove(errFile.c_str());
    return r;
}

}  // namespace tw::test
