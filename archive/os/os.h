// The one door to the operating system.
//
// Every system call the engine makes goes through the installed `os::Os` object, so tests can
// replace single calls: fail the Nth write with ENOSPC, make a read short, move the clock.
// The default implementation (os_posix.cpp) calls POSIX directly. A test installs a subclass
// that forwards to `os::Os::real()` for everything it does not override.
//
// The virtual calls are raw: they may do part of their work, fail with EINTR and set errno,
// exactly like the system calls they stand for. The free functions below them (readFull,
// pwriteFull, ...) are what the engine uses: they continue partial transfers and retry EINTR,
// so only a real failure reaches the caller (with errno set for systemError()).
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <langinfo.h>
#include <locale.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace os {

// One entry of a folder listing. Sockets, fifos and devices are `Other`: the archive never
// stores them. A symbolic link is listed as itself (never followed): its size is the length of
// its target and its time its own.
struct DirEntry {
    // Unreadable: listed, but its kind could not be read (stat failed, as in a folder that
    // may be listed but not entered).
    enum class Type { File, Dir, Link, Other, Unreadable };
    std::string name;
    Type type = Type::Other;
    int64_t size = 0;
    int64_t mtime = 0;  // seconds, truncated toward zero
    uint16_t mode = 0;  // permission bits (07777)
};

class Os {
  public:
    virtual ~Os() = default;

    virtual int open(const char* path, int flags, mode_t mode);
    virtual int openat(int dirfd, const char* path, int flags, mode_t mode);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buf, size_t n);
    virtual ssize_t pread(int fd, void* buf, size_t n, off_t off);
    virtual ssize_t write(int fd, const void* buf, size_t n);
    virtual ssize_t pwrite(int fd, const void* buf, size_t n, off_t off);
    virtual int fdatasync(int fd);
    virtual int fsync(int fd);
    // Writes back everything cached for the file system that holds fd.
    virtual int syncfs(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int fstat(int fd, struct stat* st);
    virtual int lstat(const char* path, struct stat* st);
    virtual int stat(const char* path, struct stat* st);
    virtual int fstatat(int dirfd, const char* path, struct stat* st, int flags);
    virtual int futimens(int fd, const struct timespec times[2]);
    // utimensat relative to a folder; with AT_SYMLINK_NOFOLLOW it sets a link's own times
    virtual int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags);
    virtual int flock(int fd, int operation);
    virtual int rename(const char* from, const char* to);
    // renameat2: flags 0, RENAME_NOREPLACE (fails with EEXIST, also where the file system lacks
    // the flag) or RENAME_EXCHANGE (EINVAL where the file system cannot swap).
    virtual int renameat(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
    virtual int unlink(const char* path);
    virtual int unlinkat(int dirfd, const char* path, int flags);
    virtual int mkdir(const char* path, mode_t mode);
    virtual int mkdirat(int dirfd, const char* path, mode_t mode);
    // fchmodat without flags (a link is followed; export never makes one it would follow)
    // and fchmod of an open descriptor.
    virtual int fchmodat(int dirfd, const char* path, mode_t mode);
    virtual int fchmod(int fd, mode_t mode);
    // readlinkat (no NUL is added) and symlinkat, both relative to a folder descriptor.
    virtual ssize_t readlinkat(int dirfd, const char* path, char* buf, size_t n);
    virtual int symlinkat(const char* target, int dirfd, const char* path);
    virtual int rmdir(const char* path);
    // mkdtemp: tmpl's trailing XXXXXX are replaced in place; the folder is made with mode 0700.
    virtual int mkdtemp(char* tmpl);
    virtual int kill(pid_t pid, int sig);
    // Lists a folder (without "." and ".."), in the order the system returns the entries.
    // Returns 0, or -1 with errno set when the folder cannot be opened or read.
    virtual int listDir(const char* path, std::vector<DirEntry>& out);
    // The same for the folder open as dirFd, which stays open where it is.
    virtual int listDirAt(int dirFd, std::vector<DirEntry>& out);
    // posix_spawnp without waiting; the child is reaped by the platform layer.
    virtual int spawn(pid_t* pid, const char* file, char* const argv[]);
    // Present time in seconds since 1970-01-01 UTC.
    virtual int64_t time();
    virtual void sleepMs(int ms);
    // inotify_init1, inotify_add_watch and inotify_rm_watch (FolderWatch is their one user).
    virtual int inotifyInit(int flags);
    virtual int inotifyAddWatch(int fd, const char* path, uint32_t mask);
    virtual int inotifyRmWatch(int fd, int wd);

    // Whether threads other than the one that installed it may call it at the same time. A
    // test's implementation answers its calls in the order one thread makes them and says no
    // unless it overrides this; the POSIX one says yes.
    virtual bool sharedByThreads() const;

    // The POSIX implementation, for forwarding.
    static Os& real();
};

// The installed implementation; the real one unless a test installed another.
Os& sys();
// Installs an implementation (not owned); null restores the real one. Returns the previous.
Os* install(Os* os);

// Reads until n bytes or the end of the file; returns the count, or -1 on a real failure.
ssize_t readFull(int fd, void* buf, size_t n);
ssize_t preadFull(int fd, void* buf, size_t n, off_t off);
// Writes all n bytes; false on a real failure (errno set). A short count is continued.
bool writeFull(int fd, const void* buf, size_t n);
bool pwriteFull(int fd, const void* buf, size_t n, off_t off);
// close() that keeps errno of an earlier failure intact.
void closeQuietly(int fd);

// The one way a file is opened under a lock. open (openat when dirFd is a folder descriptor)
// with O_CLOEXEC added, then flock on the open file description: shared for readers, exclusive
// for writers. Because the lock belongs to the description, a second open of the same path
// conflicts even inside one process. waitMs 0 fails at once when another holder conflicts,
// waitMs > 0 waits up to that long, waitMs < 0 without limit. Returns the descriptor, or -1
// with errno set (EWOULDBLOCK for a conflict that did not end) and nothing left open.
enum class Lock { Shared, Exclusive };
int openLocked(const char* path, int flags, mode_t mode, Lock lock, int waitMs = 0,
               int dirFd = AT_FDCWD);

// The process's patience with another program that holds a lock: how long openPatiently
// waits, and what it calls once, when it starts to wait, with the path (the command line says
// so on stderr). Until set: 10 seconds, and nothing is said.
void setLockPatience(int waitMs, std::function<void(const char* path)> notice);
// openLocked that tries at once and, when another holder conflicts, calls the notice and waits
// as long as the patience allows; still EWOULDBLOCK after that when the holder did not let go.
int openPatiently(const char* path, int flags, mode_t mode, Lock lock);

// The current folder; empty, with errno set, when it cannot be determined.
std::string currentDir();
// The canonical path of an existing path (realpath); false, with errno set, on failure.
bool realPath(const std::string& path, std::string& out);
// This process's id and its real user's.
pid_t processId();
uid_t userId();
// Whether the descriptor is a terminal.
bool isTerminal(int fd);
// The width of the terminal on fd in columns, 0 when it is none or does not say.
int terminalColumns(int fd);
// Whether path names a file this process may execute.
bool isExecutable(const std::string& path);
// Starts argv[0] (searched in PATH) and waits for it: its exit status, or -1 when it could not
// be started or did not exit normally.
int runAndWait(char* const argv[]);

// While one lives, the signals that ask a program to stop (SIGINT from Ctrl+C, SIGTERM from
// kill or a shutdown, SIGHUP from a closed terminal) call handler with their number instead of
// ending the process; system calls they interrupt are not restarted (they fail with EINTR), so
// a blocked read returns and the caller sees its flag soon. The previous handling comes back
// at the end.
class InterruptHandler {
  public:
    static constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

    explicit InterruptHandler(void (*handler)(int));
    ~InterruptHandler();
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

  private:
    struct sigaction _old[std::size(SIGNALS)];
};

// Calendar parts of a time in UTC, or in the local zone as TZ names it now; false when the
// time cannot be represented.
bool utcTime(int64_t t, struct tm& parts);
bool localTime(int64_t t, struct tm& parts);
// The time of calendar parts taken as local time (mktime, which normalises them in place), or
// as UTC (timegm).
int64_t fromLocalTime(struct tm& parts);
int64_t fromUtcTime(struct tm& parts);

// The LC_TIME locale the environment names (LC_ALL, LC_TIME, LANG), independent of the
// process's setlocale state; one that is not installed falls back to "C", as the C library
// does at start.
class TimeLocale {
  public:
    TimeLocale();
    ~TimeLocale();
    TimeLocale(const TimeLocale&) = delete;
    TimeLocale& operator=(const TimeLocale&) = delete;

    // nl_langinfo of the locale ("" when none could be made).
    const char* info(nl_item item) const;
    // strftime of the locale; "" when the result is empty or does not fit in 64 KiB.
    std::string format(const std::string& format, const struct tm& parts) const;

  private:
    locale_t _loc;
};

// Durability lives here only. syncFile makes a file's data (and its length) durable before a
// commit is reported; syncDir makes a create or rename in a folder durable, which the
// file's own sync does not.
bool syncFile(int fd);
bool syncDir(const std::string& dir);
// Makes everything written to the file system that holds fd durable, for a copy of many files
// that must be on disk before what it replaces is deleted.
bool syncFileSystem(int fd);

// A new file without a name in $TMPDIR (else /tmp), open for reading and writing, that only
// this process can reach and that goes when it is closed; -1 with errno set where the file
// system cannot make one.
int unnamedTempFile();

// Writes `data` to `path` so that a crash leaves either the old file or the new one whole:
// a temporary file beside it, synced, renamed over the old one, and the folder synced.
// False on failure (errno set), with the temporary file removed and the old file untouched.
bool writeFileAtomic(const std::string& path, const std::string& data);

// Called once by a program at its start, never by the engine: restoring or saving a file
// takes and frees a few hundred KiB of buffers, and the C library would hand that memory back
// to the system after every file and take it again, zeroed, for the next. Keeps up to 8 MiB
// of freed memory for reuse instead.
void keepFreedMemory();

}  // namespace os
