// SPDX-License-Identifier: GPL-3.0-or-later
// wipe-traces SOURCE (--location N ... | --all) [--passes N] [--deleted-folders] [--journal]
// [--json] [--verify] [--report FILE]: overwrite what is left of found deleted files and
// clear their record or directory entries; with --all also the folder traces (NTFS:
// deleted folder records and the unused space of the folder indexes; FAT32: the unused
// tails of the live folders' directory clusters), with --journal the NTFS journal.
// scrub-mft SOURCE [--verify] [--report FILE]: scrub every deleted file record of an
// NTFS volume.
// --verify reads the overwritten clusters back from the volume and then searches it
// again; --report writes an erasure receipt.
//
// Both write below the file system: SOURCE (an image file, a block device, or the
// device behind a mounted folder) is opened for writing only through the raw-write
// gate, which refuses a volume mounted read-write (exit 3).
#include <iostream>
#include <set>

#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "cli/volume_select.h"
#include "log/activity_log.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "volume/search.h"
#include "volume/trace_receipt.h"
#include "volume/traces.h"
#include "wipe/receipt.h"

namespace tw::cli {
namespace {

// The switch that walks deleted folders, named where a deleted folder was left for it.
constexpr const char* kWalkSwitch = "--deleted-folders";

std::string PlanLine(const volume::RecoverableFile& f, const volume::TracePlan& p) {
    std::string line = volume::TraceItemText(f) + ": ";
    if (!p.refusal.empty())
        return line + "cannot be wiped: " + p.refusal +
               (p.needsFolderWalk ? std::string(" (") + kWalkSwitch + ")" : "");
    line += std::to_string(p.clusters.size()) + " cluster" + (p.clusters.size() == 1 ? "" : "s") +
            " x " + std::to_string(p.passCount) + " pass" + (p.passCount == 1 ? "" : "es") + " (" +
            FormatSize(p.BytesToWrite(), "%2.2f") + ")";
    if (p.resident) line += ", data inside the record";
    if (p.clustersInUse) line += ", " + std::to_string(p.clustersInUse) + " in use left alone";
    if (p.clustersProtected)
        line += ", " + std::to_string(p.clustersProtected) + " protected left alone";
    if (f.isFolder) line += ", the deleted folder's first cluster";
    line += p.fs == volume::FileSystemKind::Ntfs ? ", then its record scrubbed"
                                                 : ", then its directory entry cleared";
    return line;
}

std::string ResultLine(const volume::RecoverableFile& f, const volume::TraceWipeResult& r) {
    const std::string text = volume::TraceItemText(f);
    if (r.outcome == Outcome::Stopped) return "stopped: " + text;
    if (r.outcome != Outcome::Ok)
        return Str<401>() + " " + text + ": " + r.error +
               (r.needsFolderWalk ? std::string(" (") + kWalkSwitch + ")" : "");
    std::string line = Str<400>() + " " + text + " (";
    if (f.resident)
        line += "data inside the record";
    else
        line += std::to_string(r.clustersWiped) + " cluster" + (r.clustersWiped == 1 ? "" : "s") +
                " overwritten";
    if (r.clustersInUse) line += ", " + std::to_string(r.clustersInUse) + " in use left alone";
    if (r.clustersProtected)
        line += ", " + std::to_string(r.clustersProtected) + " protected left alone";
    if (f.fs == volume::FileSystemKind::Ntfs) {
        if (r.recordScrubbed) line += ", record scrubbed";
    } else {
        line += ", " + std::to_string(r.entriesCleared + r.longNameEntriesCleared) +
                " directory entr" +
                (r.entriesCleared + r.longNameEntriesCleared == 1 ? "y" : "ies") + " cleared";
    }
    if (!r.note.empty()) line += "; " + r.note;
    return line + ")";
}

// What the run covered and what it had to leave, for --json: the counts of the volume's
// own file system.
nlohmann::json CoverageJson(const volume::TraceCoverage& c, bool ntfs) {
    nlohmann::json covered, left;
    if (ntfs) {
        covered = {{"records", c.records},
                   {"folder_records", c.folderRecords},
                   {"index_clusters", c.indexClusters},
                   {"index_slack", c.indexSlack},
                   {"record_slack", c.recordSlack}};
        left = {{"records", c.recordsLeft},
                {"index_clusters_in_use", c.indexClustersInUse},
                {"damaged", c.indexDamaged},
                {"protected", c.protectedLeft}};
        if (c.journalAsked) {
            covered["journal"] = c.journalReset;
            if (!c.journalReset) left["journal"] = c.journalRefusal;
        }
    } else {
        covered = {{"directory_clusters", c.fatDirectoryClusters},
                   {"directory_tails_cleared", c.fatTailsCleared},
                   {"deleted_folders", c.fatDeletedFolders},
                   {"deleted_folder_files", c.fatDeletedFolderFiles}};
        left = {{"directory_clusters_failed", c.fatDirectoryClustersFailed},
                {"deleted_folders_not_walked", c.fatFoldersNotWalked},
                {"deleted_folders_cut_short", c.fatFoldersCutShort},
                {"tail_entries_left", c.fatTailEntriesKept}};
    }
    return {{"covered", covered}, {"not_covered", left}};
}

// --verify after the writes: a fresh search of the volume must list none of `wiped`.
// False (with the names printed, or why the search failed) when it does.
bool NoneFoundAgain(const OpContext& op, const volume::CVolumeSession& vol,
                    const std::vector<volume::RecoverableFile>& wiped, wipe::Receipt& receipt) {
    const std::string found = volume::CheckNoneFoundAgain(op, vol, wiped, receipt);
    if (!found.empty()) PrintError(found);
    return found.empty();
}

void RegisterWipeTraces(CLI::App& app, Env& env) {
    auto* cmd = app.add_subcommand(
        "wipe-traces",
        "Overwrite what is left of deleted files found by 'search' and clear their NTFS record "
        "or FAT32 directory entry");
    static std::string source;
    static ItemSelection sel;
    static int passes = 0;
    static bool deletedFolders = false, journal = false, json = false, verify = false;
    static std::string report;
    static DestructiveOptions opts;
    cmd->add_option("SOURCE", source, "Volume image file, block device or mounted folder")
        ->required();
    AddSelectionOptions(cmd, sel);
    cmd->add_flag("--journal", journal,
                  "NTFS: also reset the journal ($LogFile) of a volume that is not mounted and "
                  "was unmounted cleanly");
    cmd->add_flag("--json", json, "Print the outcome and what it covered as JSON");
    cmd->add_option("--passes", passes,
                    "Overwrite passes, 1 to 7 (default: the NumOverwrites setting)")
        ->check(CLI::Range(1, 7));
    AddDeletedFoldersOption(cmd, deletedFolders);
    cmd->add_flag("--verify", verify,
                  "Read the last pass of every overwritten cluster back from the volume, and "
                  "search the volume again afterwards: fail where a cluster differs or a wiped "
                  "file is still found");
    AddReportOption(cmd, report);
    AddDestructiveOptions(cmd, opts);
    cmd->callback([&env] {
        const bool journalOnly = journal && !sel.all && sel.locations.empty();
        if (!sel.all && sel.locations.empty() && !journal) {
            // Said before the search, which may take long on a large volume.
            PrintError(Str<324>());
            return env.Fail(kUsage);
        }
        const int passCount = passes > 0 ? passes : env.DefaultPasses();
        CommandOperation progress;
        Operation& op = progress.Op();
        volume::SessionOpenOptions oo;
        // A real run needs the raw-write gate's consent, asked before the search. A dry
        // run only reads, but asks the gate all the same (opening for writing writes
        // nothing), so that it ends as the real run would.
        oo.access = opts.dryRun ? volume::RawAccess::ReadOnly : volume::RawAccess::Write;
        oo.searchOptions.deletedFolders = deletedFolders;
        volume::CVolumeSession vol;
        std::string gateRefusal;
        if (opts.dryRun && vol.Resolve(source).IsOk()) gateRefusal = vol.WriteRefusal();
        int rc = Report(vol.Open(op, source, oo));
        progress.Finish();
        if (rc != kOk) return env.Fail(rc);
        std::vector<const volume::RecoverableFile*> items;
        if (int sc = journalOnly ? kOk : SelectItems(vol, sel, Str<324>(), &items); sc != kOk)
            return env.Fail(sc);
        // The files inside a chosen deleted folder come with it, and before it.
        items = vol.TraceWipeOrder(items);
        const std::string& driveName = vol.Source().driveName;
        const bool ntfs = vol.Fs() == volume::FileSystemKind::Ntfs;
        if (journal && !ntfs) {
            PrintError(driveName + " is FAT32: --journal works on NTFS volumes only");
            return env.Fail(kRefused);
        }
        // --all also takes the folder traces, which deleted files leave even when none of
        // them is listed any more: on NTFS the records and indexes, on FAT32 the unused
        // tails of the live directory clusters.
        const bool volumeWide = ntfs ? (sel.all || journal) : sel.all;
        const bool tails = sel.all && !ntfs;
        if (items.empty()) {
            const std::string none = "Nothing to wipe: no recoverable files on " + driveName;
            json ? Note(none) : Out(none);
        }
        if (items.empty() && !volumeWide) {
            if (!gateRefusal.empty()) {
                PrintError("the real run would be refused: " + gateRefusal);
                return env.Fail(kRefused);
            }
            return;
        }

        // The plan: what --dry-run shows and what the run executes.
        uint64_t planned = 0;
        size_t refused = 0;
        for (const auto* f : items) {
            const volume::TracePlan p = vol.PlanTraceWipe(op, *f, passCount);
            planned += p.BytesToWrite();
            if (!p.refusal.empty()) ++refused;
            if (opts.dryRun) Out(PlanLine(*f, p));
        }
        if (opts.dryRun) {
            if (tails) {
                volume::TraceCoverage cov;
                vol.ClearDirectoryTails(op, false, cov);
                Out(std::to_string(cov.fatTailsCleared) + " of the " +
                    std::to_string(cov.fatDirectoryClusters) +
                    " directory clusters of live folders hold old bytes past their end: their "
                    "unused tails would be cleared");
            }
            Out("Dry run: " + std::to_string(items.size()) + " file" +
                (items.size() == 1 ? "" : "s") + ", " + FormatSize(planned, "%2.2f") +
                " would be written on " + driveName + "; nothing was changed");
            if (ntfs && sel.all)
                Out("Every deleted file and folder record and the unused space of the folder "
                    "indexes would be cleared too");
            if (journal) Out("The journal would be reset if it is clean");
            PrintCaveats({vol.Source().raw});
            // Exit as the real run would: refused by the gate, or with the files it
            // cannot wipe counted as failures.
            if (!gateRefusal.empty()) {
                PrintError("the real run would be refused: " + gateRefusal);
                return env.Fail(kRefused);
            }
            if (refused > 0) {
                PrintError(std::to_string(refused) + " of the files cannot be wiped (see above)");
                return env.Fail(kFailed);
            }
            return;
        }
        std::string what =
            std::to_string(items.size()) + " deleted file" + (items.size() == 1 ? "" : "s");
        if (ntfs && sel.all) what += " and the folder traces";
        if (journal) what += (ntfs && sel.all) ? ", and the journal," : " and the journal";
        if (!Confirm("Wipe the traces of " + what + " on " + driveName + " with " +
                         std::to_string(passCount) + " pass" + (passCount == 1 ? "" : "es") +
                         (tails ? " and clear the unused tails of its directory clusters" : "") +
                         "? This cannot be undone.",
                     opts))
            return env.Fail(kRefused);
        if (!json) Note(Str<398>() + " (Ctrl-C: " + Str<411>() + ")");
        op.SetLog(RecoveryLog(env));
        LogCaveats({vol.Source().raw}, op.Log());
        wipe::Receipt receipt = volume::VolumeReceipt("wipe-traces", source, vol);
        receipt.passes = passCount;
        receipt.verifyRequested = verify;
        vol.verifyLastPass = verify;
        std::vector<volume::RecoverableFile> wiped;  // what a fresh search must not list
        nlohmann::json results = nlohmann::json::array();
        uint64_t recordsScrubbed = 0;
        volume::TraceRunResult run =
            vol.WipeTraces(op, items, passCount,
                           [&](const volume::RecoverableFile& f, const volume::TraceWipeResult& r) {
                               progress.Finish();
                               if (r.recordScrubbed) ++recordsScrubbed;
                               volume::AddTraceToReceipt(f, r, receipt);
                               if (r.outcome == Outcome::Ok) wiped.push_back(f);
                               if (json) {
                                   nlohmann::json j = nlohmann::json::object();
                                   JsonName(j, "name", volume::TraceItemText(f));
                                   j["location"] = f.location;
                                   j["outcome"] = r.outcome == Outcome::Ok        ? "wiped"
                                                  : r.outcome == Outcome::Stopped ? "stopped"
                                                                                  : "failed";
                                   if (r.outcome == Outcome::Failed) j["error"] = r.error;
                                   if (r.needsFolderWalk) j["walk_switch"] = kWalkSwitch;
                                   j["clusters_wiped"] = r.clustersWiped;
                                   results.push_back(std::move(j));
                                   return;
                               }
                               Out(ResultLine(f, r));
                               std::cout << std::flush;
                           });
        volume::TraceCoverage& coverage = run.coverage;
        coverage.records += recordsScrubbed;
        // The folder traces and the journal come after the files: a stop ends the run.
        if (ntfs && sel.all && !run.stopped) {
            // Every deleted record, also of files no longer listed (their data was
            // overwritten already, or they had none), then the folders.
            const Outcome o = vol.ScrubDeletedRecords(
                op,
                [&](const volume::RecoverableFile& f) {
                    volume::AddScrubbedRecordToReceipt(f, vol.Ntfs()->Boot().recordSize, receipt);
                    wiped.push_back(f);
                },
                &coverage);
            if (o == Outcome::Stopped) run.stopped = true;
            if (o == Outcome::Failed) {
                ++run.failed;
                PrintError("the deleted records and folder traces on " + driveName +
                           " could not all be written: " + ErrorText(vol.Drive().LastError()));
            }
        }
        if (journal && !run.stopped && !vol.ResetJournal(&coverage)) ++run.failed;
        if (tails && !run.stopped) {
            // After the items: a deleted entry past a folder's end marker is an item's
            // trace first, cleared with its data.
            const Outcome o = vol.ClearDirectoryTails(op, true, coverage);
            if (o == Outcome::Stopped) run.stopped = true;
            if (o == Outcome::Failed) {
                ++run.failed;
                PrintError(Str<1728>());
            }
        }
        vol.CloseDrive();
        progress.Finish();
        if (verify && !run.stopped && !wiped.empty() && !NoneFoundAgain(op, vol, wiped, receipt))
            ++run.failed;
        // Every cluster read back, nothing found again.
        wipe::ConcludeReadBack(receipt, !run.stopped && !wiped.empty());
        receipt.outcome = run.stopped ? "stopped" : run.failed > 0 ? "failed" : "completed";
        SaveReceipt(receipt, report, env);
        const std::vector<std::string> covered = volume::CoverageLines(coverage);
        for (const std::string& line : covered) {
            LogToFile(line, op.Log());
            if (!json) Out(line);
        }
        if (json) {
            nlohmann::json j{{"wiped", run.wiped},
                             {"failed", run.failed},
                             {"stopped", run.stopped},
                             {"items", std::move(results)},
                             {"notes", covered}};
            if (verify) j["verified"] = receipt.verified.value_or(false);
            j.update(CoverageJson(coverage, ntfs));
            PrintJson(j);
        } else {
            std::cout << (run.stopped ? S<414> : S<402>) << ": " << run.wiped << " wiped, "
                      << run.failed << " failed\n";
        }
        if (run.failed > 0 || run.stopped) env.Fail(kFailed);
    });
}

void RegisterScrubMft(CLI::App& app, Env& env) {
    auto* cmd = app.add_subcommand(
        "scrub-mft",
        "Scrub every deleted file record of an NTFS volume so that no name, time or "
        "data run of a deleted file is left in the $MFT");
    static std::string source, report;
    static bool verify = false;
    static DestructiveOptions opts;
    cmd->add_option("SOURCE", source, "NTFS volume image file, block device or mounted folder")
        ->required();
    cmd->add_flag("--verify", verify,
                  "Search the volume again afterwards and fail where a scrubbed record is "
                  "still found");
    AddReportOption(cmd, report);
    AddDestructiveOptions(cmd, opts);
    cmd->callback([&env] {
        volume::SessionOpenOptions oo;
        oo.search = false;
        oo.access = opts.dryRun ? volume::RawAccess::ReadOnly : volume::RawAccess::Write;
        volume::CVolumeSession vol;
        if (int rc = Report(vol.Open(Operation(), source, oo)); rc != kOk) return env.Fail(rc);
        const std::string& driveName = vol.Source().driveName;
        if (vol.Fs() != volume::FileSystemKind::Ntfs) {
            PrintError(driveName + " is FAT32: scrub-mft works on NTFS volumes only");
            return env.Fail(kRefused);
        }
        if (opts.dryRun) {
            if (Error why; !vol.LoadNtfs(&why)) {
                PrintError(driveName + ": the NTFS metadata cannot be read: " + ErrorText(why));
                return env.Fail(kFailed);
            }
            Out("Dry run: the deleted file records among the " +
                std::to_string(vol.Ntfs()->RecordCount()) + " records of the $MFT of " + driveName +
                " would be scrubbed; nothing was changed");
            PrintCaveats({vol.Source().raw});
            // As the real run would end: refused by the raw-write gate (opening for
            // writing writes nothing).
            if (std::string why = vol.WriteRefusal(); !why.empty()) {
                PrintError("the real run would be refused: " + why);
                return env.Fail(kRefused);
            }
            return;
        }
        if (!Confirm("Scrub every deleted file record on " + driveName +
                         "? Deleted files there can no longer be found or recovered.",
                     opts))
            return env.Fail(kRefused);
        CommandOperation progress;
        Operation& op = progress.Op();
        wipe::Receipt receipt = volume::VolumeReceipt("scrub-mft", source, vol);
        receipt.verifyRequested = verify;
        std::vector<volume::RecoverableFile> scrubbedItems;
        volume::TraceCoverage coverage;
        const Outcome o = vol.ScrubDeletedRecords(
            op, [&](const volume::RecoverableFile& f) { scrubbedItems.push_back(f); }, &coverage);
        const uint64_t scrubbed = scrubbedItems.size();
        vol.CloseDrive();
        progress.Finish();
        for (const volume::RecoverableFile& f : scrubbedItems)
            volume::AddScrubbedRecordToReceipt(f, vol.Ntfs()->Boot().recordSize, receipt);
        const bool found = o == Outcome::Ok && verify && !scrubbedItems.empty() &&
                           !NoneFoundAgain(op, vol, scrubbedItems, receipt);
        wipe::ConcludeReadBack(receipt, o == Outcome::Ok && !scrubbedItems.empty());
        receipt.outcome = o == Outcome::Stopped                                    ? "stopped"
                          : o == Outcome::Failed || vol.Ntfs()->Failure() || found ? "failed"
                                                                                   : "completed";
        SaveReceipt(receipt, report, env);
        if (const auto& why = vol.Ntfs()->Failure()) {
            PrintError(driveName + ": the NTFS metadata cannot be read: " + ErrorText(*why));
            return env.Fail(kFailed);
        }
        if (found) env.Fail(kFailed);
        const std::string count =
            std::to_string(scrubbed) + " deleted file record" + (scrubbed == 1 ? "" : "s");
        if (o == Outcome::Failed) {
            PrintError("a scrubbed record could not be written back to " + driveName + " (" +
                       count + " scrubbed before it)");
            return env.Fail(kFailed);
        }
        if (o == Outcome::Stopped) {
            Out("Stopped: " + count + " scrubbed on " + driveName);
            return env.Fail(kFailed);
        }
        Out("Scrubbed " + count + " on " + driveName);
        for (const std::string& line : volume::CoverageLines(coverage)) Out(line);
    });
}

CommandRegistrar regWipe(RegisterWipeTraces);
CommandRegistrar regScrub(RegisterScrubMft);

}  // namespace
}  // namespace tw::cli
