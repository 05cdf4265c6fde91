// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/filetime.h"

#include <cstdio>

namespace tw {

FileTime FileTimeFromTimespec(const timespec& ts) {
    int64_t units = static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
    return static_cast<FileTime>(units + static_cast<int64_t>(kFileTimeUnixEpoch));
}

timespec TimespecFromFileTime(FileTime ft) {
    int64_t units = static_cast<int64_t>(ft) - static_cast<int64_t>(kFileTimeUnixEpoch);
    timespec ts{};
    int64_t sec = units / 10000000LL, rem = units % 10000000LL;
    if (rem < 0) {
        rem += 10000000LL;
        --sec;
    }
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
}

FileTime FileTimeFromUnix(time_t seconds) { return FileTimeFromTimespec(timespec{seconds, 0}); }

int64_t UnixFromFileTime(FileTime ft) {
    int64_t units = static_cast<int64_t>(ft) - static_cast<int64_t>(kFileTimeUnixEpoch);
    return units >= 0 ? units / 10000000LL : -((-units + 9999999LL) / 10000000LL);
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian), and back.
static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

static void CivilFromDays(int64_t z, int* y, int* m, int* d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *y = static_cast<int>(yy + (*m <= 2));
}

static bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool SystemTimeToFileTime(const SystemTime& st, FileTime* out) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (st.year < 1601 || st.year > 30827 || st.month < 1 || st.month > 12) return false;
    int dim = kDays[st.month - 1] + (st.month == 2 && IsLeap(st.year) ? 1 : 0);
    if (st.day < 1 || st.day > dim || st.hour < 0 || st.hour > 23 || st.minute < 0 ||
        st.minute > 59 || st.second < 0 || st.second > 59 || st.milliseconds < 0 ||
        st.milliseconds > 999)
        return false;
    int64_t days =
        DaysFromCivil(st.year, static_cast<unsigned>(st.month), static_cast<unsigned>(st.day)) -
        DaysFromCivil(1601, 1, 1);
    int64_t secs = days * 86400 + st.hour * 3600 + st.minute * 60 + st.second;
    *out = static_cast<FileTime>(secs) * kFileTimePerSecond +
           static_cast<FileTime>(st.milliseconds) * 10000;
    return true;
}

bool FileTimeToSystemTime(FileTime ft, SystemTime* out) {
    if (ft >= 0x8000000000000000ULL) return false;
    uint64_t totalMs = ft / 10000;
    uint64_t secs = totalMs / 1000;
    int64_t days = static_cast<int64_t>(secs / 86400);
    uint64_t sod = secs % 86400;
    int y, m, d;
    CivilFromDays(days + DaysFromCivil(1601, 1, 1), &y, &m, &d);
    out->year = y;
    out->month = m;
    out->day = d;
    // 1601-01-01 was a Monday.
    out->dayOfWeek = static_cast<int>((days + 1) % 7);
    out->hour = static_cast<int>(sod / 3600);
    out->minute = static_cast<int>(sod / 60 % 60);
    out->second = static_cast<int>(sod % 60);
    out->milliseconds = static_cast<int>(totalMs % 1000);
    return true;
}

FileTime NowFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return FileTimeFromTimespec(ts);
}

SystemTime GetSystemTime() {
    SystemTime st;
    FileTimeToSystemTime(NowFileTime(), &st);
    return st;
}

SystemTime LocalSystemTime(time_t t) {
    tm local{};
    localtime_r(&t, &local);
    SystemTime st;
    st.year = local.tm_year + 1900;
    st.month = local.tm_mon + 1;
    st.day = local.tm_mday;
    st.dayOfWeek = local.tm_wday;
    st.hour = local.tm_hour;
    st.minute = local.tm_min;
    st.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    return st;
}

SystemTime GetLocalTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    SystemTime st = LocalSystemTime(ts.tv_sec);
    st.milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    return st;
}

std::string IsoUtc(FileTime ft) {
    if (ft == 0) return "";
    SystemTime st;
    if (!FileTimeToSystemTime(ft, &st)) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", st.year, st.month, st.day,
                  st.hour, st.minute, st.second);
    return buf;
}

}  // namespace tw
