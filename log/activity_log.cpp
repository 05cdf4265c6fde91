// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/activity_log.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/fileio.h"
#include "platform/strings.h"

namespace tw::log {

namespace {

// Day and month names are always the English ones, whatever the user's locale.
std::string FormatClassic(const char* format, time_t t) {
    static locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    tm local{};
    localtime_r(&t, &local);
    char buf[128];
    size_t n = strftime_l(buf, sizeof buf, format, &local, classic);
    return std::string(buf, n);
}

using platform::WriteAll;

// Two writers (the panel, the CLI, the guard, a folder walker) may append at the same
// moment. Instead of dropping a line when the file is busy, wait for the other writer's
// lock, but never longer than this.
constexpr auto kLockWait = std::chrono::seconds(5);

bool LockBounded(int fd) {
    auto deadline = std::chrono::steady_clock::now() + kLockWait;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

constexpr int kTextLink = TextId<1040>;
constexpr int kTextOtherOwner = TextId<1041>;
constexpr int kTextHardLinks = TextId<1042>;
constexpr int kTextHeld = TextId<1043>;
constexpr int kTextNothingLeft = TextId<1044>;

}  // namespace

Result<int> OpenLogFile(const std::string& path, int flags) {
    // O_NONBLOCK: a FIFO planted under the day's name must not hang the program.
    int fd = open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (errno == ELOOP) return Error(ErrorCode::NotRegularFile, path).Says(kTextLink);
        return Error::FromErrno(path);
    }
    struct stat st {};
    std::optional<Error> problem;
    if (fstat(fd, &st) != 0)
        problem = Error::FromErrno(path);
    else if (!S_ISREG(st.st_mode))
        problem = Error(ErrorCode::NotRegularFile, path);
    else if (st.st_uid != geteuid())
        problem = Error(ErrorCode::Denied, path).Says(kTextOtherOwner);
    else if (st.st_nlink != 1)
        problem = Error(ErrorCode::Denied, path).Says(kTextHardLinks);
    if (problem) {
        close(fd);
        return std::move(*problem);
    }
    // Back to blocking reads and writes for the regular file.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

CActivityLogFile::CActivityLogFile() = default;

CActivityLogFile::~CActivityLogFile() { CloseFile(); }

void CActivityLogFile::SetFolder(std::string folder) { folder_ = std::move(folder); }

time_t CActivityLogFile::Now() const { return clock_ ? clock_() : time(nullptr); }

std::string CActivityLogFile::PathFor(time_t t) const {
    std::string folder = folder_;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + FormatClassic("%Y_%m_%d_%A", t) + "." + Str<163>();
}

std::string CActivityLogFile::GetTodaysFileName() const { return PathFor(Now()); }

void CActivityLogFile::CloseFile() {
    if (fd_ >= 0) {
        close(fd_);  // also releases the lock
        fd_ = -1;
    }
}

bool CActivityLogFile::OpenTodaysFile() {
    CloseFile();
    const time_t now = Now();
    error_ = Error();
    const std::string path = PathFor(now);
    Result<int> opened = OpenLogFile(path, O_RDWR | O_CREAT | O_APPEND | O_DSYNC);
    if (!opened) {
        error_ = opened.error();
        return false;
    }
    const int fd = *opened;
    if (!LockBounded(fd)) {
        error_ = Error(ErrorCode::Locked, path).Says(kTextHeld);
        close(fd);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error_ = Error::FromErrno(path);
        close(fd);
        return false;
    }
    if (st.st_size == 0) {
        // A new day's file: the header, once, under the lock.
        std::string header =
            Str<195>() + " " + Str<196>() + " " + FormatClassic("%A %B %d %H:%M", now) + "\r\n\r\n";
        if (!WriteAll(fd, header)) {
            error_ = Error::FromErrno(path);
            close(fd);
            return false;
        }
    }
    fd_ = fd;
    return true;
}

std::string CActivityLogFile::Filter(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    for (char c : message)
        if (static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) <= 0x7E)
            out += c;
    return out;
}

bool CActivityLogFile::WriteLine(std::string_view message) {
    std::string text = Filter(message);
    if (text.empty()) {
        error_ = Error(ErrorCode::Invalid).Says(kTextNothingLeft);
        return false;
    }
    if (!OpenTodaysFile()) return false;
    // Each record ends in CR CR LF on disk: readers of the log rely on the doubled CR.
    std::string record = FormatClassic("%H:%M:%S", Now()) + " -> " + text + "\r\r\n";
    bool ok = WriteAll(fd_, record);
    if (!ok) error_ = Error::FromErrno(GetTodaysFileName());
    CloseFile();
    if (ok && notifier_) notifier_();
    return ok;
}

std::string CActivityLogFile::ReadNewLastLine() {
    if (!OpenTodaysFile()) return "";
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        CloseFile();
        return "";
    }
    const off_t size = st.st_size;
    // The last four bytes (CR CR LF and the message's last character) are never
    // examined; scan back from the fifth-last byte to the line feed that ends the
    // record before, never before the start of the file.
    off_t start = 0;
    char block[4096];
    for (off_t end = size - 4; end > 0;) {
        off_t from =
            end > static_cast<off_t>(sizeof block) ? end - static_cast<off_t>(sizeof block) : 0;
        ssize_t n = pread(fd_, block, static_cast<size_t>(end - from), from);
        if (n <= 0) break;
        bool found = false;
        for (ssize_t i = n - 1; i >= 0; --i)
            if (block[i] == '\n') {
                start = from + i + 1;
                found = true;
                break;
            }
        if (found) break;
        end = from;
    }
    // One line from there, read as a text stream would: CR LF becomes LF and the final
    // LF is dropped, so the record's text keeps one CR, which becomes a line feed.
    std::string line;
    char buf[4096];
    for (off_t pos = start;;) {
        ssize_t n = pread(fd_, buf, sizeof buf, pos);
        if (n <= 0) break;
        ssize_t i = 0;
        for (; i < n && buf[i] != '\n'; ++i) line += buf[i];
        if (i < n) {
            line += '\n';
            break;
        }
        pos += n;
    }
    CloseFile();
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    for (char& c : line)
        if (c == '\r') c = '\n';
    if (line == lastLine_) return "";
    lastLine_ = line;
    return line;
}

bool LogToFile(std::string_view message, CActivityLogFile* writer) {
    if (!writer) return false;
    writer->WriteLine(message);
    return true;
}

}  // namespace tw::log
