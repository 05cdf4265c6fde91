// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli: the engine of the control panel from a terminal.
#include <cstdlib>
#include <iostream>
#include <string>

#include "cli/cli.h"
#include "cli/help.h"

namespace {

// The first word of the command line that names no command where one is expected
// ("tidewipe-cli wpie", "tidewipe-cli trash lsit"), or "" when every word does. CLI11
// reports such a word as a missing subcommand, which hides the typo.
std::string UnknownCommand(const CLI::App& app, int argc, char** argv) {
    const std::function<bool(const CLI::App*)> every;  // empty: no filter
    const CLI::App* at = &app;
    std::string path;
    for (int i = 1; i < argc && !at->get_subcommands(every).empty(); ++i) {
        const std::string word = argv[i];
        if (word == "--") break;
        if (!word.empty() && word[0] == '-') {
            // The only option before a command that takes a separate value.
            if (at == &app && word == "--config-home") ++i;
            continue;
        }
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : at->get_subcommands(every))
            if (sub->check_name(word)) next = sub;
        if (!next) return path + word;
        path += word + " ";
        at = next;
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Tidewipe from the terminal: wipe files, free space and slack, search NTFS and FAT32\n"
        "volumes for deleted files, recover or wipe them, manage the Trash, the schedule\n"
        "and the activity log.\n\n"
        "Exit status: 0 success, 1 the operation failed or partly failed, 2 usage error,\n"
        "3 refused (unsupported file system, unsafe target, missing permission).",
        "tidewipe-cli"};
    app.require_subcommand(1);
    app.fallthrough();
    tw::cli::Env env;
    // Applied the moment it is parsed, before any command runs: everything that finds the
    // settings folder (the store, the slack journals, a guard started from here) must
    // find this one, not only what asks for the store.
    app.add_option_function<std::string>(
           "--config-home",
           [](const std::string& folder) {
               if (!folder.empty()) setenv("TIDEWIPE_CONFIG_HOME", folder.c_str(), 1);
           },
           "Folder of the settings store (default: $TIDEWIPE_CONFIG_HOME, "
           "$XDG_CONFIG_HOME/tidewipe or ~/.config/tidewipe)")
        ->trigger_on_parse();
    app.set_version_flag("--version", "tidewipe-cli " TW_VERSION);
    tw::cli::CommandRegistrar::RegisterAll(app, env);
    tw::cli::ArrangeHelp(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        if (const std::string word = UnknownCommand(app, argc, argv); !word.empty())
            tw::cli::PrintError("unknown command '" + word + "'");
        else
            tw::cli::PrintError(e.what());
        std::cerr << "Run 'tidewipe-cli --help' for the commands.\n";
        return tw::cli::kUsage;
    } catch (const std::exception& e) {
        tw::cli::PrintError(e.what());
        return tw::cli::kFailed;
    }
    return env.exit;
}
