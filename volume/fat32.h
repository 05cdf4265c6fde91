// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 on-disk structures and the FAT32 walk of the recoverable-file search.
// Implemented by fat32.cpp.
#pragma once

#include "platform/result.h"
#include "volume/recoverable.h"

namespace tw::volume {

// Reads the boot sector through ctx.drive, walks the directory tree from the root and
// appends every deleted file whose first cluster is still free to ctx.found.
Outcome SearchFat32(SearchContext& ctx);

}  // namespace tw::volume
