// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/swap_wipe.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/swap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/passes.h"
#include "platform/rawio.h"
#include "platform/strings.h"

extern char** environ;

namespace tw::wipe {

namespace {

constexpr size_t kSwapChunk = 1u << 20;  // bytes per write

std::string ReadWholeFile(const char* path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// /proc/swaps escapes blanks, tabs, newlines and backslashes in names as "\ooo".
std::string DecodeOctalEscapes(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto octal = [&](size_t k) { return s[k] >= '0' && s[k] <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out +=
                static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string ErrnoText(int e) { return std::strerror(e); }

std::string HexUuid(const uint8_t* u) {
    static const char* kHex = "0123456789abcdef";
    std::string s;
    bool any = false;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += kHex[u[i] >> 4];
        s += kHex[u[i] & 15];
        any = any || u[i] != 0;
    }
    return any ? s : "";
}

std::string PassWord(int n) { return n == 1 ? Str<171>() : Str<170>(); }

}  // namespace

std::vector<SwapArea> ParseProcSwaps(const std::string& text) {
    std::vector<SwapArea> areas;
    std::istringstream in(text);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {
            header = false;
            if (line.rfind("Filename", 0) == 0) continue;
        }
        std::istringstream fields(line);
        std::string name, type;
        long long sizeKiB = -1, usedKiB = -1;
        int prio = -1;
        if (!(fields >> name >> type >> sizeKiB >> usedKiB >> prio)) continue;
        if (sizeKiB < 0 || usedKiB < 0) continue;
        SwapArea a;
        a.path = DecodeOctalEscapes(name);
        a.isPartition = type == "partition";
        a.sizeBytes = static_cast<uint64_t>(sizeKiB) * 1024;
        a.usedBytes = static_cast<uint64_t>(usedKiB) * 1024;
        a.priority = prio;
        areas.push_back(std::move(a));
    }
    return areas;
}

MemoryFigures ParseMemInfo(const std::string& text) {
    MemoryFigures m;
    std::istringstream in(text);
    std::string key;
    uint64_t value = 0;
    std::string unit;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        if (!(f >> key >> value)) continue;
        if (key == "MemTotal:") m.totalBytes = value * 1024;
        if (key == "MemAvailable:") m.availableBytes = value * 1024;
    }
    return m;
}

bool EnoughMemoryFor(uint64_t usedBytes, const MemoryFigures& mem) {
    const uint64_t margin = std::max<uint64_t>(64ull << 20, mem.totalBytes / 20);
    return mem.availableBytes > usedBytes && mem.availableBytes - usedBytes >= margin;
}

bool ReadSwapIdentity(const std::string& path, SwapIdentity* out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    std::vector<uint8_t> page(65536);
    const ssize_t n = pread(fd, page.data(), page.size(), 0);
    close(fd);
    if (n < 4096) return false;
    for (uint32_t size = 4096; size <= 65536 && size <= static_cast<uint32_t>(n); size *= 2) {
        if (std::memcmp(page.data() + size - 10, "SWAPSPACE2", 10) != 0) continue;
        // Version-1 header after the 1024 boot bytes: version @1024, last page @1028,
        // bad pages @1032, UUID @1036 (16 bytes), label @1052 (16 bytes).
        out->pageSize = size;
        out->uuid = HexUuid(page.data() + 1036);
        const char* label = reinterpret_cast<const char*>(page.data() + 1052);
        out->label.assign(label, strnlen(label, 16));
        return true;
    }
    return false;
}

int RunMkswap(const std::string& path, const SwapIdentity& id) {
    std::vector<std::string> args = {"mkswap"};
    if (!id.uuid.empty()) {
        args.push_back("-U");
        args.push_back(id.uuid);
    }
    if (!id.label.empty()) {
        args.push_back("-L");
        args.push_back(id.label);
    }
    const long systemPage = sysconf(_SC_PAGESIZE);
    if (id.pageSize != 0 && systemPage > 0 && id.pageSize != static_cast<uint32_t>(systemPage)) {
        args.push_back("-p");
        args.push_back(std::to_string(id.pageSize));
    }
    args.push_back(path);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // mkswap lives in the system folders, which a user's PATH may lack.
    std::string searchPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    searchPath += ":/usr/sbin:/sbin";
    int status = -1;
    pid_t pid = -1;
    for (std::string dir; !searchPath.empty();) {
        const size_t colon = searchPath.find(':');
        dir = searchPath.substr(0, colon);
        searchPath = colon == std::string::npos ? "" : searchPath.substr(colon + 1);
        if (dir.empty()) continue;
        const std::string tool = dir + "/mkswap";
        if (access(tool.c_str(), X_OK) != 0) continue;
        if (posix_spawn(&pid, tool.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        break;
    }
    posix_spawn_file_actions_destroy(&fa);
    if (pid < 0) return -1;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CSwapWiper::CSwapWiper()
    : readProcSwaps([] { return ReadWholeFile("/proc/swaps"); }),
      readMemInfo([] { return ReadWholeFile("/proc/meminfo"); }),
      isRoot([] { return geteuid() == 0; }),
      swapOff([](const std::string& p) { return ::swapoff(p.c_str()) == 0 ? 0 : errno; }),
      swapOn([](const std::string& p, int prio) {
          int flags = 0;
          if (prio >= 0)
              flags = SWAP_FLAG_PREFER | ((prio << SWAP_FLAG_PRIO_SHIFT) & SWAP_FLAG_PRIO_MASK);
          return ::swapon(p.c_str(), flags) == 0 ? 0 : errno;
      }),
      makeSwap(RunMkswap) {}

std::string CSwapWiper::SkipReason(const SwapArea& area, const MemoryFigures& mem) const {
    if (!EnoughMemoryFor(area.usedBytes, mem))
        return TextWith(TextId<1301>, std::to_string(area.usedBytes >> 10),
                        std::to_string(mem.availableBytes >> 10));
    return "";
}

SwapWipeReport CSwapWiper::PlanFor(const std::vector<SwapArea>& areas) {
    SwapWipeReport rep;
    if (areas.empty()) {
        rep.skipReason = Str<1302>();
        return rep;
    }
    const bool root = isRoot();
    if (!root) rep.skipReason = Str<1303>();
    const MemoryFigures mem = ParseMemInfo(readMemInfo());
    for (const auto& a : areas) {
        SwapAreaResult r;
        r.path = a.path;
        r.reason = root ? SkipReason(a, mem) : rep.skipReason;
        r.skipped = !r.reason.empty();
        rep.areas.push_back(r);
    }
    return rep;
}

SwapWipeReport CSwapWiper::Plan() { return PlanFor(ParseProcSwaps(readProcSwaps())); }

SwapAreaResult CSwapWiper::OverwriteAndRecreate(const OpContext& op, const std::string& path,
                                                const SwapIdentity& id) {
    SwapAreaResult r;
    r.path = path;
    // The write gate: a regular file, or a block device nobody holds (swapoff has
    // released it; O_EXCL fails while the kernel still uses it).
    const Result<int> opened = platform::OpenRawForWrite(path);
    if (opened) {
        const int fd = opened.value();
        off_t end = lseek(fd, 0, SEEK_END);
        const uint64_t length = end > 0 ? static_cast<uint64_t>(end) : 0;
        AlignedBuffer buffer(kSwapChunk);
        if (!buffer.Ok()) {
            r.reason = Str<1268>();
        } else {
            const uint64_t chunks = (length + kSwapChunk - 1) / kSwapChunk;
            op.SetRange(ProgressSink::Current, 0, static_cast<int64_t>(chunks * passCount));
            int64_t pos = 0;
            bool failed = false;
            for (int pass = 1; pass <= passCount && !failed && !op.Stopped(); ++pass) {
                FillPassBuffer(buffer.data(), buffer.size(), pass, false);
                for (uint64_t off = 0; off < length; off += kSwapChunk) {
                    if (op.Stopped()) break;
                    const size_t n =
                        static_cast<size_t>(std::min<uint64_t>(kSwapChunk, length - off));
                    size_t wrote = 0;
                    if (!platform::PwriteAll(fd, buffer.data(), n, static_cast<off_t>(off),
                                             &wrote)) {
                        const int err = errno;
                        r.reason =
                            TextWith(TextId<1304>, std::to_string(off + wrote), ErrnoText(err));
                        failed = true;
                        break;
                    }
                    op.SetPos(ProgressSink::Current, ++pos);
                }
                if (failed || op.Stopped()) break;
                if (fdatasync(fd) != 0) {
                    r.reason = TextWith(TextId<1305>, ErrnoText(errno));
                    failed = true;
                    break;
                }
                r.passesDone = pass;
            }
        }
        close(fd);
    } else {
        r.reason = ErrorText(opened.error());
    }
    // Recreated whatever happened above: the area must not stay without its signature
    // (a partly written area would otherwise be neither swap nor data).
    const int mk = makeSwap(path, id);
    r.recreated = mk == 0;
    if (!r.recreated) {
        r.reason +=
            std::string(r.reason.empty() ? "" : "; ") + TextWith(TextId<1306>, std::to_string(mk));
    }
    r.wiped = r.recreated && r.passesDone == passCount;
    return r;
}

SwapWipeReport CSwapWiper::WipeAll(const OpContext& op) {
    op.Status(S<117>);  // "Wiping the system swapfile"
    // One reading of the swap list: the plan and the work must name the same areas.
    const auto areas = ParseProcSwaps(readProcSwaps());
    SwapWipeReport rep = PlanFor(areas);
    if (!rep.skipReason.empty()) {
        log::LogToFile(TextWith(TextId<1308>, rep.skipReason), op.Log());
        for (auto& a : rep.areas) a.skipped = true;
        return rep;
    }
    for (size_t i = 0; i < rep.areas.size(); ++i) {
        SwapAreaResult& r = rep.areas[i];
        const SwapArea& area = areas[i];
        if (op.Stopped()) {
            rep.aborted = true;
            break;
        }
        if (r.skipped) {
            log::LogToFile(TextWith(TextId<1309>, area.path, r.reason), op.Log());
            continue;
        }
        SwapIdentity id;
        if (!ReadSwapIdentity(area.path, &id)) {
            r.skipped = true;
            r.reason = Str<1310>();
            log::LogToFile(TextWith(TextId<1309>, area.path, r.reason), op.Log());
            continue;
        }
        if (int e = swapOff(area.path); e != 0) {
            r.skipped = true;
            r.reason = TextWith(TextId<1311>, ErrnoText(e));
            log::LogToFile(TextWith(TextId<1309>, area.path, r.reason), op.Log());
            continue;
        }
        SwapAreaResult done = OverwriteAndRecreate(op, area.path, id);
        if (done.recreated) {
            const int e = swapOn(area.path, area.priority);
            done.reactivated = e == 0;
            if (e != 0)
                done.reason += std::string(done.reason.empty() ? "" : "; ") +
                               TextWith(TextId<1307>, ErrnoText(e));
        }
        r = done;
        if (op.Stopped()) rep.aborted = true;
        if (r.wiped && r.reactivated) {
            log::LogToFile(TextWith(TextId<1312>, area.path, std::to_string(r.passesDone),
                                    PassWord(r.passesDone)),
                           op.Log());
        } else {
            const std::string line = !r.reason.empty() ? TextWith(TextId<1314>, area.path, r.reason)
                                     : rep.aborted     ? TextWith(TextId<1315>, area.path)
                                                       : TextWith(TextId<1313>, area.path);
            log::LogToFile(line, op.Log());
        }
    }
    return rep;
}

}  // namespace tw::wipe
