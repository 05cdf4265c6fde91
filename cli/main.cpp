// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli: the engine of the control panel from a terminal.
#include <iostream>

#include "cli/cli.h"

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
    app.add_option("--config-home", env.configHome,
                   "Folder of the settings store (default: $TIDEWIPE_CONFIG_HOME, "
                   "$XDG_CONFIG_HOME/tidewipe or ~/.config/tidewipe)");
    tw::cli::CommandRegistrar::RegisterAll(app, env);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        tw::cli::PrintError(e.what());
        std::cerr << "Run 'tidewipe-cli --help' for the commands.\n";
        return tw::cli::kUsage;
    } catch (const std::exception& e) {
        tw::cli::PrintError(e.what());
        return tw::cli::kFailed;
    }
    return env.exit;
}
