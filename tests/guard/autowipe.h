// SPDX-License-Identifier: GPL-3.0-or-later
// Sending files to the Trash in guard tests: with trash-put, the reference tool, when
// it is installed, else with the suite's own send-to-bin.
#pragma once

#include <string>

#include "recyclebin/bin_runs.h"
#include "tests/common/scratch_volume.h"

namespace tw::test {

// True when `path` went to the Trash of $XDG_DATA_HOME (or its volume's).
inline bool TrashIt(const std::string& path) {
    std::string out;
    int rc = RunTool({"trash-put", path}, &out);
    if (rc != -1) return rc == 0;
    return recyclebin::SendToBin(path).ok();
}

}  // namespace tw::test
