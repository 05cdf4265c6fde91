// SPDX-License-Identifier: GPL-3.0-or-later
// Texts of the string table as Qt strings.
#pragma once

#include <QString>

#include "platform/strings.h"

namespace tw::ui {

// Checked at compile time: an id missing from the table fails the build.
template <int Id>
inline QString Tx() {
    return QString::fromUtf8(S<Id>.data(), static_cast<qsizetype>(S<Id>.size()));
}
// For ids computed at run time; "" for an unknown id.
inline QString TextOf(int id) {
    const std::string_view s = Text(id);
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
// A text of the table as a label shows it: the doubled "&&" of the table is one "&".
inline QString Shown(QString text) {
    return text.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

}  // namespace tw::ui
