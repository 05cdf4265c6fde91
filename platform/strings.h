// SPDX-License-Identifier: GPL-3.0-or-later
// The string table: every user-visible text, asked for by its numeric id.
//
//   tw::S<103>      compile-time lookup; an id missing from resources/strings.tsv
//                   fails the build.
//   tw::Text(id)    run-time lookup for ids computed at run time (week days, pass
//                   labels); answers "" for an unknown id, which a test guards.
#pragma once

#include <string>
#include <string_view>

namespace tw {

struct StringEntry {
    int id;
    const char* text;
};

inline constexpr StringEntry kStringTable[] = {
#include "tw_strings_table.inc"
};

constexpr std::string_view StringById(int id) {
    for (const auto& e : kStringTable)
        if (e.id == id) return e.text;
    throw "string id missing from resources/strings.tsv";
}

template <int Id>
inline constexpr std::string_view S = StringById(Id);

// Run-time lookup: "" when the id is not in the table.
std::string_view Text(int id);
bool HasText(int id);

// Convenience for building lines: std::string(S<id>) + ...
template <int Id>
inline std::string Str() {
    return std::string(S<Id>);
}

}  // namespace tw
