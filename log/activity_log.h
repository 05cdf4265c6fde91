// SPDX-License-Identifier: GPL-3.0-or-later
// The activity log: one plain-text file per local day in the log folder, one
// time-stamped record per event.
//
// On disk: a header "Tidewipe Log File created:  <%A %B %d %H:%M>" CR LF CR LF, then
// records "%H:%M:%S -> message" CR CR LF (the doubled CR is part of the format: readers
// rely on it). File names are "%Y_%m_%d_%A.lnt" in the classic locale.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "platform/result.h"

namespace tw::log {

class CActivityLogFile {
  public:
    CActivityLogFile();
    ~CActivityLogFile();
    CActivityLogFile(const CActivityLogFile&) = delete;
    CActivityLogFile& operator=(const CActivityLogFile&) = delete;

    // Replaces the folder; no check, no creation.
    void SetFolder(std::string folder);
    const std::string& Folder() const { return folder_; }

    // Path of today's file (local date at the moment of the call).
    std::string GetTodaysFileName() const;
    // Opens or creates today's file (writing the header when it creates it) and leaves it
    // open for the caller; true on success. The next call or destruction closes it.
    // Refused (LastError() says why): a symbolic link, anything but a regular file, a
    // file of another user or one with other hard links; someone who can write to the
    // log folder could otherwise make the program append to a file of their choosing.
    bool OpenTodaysFile();
    void CloseFile();

    // Filters the message to printable ASCII, appends one record, closes the file; true
    // if a record was written. Waits (bounded) for other writers instead of dropping.
    bool WriteLine(std::string_view message);
    // The last record's text if it differs from the one handed out before, else "".
    std::string ReadNewLastLine();
    // Why the last OpenTodaysFile or WriteLine failed (meaningless after a success).
    const Error& LastError() const { return error_; }

    // Called after each written record (the shell broadcasts the log-line message).
    void SetNotifier(std::function<void()> notifier) { notifier_ = std::move(notifier); }
    // Tests fix the clock; the default is time(nullptr).
    void SetClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

    // The printable-ASCII filter applied to messages (0x20..0x7E kept).
    static std::string Filter(std::string_view message);

  private:
    std::string PathFor(time_t t) const;
    time_t Now() const;

    std::string folder_;
    std::string lastLine_;
    Error error_;
    int fd_ = -1;
    std::function<void()> notifier_;
    std::function<time_t()> clock_;
};

// Opens a log file with `flags` (O_NOFOLLOW and O_CLOEXEC are added; with O_CREAT a new
// file gets mode 0600) and checks it is a regular file of this user with one name. The
// descriptor (the caller closes it), or why not: NotRegularFile (also for a link),
// Denied (another user's file, or one with other hard links), or the open's errno.
Result<int> OpenLogFile(const std::string& path, int flags);

// Logs one line through `writer`; a null writer logs nothing and gives false. Otherwise
// true, whatever the write gave.
bool LogToFile(std::string_view message, CActivityLogFile* writer);

}  // namespace tw::log
