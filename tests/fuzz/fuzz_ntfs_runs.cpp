// SPDX-License-Identifier: GPL-3.0-or-later
// The data-run decoder on arbitrary run lists. Input: 4 bytes giving the volume's
// cluster count (0: unchecked), then the run list. The runs handed back must add up to
// the total returned and, on a list that decoded cleanly, lie inside the volume.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "volume/ntfs.h"

using namespace tw::volume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    uint32_t clusters32 = 0;
    std::memcpy(&clusters32, data, 4);
    const uint64_t totalClusters = clusters32;
    const std::vector<uint8_t> list(data + 4, data + size);
    std::vector<DataRun> runs;
    bool corrupt = false;
    const uint64_t total = DecodeDataRuns(list, 77, "name", 1234, totalClusters, &runs, &corrupt);
    uint64_t sum = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        const DataRun& r = runs[i];
        TW_FUZZ_CHECK(r.index == i);
        TW_FUZZ_CHECK(r.recordKey == 77 && r.realSize == 1234);
        TW_FUZZ_CHECK(r.clusterCount > 0);
        if (r.sparse) continue;
        sum += r.clusterCount;
        if (totalClusters != 0) {
            TW_FUZZ_CHECK(r.lcn < totalClusters);
            TW_FUZZ_CHECK(r.clusterCount <= totalClusters - r.lcn);
        }
    }
    TW_FUZZ_CHECK(sum == total);
    // Each run takes at least two bytes of the list.
    TW_FUZZ_CHECK(runs.size() <= list.size() / 2);
    const std::string summary = DataRunSummary(runs);
    TW_FUZZ_CHECK(summary.rfind("Number Of Data Runs: ", 0) == 0);
    // Without a run list to append to, the same total comes back.
    bool corrupt2 = false;
    TW_FUZZ_CHECK(DecodeDataRuns(list, 77, "name", 1234, totalClusters, nullptr, &corrupt2) ==
                  total);
    TW_FUZZ_CHECK(corrupt2 == corrupt);
    return 0;
}
