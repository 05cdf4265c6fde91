// SPDX-License-Identifier: GPL-3.0-or-later
// Erasure receipts: what a destructive run did, kept as a JSON file the user can hold on
// to. The format is docs/receipt-schema.json ("schemaVersion": 1); a change that a reader
// of version 1 would misread takes a new version number.
//
// A receipt names what was erased (paths, the volume, the device) and how, never what
// the files held: no byte of any file's content goes into it.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/result.h"

namespace tw::wipe {

inline constexpr int kReceiptSchemaVersion = 1;

// One thing a run erased (a file, a trace, a fill of free space).
struct ReceiptItem {
    std::string path;
    uint64_t bytes = 0;  // bytes overwritten for it, over all passes
    bool erased = false;
    std::string reason;  // why not, when not erased
};

struct Receipt {
    std::string command;  // "wipe", "free-space", "slack", ...

    // What was erased: the path or volume named, and the volume it lies on.
    std::string targetPath;
    std::string volume;      // mount point
    std::string fileSystem;  // "ext4", "fuseblk", ...
    std::string device;      // "/dev/sda2", or the source of a virtual file system
    std::string deviceModel;
    std::string deviceSerial;
    std::string caveat;  // what an overwrite on this volume cannot reach

    // How: the pass table's rows for `passes` passes.
    int passes = 0;
    bool randomMode = false;
    // The pattern of each pass when the run does not follow the pass table's rows (the
    // slack wipe ends in zero passes); empty: PassPatterns(passes, randomMode).
    std::vector<std::string> patterns;

    uint64_t bytesOverwritten = 0;
    std::chrono::system_clock::time_point started{};
    std::chrono::system_clock::time_point finished{};

    bool verifyRequested = false;
    std::optional<bool> verified;  // the read-back's result, when it ran
    std::string verifyDetail;      // what failed, when it did

    std::string outcome = "completed";  // "completed", "failed" or "stopped"
    std::vector<ReceiptItem> items;
};

// The read-back's result. A difference found fails the check, and the first one noted is
// the one the receipt tells. At the end of a run, ConcludeReadBack passes the check when
// it was asked for, something was read back (`anythingRead`, as the run counts it) and no
// difference was noted; a run that read nothing back says "not run".
void NoteReadBackFailure(Receipt& r, const std::string& detail);
void ConcludeReadBack(Receipt& r, bool anythingRead);

// One file's entry: `bytes` written over it and, when it was not erased, why (the
// read-back's failure when there was one, else `whyNot`); a failed read-back fails the
// check.
void AddFileToReceipt(Receipt& r, const std::string& path, uint64_t bytes, bool erased,
                      const std::optional<Error>& readBack, const std::string& whyNot);

// A receipt for `command` on `target`, started now, with the facts of the volume the
// target lies on (SetVolumeFacts).
Receipt StartReceipt(std::string command, const std::string& target);

// The volume `path` lies on: its mount point, file system and device, and the device's
// model, serial and the volume's caveat where they are known.
void SetVolumeFacts(Receipt& r, const std::string& path);

// The pattern of each pass, in order ("0x00", "0xFF", "random", "random byte repeated",
// "complement of the previous pass"), by the pass table.
std::vector<std::string> PassPatterns(int passes, bool randomMode);

// The receipt as JSON, with the program's version and this host's name.
nlohmann::json ReceiptJson(const Receipt& r);

// Writes the receipt to `file` (replacing it whole, never leaving half a file).
Result<void> WriteReceipt(const Receipt& r, const std::string& file);

// A receipt file read back: refused (Corrupt) when it is not JSON or lacks what every
// receipt holds, (Unsupported) when its schema version is not one this build reads.
Result<nlohmann::json> ReadReceipt(const std::string& file);

// The receipt in lines for people.
std::vector<std::string> ReceiptLines(const nlohmann::json& receipt);

// Where the clean-up run, the guard and the panel keep their receipts: a folder
// "receipts" in the log folder, beside the logs; and a new file name in it for `command`, from the
// time. Both are empty for a log folder that is not an absolute path (not resolved yet),
// and WriteReceipt refuses an empty file name.
std::string ReceiptFolder(const std::string& logFolder);
std::string NewReceiptPath(const std::string& logFolder, const std::string& command);

// Finishes the receipt (now) and keeps it under a new name in the receipts folder of
// `logFolder`: empty when kept, else the sentence saying where it could not be written.
std::string KeepReceipt(Receipt& r, const std::string& logFolder);

}  // namespace tw::wipe
