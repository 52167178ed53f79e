#include "archive/os/os.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace os {

namespace {

Os realOs;
Os* current = &realOs;

// Crash tests on the real binary set TRESMO_FAULT_KILL_AFTER=N to have the process killed
// right after its Nth call that changes a file (write, truncate, sync, rename, unlink), so a
// kill lands exactly between two of them. Unset, it costs one comparison per such call.
long killAfter = [] {
    const char* n = std::getenv("TRESMO_FAULT_KILL_AFTER");
    return n ? std::atol(n) : 0L;
}();

template <class T>
T changed(T result) {
    if (killAfter > 0 && --killAfter == 0) ::raise(SIGKILL);
    return result;
}

}  // namespace

int Os::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int Os::openat(int dirfd, const char* path, int flags, mode_t mode) {
    return ::openat(dirfd, path, flags, mode);
}
int Os::close(int fd) {
    return ::close(fd);
}
ssize_t Os::read(int fd, void* buf, size_t n) {
    return ::read(fd, buf, n);
}
ssize_t Os::pread(int fd, void* buf, size_t n, off_t off) {
    return ::pread(fd, buf, n, off);
}
ssize_t Os::write(int fd, const void* buf, size_t n) {
    return changed(::write(fd, buf, n));
}
ssize_t Os::pwrite(int fd, const void* buf, size_t n, off_t off) {
    return changed(::pwrite(fd, buf, n, off));
}
int Os::fdatasync(int fd) {
    return changed(::fdatasync(fd));
}
int Os::fsync(int fd) {
    return changed(::fsync(fd));
}
int Os::syncfs(int fd) {
    return changed(::syncfs(fd));
}
int Os::ftruncate(int fd, off_t length) {
    return changed(::ftruncate(fd, length));
}
int Os::fstat(int fd, struct stat* st) {
    return ::fstat(fd, st);
}
int Os::lstat(const char* path, struct stat* st) {
    return ::lstat(path, st);
}
int Os::stat(const char* path, struct stat* st) {
    return ::stat(path, st);
}
int Os::fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    return ::fstatat(dirfd, path, st, flags);
}
int Os::futimens(int fd, const struct timespec times[2]) {
    return ::futimens(fd, times);
}
int Os::utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
    return ::utimensat(dirfd, path, times, flags);
}
int Os::flock(int fd, int operation) {
    return ::flock(fd, operation);
}
int Os::rename(const char* from, const char* to) {
    return changed(::rename(from, to));
}
int Os::renameat(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    int r = ::renameat2(fromDir, from, toDir, to, flags);
    if (r != 0 && errno == EINVAL && flags == RENAME_NOREPLACE) {
        // A file system without the flag: the check and the rename are two steps there.
        struct stat st;
        if (::fstatat(toDir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            errno = EEXIST;
            return -1;
        }
        r = ::renameat(fromDir, from, toDir, to);
    }
    return changed(r);
}
int Os::unlink(const char* path) {
    return changed(::unlink(path));
}
int Os::unlinkat(int dirfd, const char* path, int flags) {
    return ::unlinkat(dirfd, path, flags);
}
int Os::mkdir(const char* path, mode_t mode) {
    return ::mkdir(path, mode);
}
int Os::fchmodat(int dirfd, const char* path, mode_t mode) {
    return ::fchmodat(dirfd, path, mode, 0);
}

int Os::fchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}

ssize_t Os::readlinkat(int dirfd, const char* path, char* buf, size_t n) {
    return ::readlinkat(dirfd, path, buf, n);
}

int Os::symlinkat(const char* target, int dirfd, const char* path) {
    return ::symlinkat(target, dirfd, path);
}

int Os::mkdirat(int dirfd, const char* path, mode_t mode) {
    return ::mkdirat(dirfd, path, mode);
}
int Os::rmdir(const char* path) {
    return ::rmdir(path);
}
int Os::mkdtemp(char* tmpl) {
    return ::mkdtemp(tmpl) ? 0 : -1;
}
int Os::kill(pid_t pid, int sig) {
    return ::kill(pid, sig);
}

namespace {

// Lists the folder open as fd, which it closes.
int listOpenDir(int fd, std::vector<DirEntry>& out) {
    out.clear();
    if (fd < 0) return -1;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    for (;;) {
        errno = 0;
        struct dirent* d = ::readdir(dir);
        if (!d) break;
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        DirEntry e;
        e.name = name;
        struct stat st;
        // lstat, so a symbolic link is seen as what it is and never followed.
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISREG(st.st_mode))
                e.type = DirEntry::Type::File;
            else if (S_ISDIR(st.st_mode))
                e.type = DirEntry::Type::Dir;
            else if (S_ISLNK(st.st_mode))
                e.type = DirEntry::Type::Link;
            e.size = st.st_size;
            e.mode = static_cast<uint16_t>(st.st_mode & 07777);
            // Toward zero, as the file reader takes it: tv_sec alone floors a time before 1970.
            e.mtime = st.st_mtim.tv_sec + (st.st_mtim.tv_sec < 0 && st.st_mtim.tv_nsec > 0);
        } else {
            e.type = DirEntry::Type::Unreadable;
        }
        out.push_back(std::move(e));
    }
    int err = errno;
    ::closedir(dir);
    if (err) {
        errno = err;
        return -1;
    }
    return 0;
}

}  // namespace

int Os::listDir(const char* path, std::vector<DirEntry>& out) {
    return listOpenDir(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW), out);
}

int Os::listDirAt(int dirFd, std::vector<DirEntry>& out) {
    // A descriptor of its own: closedir closes it, and reading moves its position.
    return listOpenDir(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), out);
}

int Os::spawn(pid_t* pid, const char* file, char* const argv[]) {
    int rc = ::posix_spawnp(pid, file, nullptr, nullptr, argv, environ);
    // The caller never waits for what it started (a viewer may outlive the command): a thread
    // of its own waits, blocked, and reaps the child the moment it ends, so none lingers as a
    // zombie. Only this child is waited for, never one that other code waits for.
    if (rc == 0) {
        try {
            std::thread([child = *pid] {
                int status;
                while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
            }).detach();
        } catch (const std::system_error&) {
            // No thread to spare: the child is reaped when the program ends.
        }
    }
    return rc;
}

bool Os::sharedByThreads() const {
    return this == &real();
}

int64_t Os::time() {
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

void Os::sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int Os::inotifyInit(int flags) {
    return ::inotify_init1(flags);
}
int Os::inotifyAddWatch(int fd, const char* path, uint32_t mask) {
    return ::inotify_add_watch(fd, path, mask);
}
int Os::inotifyRmWatch(int fd, int wd) {
    return ::inotify_rm_watch(fd, wd);
}

int openLocked(const char* path, int flags, mode_t mode, Lock lock, int waitMs, int dirFd) {
    int fd = dirFd == AT_FDCWD ? sys().open(path, flags | O_CLOEXEC, mode)
                               : sys().openat(dirFd, path, flags | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    int op = (lock == Lock::Shared ? LOCK_SH : LOCK_EX) | (waitMs < 0 ? 0 : LOCK_NB);
    // A bounded wait polls: flock itself can only wait without limit.
    int64_t waited = 0;
    constexpr int POLL_MS = 20;
    while (sys().flock(fd, op) != 0) {
        bool retry = errno == EINTR || (errno == EWOULDBLOCK && waited < waitMs);
        if (!retry) {
            closeQuietly(fd);
            return -1;
        }
        if (errno == EWOULDBLOCK) {
            sys().sleepMs(POLL_MS);
            waited += POLL_MS;
        }
    }
    return fd;
}

namespace {

struct Patience {
    int waitMs = 10000;
    std::function<void(const char*)> notice;
};

Patience& patience() {
    static Patience p;
    return p;
}

}  // namespace

void setLockPatience(int waitMs, std::function<void(const char* path)> notice) {
    patience() = Patience{waitMs, std::move(notice)};
}

int openPatiently(const char* path, int flags, mode_t mode, Lock lock) {
    int fd = openLocked(path, flags, mode, lock);
    if (fd >= 0 || errno != EWOULDBLOCK || patience().waitMs == 0) return fd;
    if (patience().notice) patience().notice(path);
    return openLocked(path, flags, mode, lock, patience().waitMs);
}

std::string currentDir() {
    char buf[PATH_MAX];
    return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

bool realPath(const std::string& path, std::string& out) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return false;
    out = buf;
    return true;
}

pid_t processId() {
    return ::getpid();
}

uid_t userId() {
    return ::getuid();
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

int terminalColumns(int fd) {
    struct winsize ws {};
    return ::ioctl(fd, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

bool isExecutable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

int runAndWait(char* const argv[]) {
    pid_t pid;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

InterruptHandler::InterruptHandler(void (*handler)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    for (size_t i = 0; i < std::size(SIGNALS); ++i)
        ::sigaction(SIGNALS[i], &sa, &_old[i]);
}

InterruptHandler::~InterruptHandler() {
    for (size_t i = 0; i < std::size(SIGNALS); ++i)
        ::sigaction(SIGNALS[i], &_old[i], nullptr);
}

bool utcTime(int64_t t, struct tm& parts) {
    time_t tt = static_cast<time_t>(t);
    return ::gmtime_r(&tt, &parts) != nullptr;
}

bool localTime(int64_t t, struct tm& parts) {
    // Re-read TZ each time: localtime_r alone keeps the zone it saw first.
    ::tzset();
    time_t tt = static_cast<time_t>(t);
    return ::localtime_r(&tt, &parts) != nullptr;
}

int64_t fromLocalTime(struct tm& parts) {
    ::tzset();
    return static_cast<int64_t>(::mktime(&parts));
}

int64_t fromUtcTime(struct tm& parts) {
    return static_cast<int64_t>(::timegm(&parts));
}

TimeLocale::TimeLocale() {
    _loc = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (!_loc) _loc = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
}

TimeLocale::~TimeLocale() {
    if (_loc) ::freelocale(_loc);
}

const char* TimeLocale::info(nl_item item) const {
    return _loc ? ::nl_langinfo_l(item, _loc) : "";
}

std::string TimeLocale::format(const std::string& format, const struct tm& parts) const {
    // A leading sentinel tells an empty result from one that did not fit.
    std::string f = "x" + format;
    for (size_t cap = 256; cap <= 65536; cap *= 4) {
        std::string out(cap, '\0');
        size_t n = ::strftime_l(out.data(), cap, f.c_str(), &parts, _loc);
        if (n > 0) return out.substr(1, n - 1);
    }
    return "";
}

Os& Os::real() {
    return realOs;
}
Os& sys() {
    return *current;
}

Os* install(Os* os) {
    Os* old = current;
    current = os ? os : &realOs;
    return old;
}

namespace {

// Runs a transfer that may do part of its work until all n bytes are done, retrying EINTR.
// call(offset, count) returns the bytes transferred, 0 at the end of the file, or -1.
// Returns the bytes done, or -1 on a real failure.
template <class Call>
ssize_t transferAll(size_t n, Call call) {
    size_t done = 0;
    while (done < n) {
        ssize_t r = call(done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

// A write that makes no progress without an error would loop for ever: it counts as full.
bool wroteAll(ssize_t done, size_t n) {
    if (done < 0) return false;
    if (static_cast<size_t>(done) < n) {
        errno = ENOSPC;
        return false;
    }
    return true;
}

}  // namespace

ssize_t readFull(int fd, void* buf, size_t n) {
    return transferAll(n, [&](size_t at, size_t count) {
        return sys().read(fd, static_cast<char*>(buf) + at, count);
    });
}

ssize_t preadFull(int fd, void* buf, size_t n, off_t off) {
    return transferAll(n, [&](size_t at, size_t count) {
        return sys().pread(fd, static_cast<char*>(buf) + at, count, off + static_cast<off_t>(at));
    });
}

bool writeFull(int fd, const void* buf, size_t n) {
    return wroteAll(transferAll(n,
                                [&](size_t at, size_t count) {
                                    return sys().write(fd, static_cast<const char*>(buf) + at,
                                                       count);
                                }),
                    n);
}

bool pwriteFull(int fd, const void* buf, size_t n, off_t off) {
    return wroteAll(transferAll(n,
                                [&](size_t at, size_t count) {
                                    return sys().pwrite(fd, static_cast<const char*>(buf) + at,
                                                        count, off + static_cast<off_t>(at));
                                }),
                    n);
}

void closeQuietly(int fd) {
    int err = errno;
    sys().close(fd);
    errno = err;
}

bool syncFile(int fd) {
    // fdatasync also makes a changed length durable; after a failure the kernel may have
    // dropped the dirty pages already, so a caller must never retry and report success.
    while (sys().fdatasync(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool syncFileSystem(int fd) {
    while (sys().syncfs(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool syncDir(const std::string& dir) {
    int fd = sys().open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = true;
    while (sys().fsync(fd) != 0) {
        if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    closeQuietly(fd);
    return ok;
}

int unnamedTempFile() {
    const char* dir = std::getenv("TMPDIR");
    return sys().open(dir && *dir ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

bool writeFileAtomic(const std::string& path, const std::string& data) {
    std::string::size_type slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".")
                      : slash == 0               ? std::string("/")
                                                 : path.substr(0, slash);
    std::string tmp = path + ".tmp~";
    int fd = sys().open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    bool ok = writeFull(fd, data.data(), data.size()) && syncFile(fd);
    if (!ok) {
        closeQuietly(fd);
        int err = errno;
        sys().unlink(tmp.c_str());
        errno = err;
        return false;
    }
    if (sys().close(fd) != 0 || sys().rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        sys().unlink(tmp.c_str());
        errno = err;
        return false;
    }
    return syncDir(dir);
}

void keepFreedMemory() {
#ifdef __GLIBC__
    // Setting one threshold stops the library from adjusting the other as it goes; then
    // every block above 128 KiB (the encoder's tables) would be mapped afresh: both are set.
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
    mallopt(M_TRIM_THRESHOLD, 8 << 20);
#endif
}

}  // namespace os
