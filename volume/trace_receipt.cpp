// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/trace_receipt.h"

#include "platform/error.h"
#include "platform/strings.h"

namespace tw::volume {

wipe::Receipt VolumeReceipt(const std::string& command, const std::string& source,
                            const CVolumeSession& vol) {
    wipe::Receipt r = wipe::StartReceipt(command, vol.Source().raw);
    r.targetPath = source;
    if (r.device.empty()) r.device = vol.Source().raw;
    if (r.fileSystem.empty()) r.fileSystem = vol.Fs() == FileSystemKind::Ntfs ? "ntfs" : "vfat";
    return r;
}

void AddTraceToReceipt(const RecoverableFile& f, const TraceWipeResult& r, wipe::Receipt& receipt) {
    receipt.bytesOverwritten += r.bytesWritten;
    receipt.items.push_back({TraceItemText(f), r.bytesWritten, r.outcome == Outcome::Ok, r.error});
    if (r.readBack) wipe::NoteReadBackFailure(receipt, ErrorText(*r.readBack));
}

void AddScrubbedRecordToReceipt(const RecoverableFile& f, uint64_t recordBytes,
                                wipe::Receipt& receipt) {
    receipt.bytesOverwritten += recordBytes;
    receipt.items.push_back({TraceItemText(f), recordBytes, true, {}});
}

std::string CheckNoneFoundAgain(const OpContext& op, const CVolumeSession& vol,
                                const std::vector<RecoverableFile>& wiped, wipe::Receipt& receipt) {
    std::vector<std::string> still;
    const SessionStatus s = vol.SearchAgain(op, wiped, &still);
    std::string detail;
    if (!s.IsOk()) {
        for (const std::string& line : s.lines) detail += (detail.empty() ? "" : "; ") + line;
        detail = "the volume could not be searched again: " + detail;
    } else if (!still.empty()) {
        std::string names;
        for (const std::string& n : still) names += (names.empty() ? "" : ", ") + n;
        detail = TextWith(TextId<1764>, vol.Source().driveName, {}, names);
    }
    if (!detail.empty()) wipe::NoteReadBackFailure(receipt, detail);
    return detail;
}

}  // namespace tw::volume
