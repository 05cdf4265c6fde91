// SPDX-License-Identifier: GPL-3.0-or-later
// wipe-traces SOURCE (--location N ... | --all) [--passes N]: overwrite what is left of
// found deleted files and clear their record or directory entries.
// scrub-mft SOURCE: scrub every deleted file record of an NTFS volume.
//
// Both write below the file system: SOURCE (an image file, a block device, or the
// device behind a mounted folder) is opened for writing only through the raw-write
// gate, which refuses a volume mounted read-write (exit 3).
#include <iostream>
#include <set>

#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "cli/volume_select.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "volume/search.h"
#include "volume/traces.h"

namespace tw::cli {
namespace {

std::string PlanLine(const volume::RecoverableFile& f, const volume::TracePlan& p) {
    std::string line = volume::TraceItemText(f) + ": ";
    if (!p.refusal.empty()) return line + "cannot be wiped: " + p.refusal;
    line += std::to_string(p.clusters.size()) + " cluster" + (p.clusters.size() == 1 ? "" : "s") +
            " x " + std::to_string(p.passCount) + " pass" + (p.passCount == 1 ? "" : "es") + " (" +
            FormatSize(p.BytesToWrite(), "%2.2f") + ")";
    if (p.resident) line += ", data inside the record";
    if (p.clustersInUse) line += ", " + std::to_string(p.clustersInUse) + " in use left alone";
    if (p.clustersProtected)
        line += ", " + std::to_string(p.clustersProtected) + " protected left alone";
    line += p.fs == volume::FileSystemKind::Ntfs ? ", then its record scrubbed"
                                                 : ", then its directory entry cleared";
    return line;
}

std::string ResultLine(const volume::RecoverableFile& f, const volume::TraceWipeResult& r) {
    const std::string text = volume::TraceItemText(f);
    if (r.outcome == Outcome::Stopped) return "stopped: " + text;
    if (r.outcome != Outcome::Ok) return Str<401>() + " " + text + ": " + r.error;
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

void RegisterWipeTraces(CLI::App& app, Env& env) {
    auto* cmd = app.add_subcommand(
        "wipe-traces",
        "Overwrite what is left of deleted files found by 'search' and clear their NTFS record "
        "or FAT32 directory entry");
    static std::string source;
    static ItemSelection sel;
    static int passes = 0;
    static bool deletedFolders = false;
    static DestructiveOptions opts;
    cmd->add_option("SOURCE", source, "Volume image file, block device or mounted folder")
        ->required();
    AddSelectionOptions(cmd, sel);
    cmd->add_option("--passes", passes,
                    "Overwrite passes, 1 to 7 (default: the NumOverwrites setting)")
        ->check(CLI::Range(1, 7));
    AddDeletedFoldersOption(cmd, deletedFolders);
    AddDestructiveOptions(cmd, opts);
    cmd->callback([&env] {
        if (!sel.all && sel.locations.empty()) {
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
        if (int sc = SelectItems(vol, sel, Str<324>(), &items); sc != kOk) return env.Fail(sc);
        const std::string& driveName = vol.Source().driveName;
        if (items.empty()) {
            Out("Nothing to wipe: no recoverable files on " + driveName);
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
            Out("Dry run: " + std::to_string(items.size()) + " file" +
                (items.size() == 1 ? "" : "s") + ", " + FormatSize(planned, "%2.2f") +
                " would be written on " + driveName + "; nothing was changed");
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
        if (!Confirm("Wipe the traces of " + std::to_string(items.size()) + " deleted file" +
                         (items.size() == 1 ? "" : "s") + " on " + driveName + " with " +
                         std::to_string(passCount) + " pass" + (passCount == 1 ? "" : "es") +
                         "? This cannot be undone.",
                     opts))
            return env.Fail(kRefused);
        Note(Str<398>() + " (Ctrl-C: " + Str<411>() + ")");
        op.SetLog(RecoveryLog(env));
        LogCaveats({vol.Source().raw}, op.Log());
        const volume::TraceRunResult run = vol.WipeTraces(
            op, items, passCount,
            [&progress](const volume::RecoverableFile& f, const volume::TraceWipeResult& r) {
                progress.Finish();
                Out(ResultLine(f, r));
                std::cout << std::flush;
            });
        vol.CloseDrive();
        progress.Finish();
        std::cout << (run.stopped ? S<414> : S<402>) << ": " << run.wiped << " wiped, "
                  << run.failed << " failed\n";
        if (run.failed > 0 || run.stopped) env.Fail(kFailed);
    });
}

void RegisterScrubMft(CLI::App& app, Env& env) {
    auto* cmd = app.add_subcommand(
        "scrub-mft",
        "Scrub every deleted file record of an NTFS volume so that no name, time or "
        "data run of a deleted file is left in the $MFT");
    static std::string source;
    static DestructiveOptions opts;
    cmd->add_option("SOURCE", source, "NTFS volume image file, block device or mounted folder")
        ->required();
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
        uint64_t scrubbed = 0;
        const Outcome o = vol.ScrubDeletedRecords(
            op, [&scrubbed](const volume::RecoverableFile&) { ++scrubbed; });
        vol.CloseDrive();
        progress.Finish();
        if (const auto& why = vol.Ntfs()->Failure()) {
            PrintError(driveName + ": the NTFS metadata cannot be read: " + ErrorText(*why));
            return env.Fail(kFailed);
        }
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
    });
}

CommandRegistrar regWipe(RegisterWipeTraces);
CommandRegistrar regScrub(RegisterScrubMft);

}  // namespace
}  // namespace tw::cli
