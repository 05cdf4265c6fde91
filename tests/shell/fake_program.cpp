// SPDX-License-Identifier: GPL-3.0-or-later
// Stands in for a program the suite starts (the guard, the panel) in tests: writes what
// it found about its own start into the file named by $TW_FAKE_REPORT and ends.
//   pid, ppid, sid   its process, parent and session ids
//   cwd              its current folder
//   fds              its open descriptors, comma separated
//   blocked          how many signals were blocked
//   args             its arguments after the program path, blank separated
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const char* report = getenv("TW_FAKE_REPORT");
    if (!report) return 3;
    std::string fds;
    if (DIR* d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
            if (!fds.empty()) fds += ",";
            fds += e->d_name;
        }
        closedir(d);
    }
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    int blocked = 0;
    for (int s = 1; s < NSIG; ++s) blocked += sigismember(&mask, s) == 1;
    char cwd[4096] = "";
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    std::string args;
    for (int i = 1; i < argc; ++i) args += (i > 1 ? " " : "") + std::string(argv[i]);

    std::string tmp = std::string(report) + ".tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return 4;
    std::fprintf(f, "pid %d\nppid %d\nsid %d\ncwd %s\nfds %s\nblocked %d\nargs %s\n", getpid(),
                 getppid(), getsid(0), cwd, fds.c_str(), blocked, args.c_str());
    std::fclose(f);
    return std::rename(tmp.c_str(), report) == 0 ? 0 : 5;
}
