// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/error.h"

#include <cerrno>
#include <cstring>

#include "platform/strings.h"

namespace tw {

namespace {

// Ids of the general texts in resources/strings.tsv, one per code.
constexpr int kAsIsText = 1000;         // "%1": the subject, when the errno says what failed
constexpr int kOffsetText = 1098;       // " (offset %2)": an offset the text has no place for
constexpr int kUnknownCodeText = 1099;  // a code this build has no text for

int GeneralTextId(ErrorCode c) {
    switch (c) {
        case ErrorCode::NotFound:
            return 1001;
        case ErrorCode::Exists:
            return 1002;
        case ErrorCode::Locked:
            return 1003;
        case ErrorCode::Busy:
            return 1004;
        case ErrorCode::ReadOnly:
            return 1005;
        case ErrorCode::Immutable:
            return 1006;
        case ErrorCode::Denied:
            return 1007;
        case ErrorCode::NotRegularFile:
            return 1008;
        case ErrorCode::NotFolder:
            return 1009;
        case ErrorCode::OnAnotherMount:
            return 1010;
        case ErrorCode::Mounted:
            return 1011;
        case ErrorCode::Unsupported:
            return 1012;
        case ErrorCode::Corrupt:
            return 1013;
        case ErrorCode::ShortRead:
            return 1014;
        case ErrorCode::NoSpace:
            return 1015;
        case ErrorCode::Io:
            return 1016;
        case ErrorCode::Invalid:
            return 1017;
        case ErrorCode::Changed:
            return 1018;
        case ErrorCode::TooDeep:
            return 1019;
        case ErrorCode::Stopped:
            return 1020;
        case ErrorCode::Mismatch:
            return 1760;
    }
    return kUnknownCodeText;
}

// Replaces each %1, %2, %3 in `text` (once per occurrence, never inside what was
// filled in, so a subject holding "%2" stays as it is).
std::string Fill(std::string_view text, const std::string_view args[3], bool* usedOffset) {
    std::string out;
    out.reserve(text.size() + 64);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '3') {
            const int n = text[i + 1] - '1';
            out += args[n];
            if (n == 1) *usedOffset = true;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

Error Error::FromErrno(std::string what) { return FromErrno(errno, std::move(what)); }

Error Error::FromErrno(int err, std::string what) {
    return Error(CodeForErrno(err), std::move(what), err);
}

ErrorCode CodeForErrno(int err) {
    switch (err) {
        case ENOENT:
            return ErrorCode::NotFound;
        case EEXIST:
        case ENOTEMPTY:
            return ErrorCode::Exists;
        case EWOULDBLOCK:
            return ErrorCode::Locked;
        case EBUSY:
        case ETXTBSY:
            return ErrorCode::Busy;
        case EROFS:
            return ErrorCode::ReadOnly;
        case EACCES:
        case EPERM:
            return ErrorCode::Denied;
        case EISDIR:
            return ErrorCode::NotRegularFile;
        case ENOTDIR:
            return ErrorCode::NotFolder;
        case EXDEV:
            return ErrorCode::OnAnotherMount;
        case ENOTSUP:
            return ErrorCode::Unsupported;
        case ENOSPC:
        case EDQUOT:
            return ErrorCode::NoSpace;
        case EINVAL:
            return ErrorCode::Invalid;
        case ELOOP:
            return ErrorCode::TooDeep;
        default:
            return ErrorCode::Io;
    }
}

std::string ErrorText(const Error& e) {
    std::string_view text;
    if (e.textId != 0)
        text = Text(e.textId);
    else if (e.errnum != 0)
        text = Text(kAsIsText);  // the errno's own text below says what went wrong
    if (text.empty()) text = Text(GeneralTextId(e.code));
    if (text.empty()) text = Text(kUnknownCodeText);
    const std::string offset = e.offset >= 0 ? std::to_string(e.offset) : std::string();
    const std::string_view args[3] = {e.subject, offset, e.detail};
    bool usedOffset = false;
    std::string out = Fill(text, args, &usedOffset);
    if (e.offset >= 0 && !usedOffset) out += Fill(Text(kOffsetText), args, &usedOffset);
    if (e.errnum != 0) {
        out += ": ";
        out += std::strerror(e.errnum);
    }
    return out;
}

std::string TextWith(int id, std::string_view a1, std::string_view a2, std::string_view a3) {
    const std::string_view args[3] = {a1, a2, a3};
    bool usedOffset = false;
    return Fill(Text(id), args, &usedOffset);
}

}  // namespace tw
