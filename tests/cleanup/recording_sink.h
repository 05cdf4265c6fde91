// SPDX-License-Identifier: GPL-3.0-or-later
// A progress sink for tests: keeps every status text, and lets a test act on the run's
// own thread when a text appears or the run yields.
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
        ranges.push_back({b, lo, hi});
        if (onRange) onRange(b, lo, hi);
    }
    void SetPos(Bar b, int64_t p) override {
        ++positions;
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
    std::vector<std::string> statuses, timeTexts;
    int positions = 0, pumps = 0;
    std::function<void(const std::string&)> onStatus;
    std::function<void()> onPump;
    std::function<void(Bar, int64_t)> onPos;
    std::function<void(Bar, int64_t, int64_t)> onRange;
};

}  // namespace tw::test
