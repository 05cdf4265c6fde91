// SPDX-License-Identifier: GPL-3.0-or-later
// trash list|put|restore|wipe|empty: the Recycle Bin manager from the terminal.
#include <sys/stat.h>

#include <iostream>
#include <memory>

#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "recyclebin/bin_runs.h"
#include "recyclebin/store.h"

namespace tw::cli {
namespace {

using recyclebin::BinFolder;
using recyclebin::CRecycleBinStore;
using recyclebin::RecycleBinItem;

struct TrashArgs {
    bool json = false;
    bool verbose = false;
    bool all = false;
    int passes = 0;
    bool verify = false;
    std::string report;
    std::vector<std::string> names;
    std::vector<std::string> paths;
    std::vector<std::string> trashDirs;
    DestructiveOptions restoreOpts, wipeOpts, emptyOpts;
};

void AddTrashDirOption(CLI::App* cmd, TrashArgs& a) {
    // One folder per --trash-dir: "--trash-dir DIR NAME" leaves NAME to the command.
    cmd->add_option("--trash-dir", a.trashDirs,
                    "Use only this trash directory (repeatable); default: the home trash and "
                    "the trash directories of every local volume")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(CLI::ExistingDirectory);
}

// Builds and lists the store; false (with the error printed) when it cannot be listed.
bool LoadStore(CRecycleBinStore& store, const TrashArgs& a) {
    if (a.trashDirs.empty()) {
        store.BuildBinFolders();
    } else {
        std::vector<BinFolder> bins;
        for (const auto& d : a.trashDirs) bins.push_back(recyclebin::BinFolderFor(d));
        store.SetBinFolders(std::move(bins));
    }
    if (!store.Refresh()) {
        PrintError("the Trash is being listed by another program; try again");
        return false;
    }
    if (store.SkippedCount() > 0)
        Note(std::to_string(store.SkippedCount()) +
             " unreadable index file(s) in the Trash were skipped");
    if (!store.Orphans().empty())
        Note(std::to_string(store.Orphans().size()) +
             " data entry(ies) in the Trash have no readable index file: they are not "
             "listed and cannot be restored; 'trash wipe --all' wipes them");
    return true;
}

// The items NAME... names, or every item with --all. A NAME is an item's data path,
// its trash name, its original path or its original name; a NAME that fits several
// items in any of these ways is refused (the data path names one for sure).
bool SelectItems(const CRecycleBinStore& store, const TrashArgs& a,
                 std::vector<RecycleBinItem>* out, Env& env) {
    const auto& items = store.Items();
    if (a.all) {
        if (!a.names.empty()) {
            PrintError("give NAME... or --all, not both");
            env.Fail(kUsage);
            return false;
        }
        *out = items;
        return true;
    }
    if (a.names.empty()) {
        PrintError("give the items by NAME... or use --all");
        env.Fail(kUsage);
        return false;
    }
    for (const auto& name : a.names) {
        std::vector<const RecycleBinItem*> hits;
        for (const auto& it : items)
            if (it.physicalPath == name || it.trashName == name || it.OriginalPath() == name ||
                it.displayName == name)
                hits.push_back(&it);
        if (hits.empty()) {
            PrintError("not in the Trash: " + name);
            env.Fail(kFailed);
            return false;
        }
        if (hits.size() > 1) {
            PrintError("\"" + name + "\" fits " + std::to_string(hits.size()) +
                       " items; name one by its data path:");
            for (auto* h : hits) Note("  " + h->physicalPath + "  (" + h->OriginalPath() + ")");
            env.Fail(kUsage);
            return false;
        }
        bool dup = false;
        for (const auto& o : *out) dup = dup || o.infoPath == hits[0]->infoPath;
        if (!dup) out->push_back(*hits[0]);
    }
    return true;
}

std::string ObjectsText(size_t n) {
    return std::to_string(n) + " " + (n == 1 ? Str<390>() : Str<419>());
}

uint64_t TotalSize(const std::vector<RecycleBinItem>& items) {
    uint64_t total = 0;
    for (const auto& it : items) total += it.size;
    return total;
}

std::vector<std::string> PhysicalPaths(const std::vector<RecycleBinItem>& items) {
    std::vector<std::string> paths;
    for (const auto& it : items) paths.push_back(it.physicalPath);
    return paths;
}

void PrintRun(const recyclebin::RunResult& r, Env& env) {
    for (const auto& o : r.objects)
        if (!o.ok)
            PrintError(o.message.rfind(Str<420>(), 0) == 0 ? o.message : o.name + ": " + o.message);
    if (r.aborted) Note(Str<340>());
    if (!r.summaryLine.empty()) Out(r.summaryLine);
    Out(r.endMessage);
    if (r.failed > 0 || r.aborted) env.Fail(kFailed);
}

void RegisterTrash(CLI::App& app, Env& env) {
    static TrashArgs a;
    auto* trash = app.add_subcommand("trash",
                                     "List the Trash, send files to it, restore or wipe "
                                     "its items, empty it");
    trash->require_subcommand(1);

    auto* list = trash->add_subcommand("list", "List the items in the Trash");
    list->add_flag("--json", a.json,
                   "Print JSON: name, ext, size, original_location, original_path, deleted, "
                   "trash_folder, trash_name, data_path, is_folder");
    AddTrashDirOption(list, a);
    list->callback([&env] {
        CRecycleBinStore store;
        if (!LoadStore(store, a)) return env.Fail(kFailed);
        const auto& items = store.Items();
        if (a.json) {
            nlohmann::json arr = nlohmann::json::array();
            for (const auto& it : items) {
                nlohmann::json o = {
                    {"size", it.size}, {"deleted", it.deletedText}, {"is_folder", it.isFolder}};
                // Names come from other programs and other systems: any bytes at all.
                JsonName(o, "name", it.displayName);
                JsonName(o, "ext", it.extension);
                JsonName(o, "original_location", it.originalFolder);
                JsonName(o, "original_path", it.OriginalPath());
                JsonName(o, "trash_folder", it.binFolder);
                JsonName(o, "trash_name", it.trashName);
                JsonName(o, "data_path", it.physicalPath);
                arr.push_back(std::move(o));
            }
            PrintJson(arr);
            return;
        }
        std::cout << S<447> << "\t" << S<448> << "\t" << S<449> << "\t"
                  << S<450> << "\tDeleted\tTrash folder\n";
        // Each field escaped on its own: the tabs between them are the table's.
        for (const auto& it : items)
            std::cout << Printable(it.displayName) << "\t" << Printable(it.extension) << "\t"
                      << FormatSize(it.size, "%2.2f") << "\t" << Printable(it.originalFolder)
                      << "\t" << (it.deletedText.empty() ? "?" : it.deletedText) << "\t"
                      << Printable(it.binFolder) << "\n";
        Note(items.empty() ? std::string("The Recycle Bin is empty.")
                           : "The Recycle Bin contains " + ObjectsText(items.size()));
    });

    auto* put = trash->add_subcommand("put", "Send files and folders to the Trash");
    put->add_option("PATH", a.paths, "Files or folders to send to the Trash")->required();
    put->add_flag("-v,--verbose", a.verbose, "Tell where each item went");
    put->callback([&env] {
        for (const auto& p : a.paths) {
            auto r = recyclebin::SendToBin(p);
            if (!r) {
                PrintError(ErrorText(r.error()));
                env.Fail(kFailed);
                continue;
            }
            if (a.verbose)
                Note(p + " -> " + r->dataPath + (r->copied ? " (copied across file systems)" : ""));
        }
    });

    auto* restore = trash->add_subcommand("restore",
                                          "Move items back to where they were deleted "
                                          "from (never over an existing file)");
    restore->add_option("NAME", a.names, "Data path, trash name, original path or name");
    restore->add_flag("--all", a.all, "Every item in the Trash");
    AddTrashDirOption(restore, a);
    AddDestructiveOptions(restore, a.restoreOpts);
    restore->callback([&env] {
        CRecycleBinStore store;
        if (!LoadStore(store, a)) return env.Fail(kFailed);
        std::vector<RecycleBinItem> chosen;
        if (!SelectItems(store, a, &chosen, env)) return;
        if (chosen.empty()) {
            Note(Str<529>());
            return;
        }
        if (a.restoreOpts.dryRun) {
            for (const auto& it : chosen) {
                struct stat st {};
                bool taken = lstat(it.OriginalPath().c_str(), &st) == 0;
                Out("restore " + it.physicalPath + " -> " + it.OriginalPath() +
                    (taken ? "  (refused: " + Str<421>() + ")" : std::string()));
                // The real run would fail this object: so does the plan.
                if (taken) env.Fail(kFailed);
            }
            return;
        }
        // No question: a restore never replaces anything, so it destroys nothing.
        CommandOperation progress(env.Log());
        Operation& op = progress.Op();
        auto r = recyclebin::RestoreItems(op, chosen);
        progress.Finish();
        PrintRun(r, env);
    });

    auto* wipe = trash->add_subcommand("wipe",
                                       "Overwrite items in the Trash and delete them for "
                                       "good");
    wipe->add_option("NAME", a.names, "Data path, trash name, original path or name");
    wipe->add_flag("--all", a.all, "Every item in the Trash");
    wipe->add_option("--passes", a.passes, "Overwrite passes, 1 to 7 (default: the setting)")
        ->check(CLI::Range(1, 7));
    AddTrashDirOption(wipe, a);
    AddVerifyOption(wipe, a.verify);
    AddReportOption(wipe, a.report);
    AddDestructiveOptions(wipe, a.wipeOpts);
    wipe->callback([&env] {
        CRecycleBinStore store;
        if (!LoadStore(store, a)) return env.Fail(kFailed);
        std::vector<RecycleBinItem> chosen;
        if (!SelectItems(store, a, &chosen, env)) return;
        // The whole bin is everything in its files/ folders, also data whose index file
        // is damaged or gone: no listing shows it, so nothing else would ever wipe it.
        if (a.all) chosen.insert(chosen.end(), store.Orphans().begin(), store.Orphans().end());
        if (chosen.empty()) {
            Note(Str<528>());
            return;
        }
        const int passes = a.passes > 0 ? a.passes : env.DefaultPasses();
        const std::string size = FormatSize(TotalSize(chosen), "%2.2f");
        if (a.wipeOpts.dryRun) {
            for (const auto& it : chosen) {
                const std::string refusal = recyclebin::WipeRefusal(it);
                Out("wipe " + it.physicalPath + " (" +
                    (it.noIndex ? std::string("no readable index file") : it.OriginalPath()) +
                    ", " + FormatSize(it.size, "%2.2f") + ")" +
                    (refusal.empty() ? std::string() : "  (refused: " + refusal + ")"));
                if (!refusal.empty()) env.Fail(kFailed);
            }
            std::cout << ObjectsText(chosen.size()) << ", " << size << ", " << passes
                      << (passes == 1 ? " pass" : " passes") << "\n";
            PrintCaveats(PhysicalPaths(chosen));
            return;
        }
        if (!Confirm("Wipe " + ObjectsText(chosen.size()) + " (" + size + ") with " +
                         std::to_string(passes) + (passes == 1 ? " pass" : " passes") +
                         "? They cannot be restored afterwards.",
                     a.wipeOpts))
            return env.Fail(kRefused);
        wipe::Receipt receipt = wipe::StartReceipt("trash-wipe", chosen.front().physicalPath);
        receipt.targetPath = "trash";
        receipt.passes = passes;
        receipt.verifyRequested = a.verify;
        CommandOperation progress(env.Log());
        Operation& op = progress.Op();
        op.Status(S<334>);
        LogCaveats(PhysicalPaths(chosen), op.Log());
        auto r = recyclebin::WipeItems(op, chosen, passes, false, a.verify);
        progress.Finish();
        PrintRun(r, env);
        if (!r.verifyFailure.empty()) PrintError(r.verifyFailure);
        recyclebin::AddToReceipt(r, receipt);
        SaveReceipt(receipt, a.report, env);
    });

    auto* empty = trash->add_subcommand("empty", "Delete everything in the Trash (not wiped)");
    AddTrashDirOption(empty, a);
    AddDestructiveOptions(empty, a.emptyOpts);
    empty->callback([&env] {
        CRecycleBinStore store;
        if (!LoadStore(store, a)) return env.Fail(kFailed);
        const size_t n = store.Items().size();
        if (a.emptyOpts.dryRun) {
            for (const auto& b : store.BinFolders()) Out("empty " + b.path);
            std::cout << ObjectsText(n) << ", " << FormatSize(TotalSize(store.Items()), "%2.2f")
                      << "\n";
            return;
        }
        if (!Confirm("Empty the Trash (" + ObjectsText(n) +
                         ")? Items are deleted, not wiped: they stay recoverable.",
                     a.emptyOpts))
            return env.Fail(kRefused);
        CommandOperation progress(env.Log());
        Operation& op = progress.Op();
        auto r = recyclebin::EmptyBin(op, store.BinFolders());
        progress.Finish();
        if (r.failed > 0) {
            PrintError(std::to_string(r.failed) + " item(s) could not be removed");
            env.Fail(kFailed);
        }
        if (r.aborted) {
            Note("stopped before the Trash was empty");
            env.Fail(kFailed);
            return;
        }
        std::cout << S<338> << "\n";
    });
}

CommandRegistrar reg(RegisterTrash);

}  // namespace
}  // namespace tw::cli
