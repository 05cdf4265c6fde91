// SPDX-License-Identifier: GPL-3.0-or-later
// report show: an erasure receipt, printed for people.
#include "cli/cli.h"
#include "wipe/receipt.h"

namespace tw::cli {
namespace {

void RegisterReport(CLI::App& app, Env& env) {
    static std::string file;
    static bool json = false;
    auto* report = app.add_subcommand("report", "Erasure receipts written with --report");
    report->require_subcommand(1);
    auto* show = report->add_subcommand("show", "Print an erasure receipt");
    show->add_option("FILE", file, "The receipt")->required();
    show->add_flag("--json", json, "Print the receipt as JSON once it has been checked");
    show->callback([&env] {
        const Result<nlohmann::json> receipt = wipe::ReadReceipt(file);
        if (!receipt.ok()) {
            PrintError(ErrorText(receipt.error()));
            return env.Fail(kFailed);
        }
        if (json) return PrintJson(receipt.value());
        for (const std::string& line : wipe::ReceiptLines(receipt.value())) Out(line);
    });
}

CommandRegistrar reg(RegisterReport);

}  // namespace
}  // namespace tw::cli
