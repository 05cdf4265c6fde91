// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/wipe/log_wipe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/fileio.h"
#include "platform/strings.h"
#include "wipe/file_wiper.h"

namespace tw::log {

std::vector<std::string> LogFilePaths(const std::string& folder) {
    std::vector<std::string> paths;
    const std::string ext = "." + Str<163>();
    DIR* d = opendir(folder.c_str());
    if (d == nullptr) return paths;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() <= ext.size() ||
            name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
            continue;
        const std::string path = platform::JoinPath(folder, name);
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        paths.push_back(path);
    }
    closedir(d);
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool BeginsWithLogTitle(const std::string& path) {
    const std::string_view title = S<195>;
    // O_NONBLOCK: a FIFO named like a log must not hang the check.
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    std::string head(title.size(), '\0');
    size_t got = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        while (got < head.size()) {
            const ssize_t n = read(fd, head.data() + got, head.size() - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    }
    close(fd);
    return got == title.size() && head == title;
}

namespace {

// The longest start of `s` of at most n bytes that does not end inside a UTF-8 sequence.
std::string Head(const std::string& s, size_t n) {
    if (n >= s.size()) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

}  // namespace

std::string CompactPath(const std::string& path, size_t maxChars) {
    if (path.size() <= maxChars) return path;
    static constexpr std::string_view kDots = "...";
    const size_t slash = path.find_last_of('/', path.size() - 2);
    const std::string last = slash == std::string::npos ? path : path.substr(slash);
    if (last.size() + kDots.size() <= maxChars)
        return Head(path, maxChars - last.size() - kDots.size()) + std::string(kDots) + last;
    if (maxChars <= kDots.size()) return Head(std::string(kDots), maxChars);
    return Head(last, maxChars - kDots.size()) + std::string(kDots);
}

std::string LogWipeQuestion(const std::string& folder) {
    return Str<133>() + " " + Str<163>() + " " + Str<191>() + " " + CompactPath(folder, 80) + " " +
           Str<192>();
}

LogWipeOutcome WipeLogFiles(const OpContext& op, const std::string& folder) {
    LogWipeOutcome out;
    const std::vector<std::string> paths = LogFilePaths(folder);
    out.found = static_cast<int>(paths.size());
    op.SetRange(ProgressSink::Overall, 0, out.found);
    op.SetPos(ProgressSink::Overall, 0);
    wipe::CSecureFileWiper wiper;
    wiper.SetPassCount(kLogWipePasses);
    for (const std::string& path : paths) {
        if (!op.PauseCheck()) {
            out.stopped = true;
            break;
        }
        if (!BeginsWithLogTitle(path)) {
            out.notLogs.push_back(path);
        } else if (Result<void> r = wiper.WipeFile(path, false, false, &op); r) {
            ++out.wiped;
        } else {
            out.failed.push_back(r.error());
        }
        op.Step(ProgressSink::Overall);
    }
    return out;
}

}  // namespace tw::log
