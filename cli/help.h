// SPDX-License-Identifier: GPL-3.0-or-later
// How `tidewipe-cli --help` presents the commands: grouped by task, one line each. The
// long description of a command stays where it was written and shows in `COMMAND --help`.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace tw::cli {

struct CommandSummary {
    const char* name;
    const char* group;
    const char* summary;  // one line; the command's own description is the long text
};

// Every top-level command by task, in the order the overview shows them.
const std::vector<CommandSummary>& CommandSummaries();

// Puts each top-level command of `app` into its task group and installs the formatter
// that prints the overview. A command missing from the table lands in "Other commands"
// with the first sentence of its description, so a new command is never hidden.
void ArrangeHelp(CLI::App& app);

}  // namespace tw::cli
