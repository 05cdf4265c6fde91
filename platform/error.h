// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's one error type and the one function that turns it into words.
//
// An Error says what went wrong (a code a caller can branch on), the errno behind it
// (0 when there is none), what it happened to (a path, a device, a record) and where
// (a byte offset, -1 when none). It holds no sentence: ErrorText builds the text from
// the string table when a front end shows or logs it, so the engine never writes
// English and every text the user reads lives in resources/strings.tsv.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/strings.h"

namespace tw {

// The id of a text of the string table for Error::Says, checked at compile time like
// S<Id>: an id missing from resources/strings.tsv fails the build.
template <int Id>
inline constexpr int TextId = S<Id>.empty() ? Id : Id;

// What went wrong. Each code has a general text (ids from 1000 up in strings.tsv); an
// Error may name a more precise one of its own (Error::Says).
enum class ErrorCode : uint8_t {
    NotFound,        // the path, record or device is not there (or is gone)
    Exists,          // the name is taken
    Locked,          // another program holds a lock on it
    Busy,            // in use (a mounted device, a file being executed)
    ReadOnly,        // read-only: its mode, its file system or how it was opened
    Immutable,       // the immutable or append-only attribute is set
    Denied,          // no permission
    NotRegularFile,  // a folder, a link, a device... where a regular file was needed
    NotFolder,       // a file where a folder was needed
    OnAnotherMount,  // on another file system than the one being worked on
    Mounted,         // mounted read-write, so not to be written below its file system
    Unsupported,     // this kind of file system, file or request is not handled
    Corrupt,         // on-disk data that breaks the format's rules
    ShortRead,       // the source ended before the data it should hold
    NoSpace,         // the file system is full
    Io,              // the system refused a read, a write or another call
    Invalid,         // a request that makes no sense (a folder inside itself, a bad range)
    Changed,         // it changed while it was being worked on
    TooDeep,         // nesting beyond what is ever walked
    Stopped,         // the user asked to stop
    Mismatch,        // what was read back differs from what was written (at the offset)
};

// Texts for a failed system call on a path, shared by every module: with the errno's
// text after them they say what was being done and what went wrong.
inline constexpr int kCannotExamine = TextId<1200>;
inline constexpr int kCannotOpen = TextId<1201>;
inline constexpr int kCannotCreate = TextId<1202>;
inline constexpr int kCannotRead = TextId<1203>;
inline constexpr int kCannotWrite = TextId<1204>;
inline constexpr int kCannotCopy = TextId<1205>;
inline constexpr int kCannotList = TextId<1206>;
inline constexpr int kCannotFlush = TextId<1207>;
inline constexpr int kCannotClose = TextId<1208>;
inline constexpr int kCannotChmod = TextId<1209>;
inline constexpr int kCannotRemove = TextId<1210>;
inline constexpr int kCannotRename = TextId<1211>;  // %3: the new name
inline constexpr int kCannotResolve = TextId<1212>;
inline constexpr int kCannotWriteCopy = TextId<1213>;
inline constexpr int kCannotReadLink = TextId<1214>;

struct Error {
    ErrorCode code = ErrorCode::Io;
    int errnum = 0;       // errno, 0 when none
    std::string subject;  // %1: what it happened to (path, device, record)
    int64_t offset = -1;  // %2: byte offset (or record number), -1 when none
    std::string detail;   // %3: a second name some texts need (a mount point, a target)
    int textId = 0;       // a precise text of its own; 0 uses the code's general text

    Error() = default;
    explicit Error(ErrorCode c, std::string what = {}, int err = 0)
        : code(c), errnum(err), subject(std::move(what)) {}

    // An error from the errno left by the call that just failed; the code follows
    // from the errno (ENOENT: NotFound, EROFS: ReadOnly, ENOSPC: NoSpace...).
    static Error FromErrno(std::string what);
    static Error FromErrno(int err, std::string what);

    Error& At(int64_t off) & {
        offset = off;
        return *this;
    }
    Error&& At(int64_t off) && {
        offset = off;
        return std::move(*this);
    }
    Error& With(std::string d) & {
        detail = std::move(d);
        return *this;
    }
    Error&& With(std::string d) && {
        detail = std::move(d);
        return std::move(*this);
    }
    Error& Says(int id) & {
        textId = id;
        return *this;
    }
    Error&& Says(int id) && {
        textId = id;
        return std::move(*this);
    }
};

// The code an errno stands for (Io for the ones without a code of their own).
ErrorCode CodeForErrno(int err);

// The text of `e`, the only place an error becomes words: the error's own text (or its
// code's general text; an unknown code gets a text saying so) with %1 the subject, %2
// the offset and %3 the detail filled in, then ": " and strerror(errnum) when there is
// an errno. An offset the text has no place for is added as " (offset N)".
std::string ErrorText(const Error& e);

// The text `id` of the string table with each %1, %2, %3 replaced by a1, a2, a3 (what
// is filled in is never scanned again). For the engine's own lines (log lines, notes,
// reports) that are not errors; an error goes through ErrorText. "" for an unknown id.
std::string TextWith(int id, std::string_view a1 = {}, std::string_view a2 = {},
                     std::string_view a3 = {});

}  // namespace tw
