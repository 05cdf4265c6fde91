// SPDX-License-Identifier: GPL-3.0-or-later
// sentrel: Watchkeep, the resident guard. Runs in the foreground; the panel and the CLI
// start it detached, a systemd user unit or the autostart entry can run it as it is.
#include <cstring>
#include <iostream>

#include "guard/guard.h"

namespace {

void Usage(std::ostream& out) {
    out << "Usage: sentrel [--home-trash-only | --volumes-under DIR...] [--help] [--version]\n\n"
           "Watchkeep, the resident guard of Tidewipe. Runs in the foreground until it is\n"
           "asked to stop (tidewipe-cli guard stop, SIGTERM or SIGINT); SIGHUP re-reads the\n"
           "settings. It answers the panel's state queries, starts timed clean-ups when the\n"
           "schedule is due and, while Recycle Bin auto-wiping is on, wipes every item that\n"
           "arrives in the Trash. One copy runs per user: a second one exits with status 1.\n\n"
           "  --home-trash-only  auto-wipe only the home trash ($XDG_DATA_HOME/Trash), not the\n"
           "                     trash folders on other volumes (removable drives, ...)\n"
           "  --volumes-under DIR\n"
           "                     besides the home trash, only the volumes mounted at DIR or\n"
           "                     below it (repeatable); also limits the Recycle Bin step of\n"
           "                     a timed clean-up the guard runs itself\n";
}

}  // namespace

int main(int argc, char** argv) {
    tw::guard::Guard::Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(std::cout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "sentrel " TW_VERSION "\n";
            return 0;
        }
        if (std::strcmp(argv[i], "--home-trash-only") == 0) {
            options.homeTrashOnly = true;
            continue;
        }
        if (std::strcmp(argv[i], "--volumes-under") == 0 && i + 1 < argc && argv[i + 1][0] == '/') {
            options.volumesUnder.push_back(argv[++i]);
            continue;
        }
        std::cerr << "sentrel: unknown argument: " << argv[i] << "\n";
        Usage(std::cerr);
        return 2;
    }
    if (options.homeTrashOnly && !options.volumesUnder.empty()) {
        std::cerr << "sentrel: --home-trash-only and --volumes-under exclude each other\n";
        return 2;
    }
    tw::guard::Guard guard(options);
    std::string why;
    int status = guard.Run(&why);
    if (status != tw::guard::kExitOk) std::cerr << "sentrel: " << why << "\n";
    return status;
}
