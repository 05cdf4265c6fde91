// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/strings.h"

#include <algorithm>
#include <iterator>

namespace tw {

static const StringEntry* Find(int id) {
    // The generator writes the table sorted by id.
    auto it = std::lower_bound(std::begin(kStringTable), std::end(kStringTable), id,
                               [](const StringEntry& e, int v) { return e.id < v; });
    return (it != std::end(kStringTable) && it->id == id) ? it : nullptr;
}

std::string_view Text(int id) {
    const StringEntry* e = Find(id);
    return e ? std::string_view(e->text) : std::string_view();
}

bool HasText(int id) { return Find(id) != nullptr; }

}  // namespace tw
