// SPDX-License-Identifier: GPL-3.0-or-later
// search SOURCE [--json] [--details]: the recoverable-file search on an image file, a
// block device or the device behind a mounted folder.
#include <algorithm>
#include <array>
#include <charconv>
#include <iostream>

#include "cli/cli.h"
#include "cli/volume_select.h"
#include "platform/format.h"
#include "platform/utf8.h"
#include "volume/search.h"
#include "volume/traces.h"

namespace tw::cli {
namespace {

std::string_view ExtensionOf(std::string_view name) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

std::string Extension(const std::string& name) { return std::string(ExtensionOf(name)); }

// Display width of UTF-8 text (characters; wide ones count once). The cells hold
// escaped text, valid UTF-8; a stray byte would count as one.
size_t Width(const std::string& s) {
    size_t w = 0;
    for (size_t i = 0; i < s.size(); ++w) i += std::max<size_t>(platform::Utf8SequenceAt(s, i), 1);
    return w;
}

std::string Pad(const std::string& s, size_t width) {
    size_t w = Width(s);
    return w >= width ? s : s + std::string(width - w, ' ');
}

void PrintTable(const std::vector<volume::RecoverableFile>& found, bool details) {
    // The panel's FAT32 list leaves the last heading empty (every item is 100 there);
    // a terminal table says what the column is on both file systems.
    std::vector<std::array<std::string, 5>> rows;
    rows.push_back({"File name", "Ext", "Folder", "Size", "% Rec"});
    // Names and folders come from the volume: escaped, so a crafted name can neither
    // split a line nor reach the terminal as a control sequence.
    for (const auto& f : found)
        rows.push_back({Printable(f.name), Printable(Extension(f.name)), Printable(f.folder),
                        FormatSize(f.size, "%2.2f"), std::to_string(f.recoverability)});
    std::array<size_t, 5> w{};
    for (const auto& r : rows)
        for (size_t i = 0; i < 5; ++i) w[i] = std::max(w[i], Width(r[i]));
    for (size_t k = 0; k < rows.size(); ++k) {
        const auto& r = rows[k];
        std::string line;
        for (size_t i = 0; i < 5; ++i) line += Pad(r[i], w[i]) + (i < 4 ? "  " : "");
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
        if (details && k > 0 && !found[k - 1].details.empty()) {
            // Its own lines are kept; only what is inside them is escaped.
            std::string_view text = found[k - 1].details;
            for (size_t at = 0; at <= text.size();) {
                const size_t end = std::min(text.find('\n', at), text.size());
                std::cout << Printable(text.substr(at, end - at)) << "\n";
                at = end + 1;
            }
            std::cout << "\n";
        }
    }
}

// Appends `s` as the inside of a JSON string literal: runs of characters that need no
// escape go in whole. Quotes, backslashes and control characters are escaped; the
// short forms (\b \f \n \r \t) when `shortForms`, as nlohmann::json writes them, and
// DEL as \u007f unless `shortForms` (the attribute and details texts' own form).
void AppendEscaped(std::string& out, std::string_view s, bool shortForms) {
    static const char kHex[] = "0123456789abcdef";
    size_t run = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && (c != 0x7F || shortForms)) continue;
        out.append(s.data() + run, i - run);
        run = i + 1;
        const char* esc = nullptr;
        if (c == '"')
            esc = "\\\"";
        else if (c == '\\')
            esc = "\\\\";
        else if (c == '\n')
            esc = "\\n";
        else if (shortForms && c == '\b')
            esc = "\\b";
        else if (shortForms && c == '\f')
            esc = "\\f";
        else if (shortForms && c == '\r')
            esc = "\\r";
        else if (shortForms && c == '\t')
            esc = "\\t";
        if (esc) {
            out += esc;
        } else {
            const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            out.append(u, 6);
        }
    }
    out.append(s.data() + run, s.size() - run);
}

// A JSON string literal of UTF-8 text (names come from the volume already converted
// to UTF-8): quotes, backslashes and control characters are escaped.
void AppendQuoted(std::string& out, const std::string& s) {
    out += '"';
    AppendEscaped(out, s, false);
    out += '"';
}

// "2024-03-05T14:30:07Z", as IsoUtc writes it, without a printf per field.
void AppendIso(std::string& out, FileTime ft) {
    SystemTime st;
    if (ft == 0 || !FileTimeToSystemTime(ft, &st)) {
        out += "\"\"";
        return;
    }
    char b[24];
    auto two = [](char* p, int v) {
        p[0] = static_cast<char>('0' + v / 10 % 10);
        p[1] = static_cast<char>('0' + v % 10);
    };
    b[0] = '"';
    two(b + 1, st.year / 100);
    two(b + 3, st.year % 100);
    b[5] = '-';
    two(b + 6, st.month);
    b[8] = '-';
    two(b + 9, st.day);
    b[11] = 'T';
    two(b + 12, st.hour);
    b[14] = ':';
    two(b + 15, st.minute);
    b[17] = ':';
    two(b + 18, st.second);
    b[20] = 'Z';
    b[21] = '"';
    out.append(b, 22);
}

// `"key": value` for a name from the volume or the mount table, which need not be
// UTF-8: JsonName keeps the JSON valid and adds the exact bytes as key_bytes. Valid
// UTF-8 (every name but a damaged one) is written as JsonName's JSON would write it,
// without building it.
void AppendNameField(std::string& o, std::string_view key, std::string_view value) {
    bool valid = true;
    for (size_t i = 0; i < value.size() && valid;) {
        if (static_cast<unsigned char>(value[i]) < 0x80) {
            ++i;
            continue;
        }
        const size_t n = platform::Utf8SequenceAt(value, i);
        valid = n != 0;
        i += n;
    }
    o += '"';
    o += key;
    o += "\": ";
    if (valid) {
        o += '"';
        AppendEscaped(o, value, true);
        o += '"';
        return;
    }
    const std::string k(key);
    nlohmann::json j = nlohmann::json::object();
    JsonName(j, k, value);
    o += j[k].dump();
    o += ", \"" + k + "_bytes\": " + j[k + "_bytes"].dump();
}

// `, "key": n`
template <class Int>
void AppendNumberField(std::string& o, std::string_view key, Int n) {
    o += ", \"";
    o += key;
    o += "\": ";
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, n);
    o.append(digits, r.ptr);
}

// A deleted FAT32 folder that still lists deleted files the search did not walk into:
// the switch that would list them (and let wipe-traces wipe them before the folder).
constexpr const char* kWalkSwitch = "--deleted-folders";
bool OffersWalk(const volume::RecoverableFile& f, bool walked) {
    return f.isFolder && f.entriesInside > 0 && !walked;
}

void AppendJsonLine(std::string& o, const volume::RecoverableFile& f, bool details, bool walked) {
    o += '{';
    AppendNameField(o, "name", f.name);
    o += ", ";
    AppendNameField(o, "ext", ExtensionOf(f.name));
    o += ", ";
    AppendNameField(o, "folder", f.folder);
    if (f.folderDeleted) o += ", \"folder_deleted\": true";
    if (f.isFolder) {
        o += ", \"deleted_folder\": true";
        AppendNumberField(o, "deleted_entries_inside", f.entriesInside);
        if (OffersWalk(f, walked)) o += std::string(", \"walk_switch\": \"") + kWalkSwitch + '"';
    }
    AppendNumberField(o, "size", f.size);
    AppendNumberField(o, "recoverable", f.recoverability);
    AppendNumberField(o, "location", f.location);
    o += f.resident ? ", \"resident\": true" : ", \"resident\": false";
    o += f.fs == volume::FileSystemKind::Ntfs ? ", \"fs\": \"NTFS\"" : ", \"fs\": \"FAT32\"";
    o += ", \"attributes\": ";
    AppendQuoted(o, f.attributes);
    o += ", \"created\": ";
    AppendIso(o, f.created);
    o += ", \"modified\": ";
    AppendIso(o, f.modified);
    if (details) {
        o += ", \"details\": ";
        AppendQuoted(o, f.details);
    }
    o += '}';
}

void RegisterSearch(CLI::App& app, Env& env) {
    auto* cmd = app.add_subcommand(
        "search", "Find deleted files that can still be recovered on an NTFS or FAT32 volume");
    static std::string source;
    static bool json = false, details = false, deletedFolders = false;
    cmd->add_option("SOURCE", source, "Volume image file, block device or mounted folder")
        ->required();
    cmd->add_flag("--json", json, "Print the found files as a JSON array");
    cmd->add_flag("--details", details, "Add the data runs and reallocated clusters of each file");
    AddDeletedFoldersOption(cmd, deletedFolders);
    cmd->callback([&env] {
        volume::CVolumeSession session;
        if (int rc = Report(session.Resolve(source)); rc != kOk) return env.Fail(rc);
        CommandOperation progress(RecoveryLog(env));
        Operation& op = progress.Op();
        volume::SessionSearchOptions so;
        so.details = details;
        so.deletedFolders = deletedFolders;
        // JSON: one object per line, written out as the search finds them; the list
        // itself is not kept (a large volume lists hundreds of thousands).
        // The text goes out in pieces of about 32 KiB through one buffer reserved
        // once: a buffer grown as it fills is moved and faulted in page by page, which
        // cost more than the formatting of the lines.
        constexpr size_t kFlushAt = 32 * 1024;
        std::string out;
        size_t listed = 0;
        if (json) {
            out.reserve(2 * kFlushAt);
            so.keepFound = false;
            so.onFound = [&](const volume::RecoverableFile& f) {
                out += listed++ ? ",\n  " : "[\n  ";
                AppendJsonLine(out, f, details, deletedFolders);
                if (out.size() > kFlushAt) {
                    // Whole lines only, with the progress line cleared first: a
                    // terminal shows both.
                    const size_t cut = out.rfind('\n') + 1;
                    progress.Finish();
                    std::cout.write(out.data(), static_cast<std::streamsize>(cut));
                    out.erase(0, cut);
                }
            };
        }
        const volume::SearchReport rep = session.Search(op, so);
        progress.Finish();
        // A stopped search still lists what it found before the stop.
        if (rep.end == volume::SearchEnd::Unsupported || rep.end == volume::SearchEnd::Failed) {
            // What was written out already stays a whole array.
            if (listed > 0) std::cout << out << "\n]\n" << std::flush;
            return env.Fail(Report(volume::CVolumeSession::SearchStatus(rep)));
        }
        if (json) {
            out += listed == 0 ? "[]\n" : "\n]\n";
            std::cout << out << std::flush;
            Note(rep.message);
        } else {
            PrintTable(session.Found(), details);
            for (const auto& f : session.Found())
                if (OffersWalk(f, deletedFolders))
                    Out(volume::TraceItemText(f) + " is a deleted folder that still lists " +
                        std::to_string(f.entriesInside) + " deleted entries: search with " +
                        kWalkSwitch + " to list the files inside it");
            std::cout << rep.message << "\n";
        }
        if (rep.end == volume::SearchEnd::Aborted) env.Fail(kFailed);
    });
}

CommandRegistrar reg(RegisterSearch);

}  // namespace
}  // namespace tw::cli
