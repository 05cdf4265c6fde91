// SPDX-License-Identifier: GPL-3.0-or-later
// The one progress sink of the tests: keeps what an operation reports (ranges, the last
// position and the steps of each bar, every text) and lets a test act on the operation's
// own thread when a range, a position, a step, a status text or a yield arrives.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/opcontext.h"

namespace tw::test {

class RecordingSink : public ProgressSink {
  public:
    void SetRange(Bar b, int64_t lo, int64_t hi) override {
        low[b] = lo;
        high[b] = hi;
        ranges.push_back({b, lo, hi});
        if (onRange) onRange(b, lo, hi);
    }
    void SetPos(Bar b, int64_t p) override {
        pos[b] = p;
        ++positions;
        if (b == Overall) overall.push_back(p);
        if (onPos) onPos(b, p);
    }
    void Step(Bar b, int64_t by) override {
        pos[b] += by;
        ++steps[b];
        stepped += by;
        if (onStep) onStep(b, by);
    }
    void SetText(Slot slot, std::string_view text) override {
        if (slot == Status) {
            statuses.emplace_back(text);
            if (onStatus) onStatus(statuses.back());
        } else {
            timeTexts.emplace_back(text);
        }
    }
    int Pump() override {
        ++pumps;
        if (onPump) onPump();
        return 0;
    }

    bool SawStatus(std::string_view text) const {
        for (const auto& s : statuses)
            if (s == text) return true;
        return false;
    }
    bool SawStatusContaining(std::string_view part) const {
        for (const auto& s : statuses)
            if (s.find(part) != std::string::npos) return true;
        return false;
    }

    struct Range {
        Bar bar;
        int64_t low, high;
    };
    std::vector<Range> ranges;
    int64_t low[2] = {}, high[2] = {}, pos[2] = {}, steps[2] = {};
    int64_t stepped = 0;           // the sum of every step, both bars
    std::vector<int64_t> overall;  // every position of the Overall bar
    std::vector<std::string> statuses, timeTexts;
    int positions = 0, pumps = 0;
    std::function<void(const std::string&)> onStatus;
    std::function<void()> onPump;
    std::function<void(Bar, int64_t)> onPos, onStep;
    std::function<void(Bar, int64_t, int64_t)> onRange;
};

}  // namespace tw::test
