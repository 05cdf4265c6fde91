// SPDX-License-Identifier: GPL-3.0-or-later
// The erasure receipt of a trace wipe or a record scrub, as every front end makes it: the
// volume named, each item with the bytes written over it and the read-back's result, and
// the fresh search that must list none of the wiped items afterwards.
#pragma once

#include <string>
#include <vector>

#include "platform/operation.h"
#include "volume/recoverable.h"
#include "volume/session.h"
#include "volume/traces.h"
#include "wipe/receipt.h"

namespace tw::volume {

// A receipt for `command` on the volume `vol` has open: `source` as the user named it,
// the device or image the bytes go to, and the facts of where that lies.
wipe::Receipt VolumeReceipt(const std::string& command, const std::string& source,
                            const CVolumeSession& vol);

// One item's wipe: its name, the bytes written over it, whether it was erased, and a
// failed read-back (which makes the receipt's verification fail).
void AddTraceToReceipt(const RecoverableFile& f, const TraceWipeResult& r, wipe::Receipt& receipt);
// One deleted file record scrubbed (NTFS): its name and the `recordBytes` written over it.
void AddScrubbedRecordToReceipt(const RecoverableFile& f, uint64_t recordBytes,
                                wipe::Receipt& receipt);

// After the writes of a run with read-back: a fresh search of the volume must list none of
// `wiped`. Empty when it lists none; otherwise the text naming those it still lists (or
// why the volume could not be searched again), also kept as the receipt's failed
// verification.
std::string CheckNoneFoundAgain(const OpContext& op, const CVolumeSession& vol,
                                const std::vector<RecoverableFile>& wiped, wipe::Receipt& receipt);

}  // namespace tw::volume
