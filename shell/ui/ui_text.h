// SPDX-License-Identifier: GPL-3.0-or-later
// Texts of the string table, and the engine's UTF-8 texts, as Qt strings.
#pragma once

#include <QString>
#include <string_view>

#include "platform/strings.h"

namespace tw::ui {

// An engine text (UTF-8: names, paths, messages) as a Qt string.
inline QString Q(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
// Checked at compile time: an id missing from the table fails the build.
template <int Id>
inline QString Tx() {
    return QString::fromUtf8(S<Id>.data(), static_cast<qsizetype>(S<Id>.size()));
}
// For ids computed at run time; "" for an unknown id.
inline QString TextOf(int id) { return Q(Text(id)); }
// A text of the table as a label shows it: the doubled "&&" of the table is one "&".
inline QString Shown(QString text) {
    return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

}  // namespace tw::ui
