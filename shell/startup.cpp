// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/startup.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/drives.h"
#include "platform/error.h"
#include "platform/fileio.h"

namespace tw::shell {

namespace {

// A folder for lock files: a real folder owned by us with no access for others.
bool IsPrivateFolder(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    if ((st.st_mode & 077) != 0 && chmod(path.c_str(), 0700) != 0) return false;
    return true;
}

std::string EnsurePrivateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return "";
    return IsPrivateFolder(path) ? path : "";
}

// File names from free text: anything but letters, digits, ".", "-" and "_" becomes "_".
std::string SafeFileName(const std::string& text) {
    std::string out;
    for (char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
        out += ok ? c : '_';
    }
    return out;
}

std::string Join(const std::string& folder, const std::string& leaf) {
    return folder.empty() ? "" : platform::JoinPath(folder, leaf);
}

}  // namespace

std::string RuntimeFolder() {
    if (const char* x = getenv("XDG_RUNTIME_DIR"); x && *x == '/') {
        std::string path = EnsurePrivateFolder(std::string(x) + "/tidewipe");
        if (!path.empty()) return path;
    }
    return EnsurePrivateFolder("/tmp/tidewipe-" + std::to_string(geteuid()));
}

int LockFile(const std::string& path, bool exclusive, bool wait) {
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return -1;
    int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    int r;
    while ((r = flock(fd, op)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool FileOpens(const std::string& path) {
    if (path.empty()) return false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    close(fd);
    return ok;
}

bool LaunchDetached(const std::vector<std::string>& argv, std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (argv.empty() || argv[0].empty()) return fail(Str<1603>());
    // Everything the children need is prepared here: between fork and exec only
    // async-signal-safe calls are made (the panel has threads).
    std::string program = argv[0];
    if (program[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof cwd)) return fail(std::strerror(errno));
        program = std::string(cwd) + "/" + program;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) return fail(std::strerror(errno));

    pid_t child = fork();
    if (child < 0) {
        int e = errno;
        close(errPipe[0]);
        close(errPipe[1]);
        return fail(std::strerror(e));
    }
    if (child == 0) {
        // First child: leave the caller's session, then fork the program's process and
        // end, so the program is adopted by init (or the session's subreaper).
        close(errPipe[0]);
        setsid();
        pid_t grandchild = fork();
        if (grandchild < 0) {
            int e = errno;
            (void)!write(errPipe[1], &e, sizeof e);
            _exit(1);
        }
        if (grandchild > 0) _exit(0);

        // The program's process. The caller may have blocked or ignored signals (an
        // event loop blocks the ones it reads through a signalfd); both survive exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
        // Only 0, 1, 2 (on /dev/null) and the error pipe, which exec closes.
        int nul = open("/dev/null", O_RDWR);
        if (nul >= 0) {
            dup2(nul, 0);
            dup2(nul, 1);
            dup2(nul, 2);
        }
        int ep = errPipe[1];
        if (ep != 3) {
            ep = dup2(ep, 3);  // dup2 clears close-on-exec
            if (ep >= 0) fcntl(ep, F_SETFD, FD_CLOEXEC);
        }
        close_range(4, ~0U, 0);
        // From "/": a program started from a mounted folder must not keep it busy.
        (void)!chdir("/");
        execv(program.c_str(), args.data());
        int e = errno;
        if (ep >= 0) (void)!write(ep, &e, sizeof e);
        _exit(127);
    }

    close(errPipe[1]);
    int status = 0;
    pid_t r;
    while ((r = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n;
    while ((n = read(errPipe[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    close(errPipe[0]);
    if (n == static_cast<ssize_t>(sizeof err)) return fail(program + ": " + std::strerror(err));
    // A caller that reaps children itself (SIGCHLD ignored) gives ECHILD here; the
    // pipe has already said whether exec worked.
    if (r == child && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) return fail(Str<1604>());
    return true;
}

bool LaunchResidentGuard(const std::string& path) { return LaunchDetached({path}); }

std::string ResidentGuardPath() { return ProgramFolder() + kGuardProgram; }

Privileges QueryPrivileges() {
    Privileges p;
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    bool haveCaps = syscall(SYS_capget, &header, data) == 0;
    auto has = [&](int cap) {
        return haveCaps && (data[cap / 32].effective & (1u << (cap % 32))) != 0;
    };
    const bool root = geteuid() == 0;
    p.manageVolumePrivilege = (root || has(CAP_SYS_ADMIN)) ? 1 : 0;
    char* session = nullptr;
    bool inSession = sd_pid_get_session(0, &session) >= 0;
    free(session);
    p.shutdownPrivilege = (root || has(CAP_SYS_BOOT) || inSession) ? 1 : 0;
    return p;
}

std::string CommandLineText(int argc, const char* const* argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i) line += ' ';
        if (argv[i]) line += argv[i];
    }
    return line;
}

CommandLineSwitches FindSwitches(std::string_view line) {
    CommandLineSwitches s;
    s.cfsm = line.find("-cfsm") != std::string_view::npos;
    s.cfs = line.find("-cfs") != std::string_view::npos;
    s.rb = line.find("-rb") != std::string_view::npos;
    return s;
}

// ---- CInstanceChecker ----

CInstanceChecker::CInstanceChecker(std::string name, std::string folder)
    : name_(std::move(name)), folder_(folder.empty() ? RuntimeFolder() : std::move(folder)) {}

CInstanceChecker::~CInstanceChecker() {
    ReleaseStartupLock();
    if (instanceFd_ >= 0) close(instanceFd_);
}

std::string CInstanceChecker::MappingName() const { return "CInstanceChecker_MMF_" + name_; }

uint64_t CInstanceChecker::WindowToPublish() const { return static_cast<uint64_t>(getpid()); }

std::string CInstanceChecker::LockPath() const {
    return Join(folder_, SafeFileName(MappingName()) + ".lock");
}

std::string CInstanceChecker::StartupLockPath() const {
    return Join(folder_, SafeFileName(name_) + ".startup");
}

bool CInstanceChecker::AcquireStartupLock() {
    if (startupFd_ >= 0) return true;
    startupFd_ = LockFile(StartupLockPath(), true, true);
    return startupFd_ >= 0;
}

void CInstanceChecker::ReleaseStartupLock() {
    if (startupFd_ >= 0) {
        close(startupFd_);  // closing the only descriptor drops the lock
        startupFd_ = -1;
    }
}

bool CInstanceChecker::OtherInstanceRunning() {
    if (instanceFd_ >= 0) return false;  // we are the instance
    int fd = LockFile(LockPath(), true, false);
    if (fd >= 0) {
        close(fd);
        return false;
    }
    return errno == EWOULDBLOCK;
}

bool CInstanceChecker::PublishFirstInstance() {
    if (instanceFd_ >= 0) return true;
    int fd = LockFile(LockPath(), true, false);
    if (fd < 0) return false;
    // The file holds the id as text, written before the start-up lock is released; a
    // reader holds that lock while it reads, so it never sees a half-written id.
    std::string text = std::to_string(WindowToPublish()) + "\n";
    // The lock alone is what later instances test; the id is a courtesy, so a failed
    // write is not a failed publication.
    if (ftruncate(fd, 0) == 0) (void)platform::PwriteAll(fd, text.data(), text.size(), 0);
    instanceFd_ = fd;
    ReleaseStartupLock();
    return true;
}

bool CInstanceChecker::InstanceRunning(const std::string& name, const std::string& folder,
                                       uint64_t* window) {
    CInstanceChecker probe(name, folder);
    // A panel takes the instance lock only while it holds the start-up lock, so a probe
    // that holds the start-up lock can test the instance lock without ever making a
    // starting panel believe another one runs. A start-up lock held by someone else
    // means a panel is starting: it counts as running.
    int s = LockFile(probe.StartupLockPath(), true, false);
    if (s < 0) return errno == EWOULDBLOCK;
    int fd = LockFile(probe.LockPath(), false, false);
    bool running = fd < 0 && errno == EWOULDBLOCK;
    if (fd >= 0) close(fd);
    if (running && window) {
        int rfd = open(probe.LockPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (rfd >= 0) {
            char buf[32] = {};
            ssize_t n = read(rfd, buf, sizeof buf - 1);
            if (n > 0) *window = std::strtoull(buf, nullptr, 10);
            close(rfd);
        }
    }
    close(s);
    return running;
}

// ---- CStartup ----

CStartup::CStartup(Config config)
    : instanceChecker(kPanelInstanceName, config.lockFolder), config_(std::move(config)) {
    switches_ = FindSwitches(config_.commandLine);
}

void CStartup::Show(int textId, int captionId) {
    if (config_.showMessage) config_.showMessage(textId, captionId);
}

void CStartup::Send(Message m, int32_t lparam) {
    if (config_.bus) config_.bus->Broadcast(m, lparam);
}

CStartup::Outcome CStartup::Start() {
    const std::string folder =
        config_.programFolder.empty() ? ProgramFolder() : config_.programFolder;
    residentProgramPath = folder + kGuardProgram;
    if (!FileOpens(residentProgramPath)) {
        Show(103, 125);
        return Outcome::NotInstalled;
    }
    instanceChecker.AcquireStartupLock();
    if (instanceChecker.OtherInstanceRunning()) {
        instanceChecker.ReleaseStartupLock();
        return Outcome::OtherInstance;
    }
    if (beforeGuardLaunch_) beforeGuardLaunch_();
    // The guard is started at every start; a guard that already runs refuses the copy.
    guardLaunched = LaunchResidentGuard(residentProgramPath);
    if (!guardLaunched) Show(103, 125);
    return Outcome::Run;
}

void CStartup::InitPrivilegesAndSwitches() {
    Privileges p = QueryPrivileges();
    manageVolumePrivilege = p.manageVolumePrivilege;
    shutdownPrivilege = p.shutdownPrivilege;
    if (switches_.cfs || switches_.cfsm) guardActive = 1;
}

bool CStartup::Publish() { return instanceChecker.PublishFirstInstance(); }

void CStartup::BroadcastGuardQueries() {
    Send(Message::GuardQueryMessage, 1);
    Send(Message::GuardQuery2Message, 1);
    Send(Message::GuardQuery3Message, 1);
}

void CStartup::BroadcastCleanRequests() {
    if (switches_.cfs) Send(Message::CleanRequestMessage, kCleanScheduled);
    if (switches_.cfsm) Send(Message::CleanRequestMessage, kCleanForced);
}

}  // namespace tw::shell
