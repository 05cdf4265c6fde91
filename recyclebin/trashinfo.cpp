// SPDX-License-Identifier: GPL-3.0-or-later
#include "recyclebin/trashinfo.h"

#include <cstdio>
#include <ctime>

namespace tw::recyclebin {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Reads exactly `n` digits at `pos`; -1 if any is not a digit.
int Digits(std::string_view s, size_t pos, size_t n) {
    if (pos + n > s.size()) return -1;
    int v = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// Collapses repeated slashes and refuses paths that are empty, end in "/" (no name),
// or hold "." or ".." components: a restore must land exactly where Path= says and
// never climb out of the folder a relative path is based on.
std::optional<std::string> CheckedPath(const std::string& path) {
    if (path.empty() || path.back() == '/') return std::nullopt;
    std::string out;
    out.reserve(path.size());
    size_t i = 0;
    if (path[0] == '/') out += '/';
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        size_t end = path.find('/', i);
        if (end == std::string::npos) end = path.size();
        if (end == i) break;
        std::string_view comp(path.data() + i, end - i);
        if (comp == "." || comp == "..") return std::nullopt;
        if (!out.empty() && out.back() != '/') out += '/';
        out.append(comp);
        i = end;
    }
    if (out.empty() || out == "/") return std::nullopt;
    return out;
}

}  // namespace

std::string PercentEncodePath(std::string_view path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        if (IsUnreserved(c) || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\0') return std::nullopt;
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        int hi = HexValue(text[i + 1]);
        int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        char decoded = static_cast<char>(hi * 16 + lo);
        if (decoded == '\0') return std::nullopt;
        out += decoded;
        i += 2;
    }
    return out;
}

std::string FormatDeletionDate(time_t t) {
    struct tm tmv {};
    localtime_r(&t, &tmv);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tmv);
    return buf;
}

std::optional<DeletionDate> ParseDeletionDate(std::string_view text) {
    text = Trim(text);
    // YYYY-MM-DDThh:mm:ss
    if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':')
        return std::nullopt;
    DeletionDate d;
    d.year = Digits(text, 0, 4);
    d.month = Digits(text, 5, 2);
    d.day = Digits(text, 8, 2);
    d.hour = Digits(text, 11, 2);
    d.minute = Digits(text, 14, 2);
    d.second = Digits(text, 17, 2);
    if (d.year < 1 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31 || d.hour < 0 ||
        d.hour > 23 || d.minute < 0 || d.minute > 59 || d.second < 0 || d.second > 60)
        return std::nullopt;
    return d;
}

std::string DisplayDate(const DeletionDate& d) {
    char buf[48];
    snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour,
             d.minute, d.second);
    return buf;
}

FileTime DeletionDateToFileTime(const DeletionDate& d) {
    struct tm tmv {};
    tmv.tm_year = d.year - 1900;
    tmv.tm_mon = d.month - 1;
    tmv.tm_mday = d.day;
    tmv.tm_hour = d.hour;
    tmv.tm_min = d.minute;
    tmv.tm_sec = d.second;
    tmv.tm_isdst = -1;
    time_t t = mktime(&tmv);
    if (t == static_cast<time_t>(-1) || t < -11644473600LL) return 0;
    return FileTimeFromUnix(t);
}

std::optional<TrashInfo> ParseTrashInfo(std::string_view text) {
    if (text.size() > kMaxTrashInfoBytes) return std::nullopt;
    bool inGroup = false, sawGroup = false;
    std::optional<std::string> rawPath;
    std::optional<std::string> rawDate;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = Trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inGroup = line == "[Trash Info]";
            sawGroup = sawGroup || inGroup;
            continue;
        }
        if (!inGroup) continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view key = Trim(line.substr(0, eq));
        std::string_view value = Trim(line.substr(eq + 1));
        // The first occurrence of a key wins, as in other readers of this format.
        if (key == "Path" && !rawPath) rawPath = std::string(value);
        if (key == "DeletionDate" && !rawDate) rawDate = std::string(value);
    }
    if (!sawGroup || !rawPath) return std::nullopt;
    auto decoded = PercentDecode(*rawPath);
    if (!decoded) return std::nullopt;
    auto checked = CheckedPath(*decoded);
    if (!checked) return std::nullopt;
    TrashInfo info;
    info.path = std::move(*checked);
    if (rawDate) {
        info.dateText = *rawDate;
        info.date = ParseDeletionDate(*rawDate);
    }
    return info;
}

std::string FormatTrashInfo(std::string_view path, time_t t) {
    return "[Trash Info]\nPath=" + PercentEncodePath(path) +
           "\nDeletionDate=" + FormatDeletionDate(t) + "\n";
}

}  // namespace tw::recyclebin
