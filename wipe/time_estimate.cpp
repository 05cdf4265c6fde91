// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/time_estimate.h"

#include <chrono>
#include <cmath>

#include "platform/format.h"
#include "platform/strings.h"

namespace tw::wipe {
namespace {

const char* Plural(int64_t n) { return n == 1 ? "" : "s"; }

// Beyond this the figures mean nothing and would overflow an int: a run that far from
// its end shows the hour form with this many hours.
constexpr double kMaxRemainingSeconds = 3600.0 * 99999.0;

}  // namespace

int64_t CTimeRemaining::SteadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CTimeRemaining::CTimeRemaining()
    : CTimeRemaining(Str<142>() + " ", Str<141>(), SteadyMilliseconds) {}

CTimeRemaining::CTimeRemaining(const OpContext& op)
    : CTimeRemaining(Str<142>() + " ", Str<141>(), [&op] {
          return std::chrono::duration_cast<std::chrono::milliseconds>(op.ActiveTime()).count();
      }) {}

CTimeRemaining::CTimeRemaining(std::string prefix, std::string waitingText, Clock clock)
    : prefix_(std::move(prefix)), waiting_(std::move(waitingText)), clock_(std::move(clock)) {
    if (!clock_) clock_ = SteadyMilliseconds;
    Start();
}

void CTimeRemaining::Start() {
    startMs_ = clock_();
    lastPercent_ = -1;
    first_ = true;
    text_ = Compose(0.0, 0.0, true);
}

int64_t CTimeRemaining::Elapsed() const {
    const int64_t e = clock_() - startMs_;
    return e < 0 ? 0 : e;
}

std::string CTimeRemaining::Compose(double f, double e, bool firstText) const {
    const double percent = std::min(100.0, 100.0 * std::max(0.0, f));
    // Without any work done there is no rate to extrapolate from.
    if (firstText || !(f > 0.0)) return prefix_ + StrPrintf("%2.0f%% complete", percent);

    double r = e / f * (1.0 - f);
    if (!(r < kMaxRemainingSeconds)) r = kMaxRemainingSeconds;  // also catches NaN
    if (r >= 60.0) {
        int64_t m = static_cast<int64_t>(r / 60.0);
        if (m > 59) {
            const int64_t h = m / 60;
            m -= 60 * h;
            return prefix_ + StrPrintf("%d hour%s, %d minute%s (%2.0f%% complete)",
                                       static_cast<int>(h), Plural(h), static_cast<int>(m),
                                       Plural(m), percent);
        }
        return prefix_ + StrPrintf("%d minute%s (%2.0f%% complete )", static_cast<int>(m),
                                   Plural(m), percent);
    }
    if (r >= 1.0) {
        const int64_t s = static_cast<int64_t>(r);
        return prefix_ + StrPrintf("%d second%s (%2.0f%% complete )", static_cast<int>(s),
                                   Plural(s), percent);
    }
    return prefix_ + waiting_;
}

bool CTimeRemaining::Update(uint64_t done, uint64_t total) {
    if (total == 0) return false;
    const double f = static_cast<double>(done) / static_cast<double>(total);
    const int p = static_cast<int>(std::min(100.0 * f, 1e6));
    if (p - 1 < lastPercent_) return false;
    lastPercent_ = p;
    text_ = Compose(f, static_cast<double>(Elapsed()) / 1000.0, first_);
    first_ = false;
    return true;
}

}  // namespace tw::wipe
