// SPDX-License-Identifier: GPL-3.0-or-later
// The index file of one Trash item: "<trash>/info/<name>.trashinfo".
//
//   [Trash Info]
//   Path=/home/ann/My%20Notes/caf%C3%A9.txt
//   DeletionDate=2024-03-05T14:30:07
//
// Path= is the item's original location, percent-encoded byte by byte (UTF-8 bytes of
// non-ASCII names included); absolute, or relative to the folder that holds the trash
// directory (the volume's top folder for a per-volume trash). DeletionDate= is local
// wall-clock time without a zone. Index files come from any program that shares the
// Trash, and per-volume trashes travel on removable media, so the parser treats the
// text as hostile: bounded size, strict percent escapes, no NUL bytes, no "." or ".."
// components in Path=.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/filetime.h"

namespace tw::recyclebin {

// Index files larger than this are not index files.
inline constexpr size_t kMaxTrashInfoBytes = 64 * 1024;

// Percent-encodes `path` the way the Trash index stores it: letters, digits, "-", "_",
// ".", "~" and "/" stay as they are; every other byte becomes "%XX" (upper case hex).
std::string PercentEncodePath(std::string_view path);

// Decodes "%XX" escapes. nullopt for a truncated or non-hex escape and for an escape
// that decodes to a NUL byte (a path cannot hold one).
std::optional<std::string> PercentDecode(std::string_view text);

// "YYYY-MM-DDThh:mm:ss" of the local time `t`.
std::string FormatDeletionDate(time_t t);

// The fields of a DeletionDate= value; nullopt unless it is "YYYY-MM-DDThh:mm:ss" with
// fields in range (a trailing fraction or zone, written by some programs, is ignored).
struct DeletionDate {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
std::optional<DeletionDate> ParseDeletionDate(std::string_view text);
// "YYYY-MM-DD hh:mm:ss" for display.
std::string DisplayDate(const DeletionDate& d);
// The local wall-clock fields as a UTC FILETIME (through mktime); 0 when out of range.
FileTime DeletionDateToFileTime(const DeletionDate& d);

// One parsed index file.
struct TrashInfo {
    std::string path;                  // Path=, decoded; absolute or relative as stored
    std::optional<DeletionDate> date;  // DeletionDate=; nullopt when missing or unreadable
    std::string dateText;              // the raw DeletionDate= value ("" when missing)
};

// Parses index file text. nullopt (malformed) when the "[Trash Info]" group is missing,
// when it holds no Path= key, when Path= is empty, badly escaped, or has an empty, "."
// or ".." component in a relative path or ".." anywhere, or when the text is larger
// than kMaxTrashInfoBytes. A missing or unreadable DeletionDate= is not malformed: the
// item is listed with an unknown date. Unknown keys and other groups are ignored;
// lines may end in LF or CR LF; blank lines and "#" comments are skipped.
std::optional<TrashInfo> ParseTrashInfo(std::string_view text);

// The index file text for `path` (stored as given: the caller decides absolute or
// relative) and deletion time `t`.
std::string FormatTrashInfo(std::string_view path, time_t t);

}  // namespace tw::recyclebin
