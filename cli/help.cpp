// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/help.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <sstream>

namespace tw::cli {

namespace {

constexpr const char* kOther = "Other commands";

const char* const kGroupOrder[] = {
    "Wiping", "Deleted files",    "Trash", "Clean-up and schedule",
    "Guard",  "Settings and log", kOther,
};

const CommandSummary* Find(const std::string& name) {
    for (const CommandSummary& c : CommandSummaries())
        if (name == c.name) return &c;
    return nullptr;
}

// The first sentence (or line) of a long description.
std::string FirstSentence(const std::string& text) {
    size_t end = text.find_first_of(".\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

// The overview lists the groups in the fixed order above with one line per command;
// a command's own help (and everything else) is CLI11's.
class GroupedFormatter : public CLI::Formatter {
  public:
    std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const override {
        if (app->get_parent() != nullptr) return CLI::Formatter::make_subcommands(app, mode);
        std::ostringstream out;
        for (const char* group : kGroupOrder) {
            auto subs = app->get_subcommands(
                [group](const CLI::App* sub) { return sub->get_group() == group; });
            if (subs.empty()) continue;
            // In the table's order (registration follows link order), unknown ones last.
            auto rank = [](const CLI::App* sub) {
                const auto& table = CommandSummaries();
                const CommandSummary* c = Find(sub->get_name());
                return c ? c - table.data() : static_cast<std::ptrdiff_t>(table.size());
            };
            std::stable_sort(
                subs.begin(), subs.end(),
                [&rank](const CLI::App* a, const CLI::App* b) { return rank(a) < rank(b); });
            out << "\n" << group << ":\n";
            for (const CLI::App* sub : subs) {
                const CommandSummary* c = Find(sub->get_name());
                const std::string line =
                    c ? std::string(c->summary) : FirstSentence(sub->get_description());
                CLI::detail::format_help(out, sub->get_name(), line, get_column_width());
            }
        }
        out << "\nRun 'tidewipe-cli COMMAND --help' for a command's options and details.\n";
        return out.str();
    }
};

}  // namespace

const std::vector<CommandSummary>& CommandSummaries() {
    static const std::vector<CommandSummary> table = {
        {"wipe", "Wiping", "Overwrite files in place and delete them for good"},
        {"free-space", "Wiping", "Overwrite the free space of a mounted file system"},
        {"leftovers", "Wiping", "Remove what an interrupted free space clean left behind"},
        {"volumes", "Wiping", "List volumes and devices with what an overwrite reaches there"},
        {"slack", "Wiping", "Wipe the slack space behind every file below a folder"},
        {"slacks", "Wiping", "List the files whose slack still holds data (only reads)"},
        {"deep-clean", "Wiping", "Move files onto fresh clusters and wipe the old ones"},
        {"search", "Deleted files", "Find deleted files on an NTFS or FAT32 volume"},
        {"recover", "Deleted files", "Recover deleted files into a folder"},
        {"clusters", "Deleted files", "List the clusters of a deleted file"},
        {"dump", "Deleted files", "Show one cluster of a volume as text or hex"},
        {"wipe-traces", "Deleted files", "Overwrite what is left of deleted files"},
        {"scrub-mft", "Deleted files", "Scrub every deleted file record of an NTFS volume"},
        {"trash", "Trash", "List, fill, restore, wipe or empty the Trash"},
        {"clean", "Clean-up and schedule", "Run the drive clean-up now"},
        {"schedule", "Clean-up and schedule", "Show and set the timed clean"},
        {"guard", "Guard", "Start, stop or query the resident guard (sentrel)"},
        {"notify", "Guard", "Broadcast a message to the running programs of the suite"},
        {"settings", "Settings and log", "Show and change the stored settings"},
        {"log", "Settings and log", "Show, write and wipe the daily activity log"},
    };
    return table;
}

void ArrangeHelp(CLI::App& app) {
    for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        const CommandSummary* c = Find(sub->get_name());
        sub->group(c ? c->group : kOther);
    }
    app.formatter(std::make_shared<GroupedFormatter>());
}

}  // namespace tw::cli
