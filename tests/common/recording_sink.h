// SPDX-License-Identifier: GPL-3.0-or-later
// The one progress sink of the tests: keeps what an operation reports (ranges, the last
// position and the steps of each bar, every text) and lets a test act on the operation's
// own thread when a position or a status text arrives.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/operation.h"

namespace tw::test {

class RecordingSink : public ProgressSink {
  public:
    void SetRange(Bar b, int64_t lo, int64_t hi) override {
        low[b] = lo;
        high[b] = hi;
        ranges.push_back({b, lo, hi});
    }
    void SetPos(Bar b, int64_t p) override {
        // The operation reports steps as positions: a rise is a step.
        const int64_t by = p - pos[b];
        pos[b] = p;
        if (by > 0) {
            steps[b] += by;
            if (b == Current && onStep) onStep(steps[b]);
        }
        ++positions;
        if (b == Overall) overall.push_back(p);
        if (onPos) onPos(b, p);
    }
    void SetText(Slot slot, std::string_view text) override {
        if (slot == Status) {
            statuses.emplace_back(text);
            if (onStatus) onStatus(statuses.back());
        } else {
            timeTexts.emplace_back(text);
        }
    }

    bool SawStatus(std::string_view text) const {
        return std::find(statuses.begin(), statuses.end(), text) != statuses.end();
    }
    bool SawStatusContaining(std::string_view part) const {
        return std::any_of(statuses.begin(), statuses.end(),
                           [&](const std::string& s) { return s.find(part) != s.npos; });
    }

    struct Range {
        Bar bar;
        int64_t low, high;
    };
    std::vector<Range> ranges;
    int64_t low[2] = {}, high[2] = {}, pos[2] = {}, steps[2] = {};
    std::vector<int64_t> overall;  // every position of the Overall bar
    std::vector<std::string> statuses, timeTexts;
    int positions = 0;
    std::function<void(const std::string&)> onStatus;
    std::function<void(Bar, int64_t)> onPos;
    std::function<void(int64_t)> onStep;  // after each rise of the Current bar: steps so far
};

// An operation that hands every call to its sink at once (no throttle), so that a test
// sees each position and text the engine reports.
class TestOperation : public Operation {
  public:
    explicit TestOperation(ProgressSink* sink = nullptr, log::CActivityLogFile* log = nullptr)
        : Operation(sink, log) {
        SetInterval(std::chrono::milliseconds(0));
    }
    using Operation::SetSink;
    using Operation::UseStopFlag;
};

}  // namespace tw::test
