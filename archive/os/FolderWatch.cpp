#include "archive/os/FolderWatch.h"

#include "archive/os/os.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/inotify.h>

namespace os {

namespace {

// What changes a folder's listing or an entry's time or size. IN_MODIFY comes for each write
// of a file being written, so a writer produces many; the caller debounces.
constexpr uint32_t MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                          IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                          IN_DONT_FOLLOW | IN_EXCL_UNLINK;

}  // namespace

FolderWatch::FolderWatch(int64_t budget)
    : _fd(sys().inotifyInit(IN_NONBLOCK | IN_CLOEXEC)), _budget(budget) {}

FolderWatch::~FolderWatch() {
    if (_fd >= 0) closeQuietly(_fd);
}

int64_t FolderWatch::defaultBudget() {
    int fd = sys().open("/proc/sys/fs/inotify/max_user_watches", O_RDONLY | O_CLOEXEC, 0);
    char buf[32] = {};
    ssize_t n = fd < 0 ? -1 : readFull(fd, buf, sizeof buf - 1);
    if (fd >= 0) closeQuietly(fd);
    long long limit = n > 0 ? std::atoll(buf) : 0;
    return limit > 1 ? limit / 2 : 8192;
}

int FolderWatch::add(const std::string& dir) {
    if (_fd < 0) {
        errno = ENOSYS;
        return -1;
    }
    if (_count >= _budget) {
        errno = ENOSPC;
        return -1;
    }
    int wd = sys().inotifyAddWatch(_fd, dir.c_str(), MASK);
    if (wd >= 0) ++_count;
    return wd;
}

void FolderWatch::remove(int wd) {
    // Counted out now, for a watch that replaces it; the system's IN_IGNORED that confirms it
    // comes later and is then not counted again.
    if (_fd >= 0 && sys().inotifyRmWatch(_fd, wd) == 0) {
        --_count;
        _removed.insert(wd);
    }
}

bool FolderWatch::read(std::vector<Event>& out) {
    if (_fd < 0) return false;
    // Aligned as the records are: each starts with an int.
    alignas(inotify_event) char buf[16384];
    bool any = false;
    for (;;) {
        ssize_t n = sys().read(_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return any;
        any = true;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            inotify_event e;
            std::memcpy(&e, buf + at, sizeof e);
            Event ev;
            if (e.mask & IN_Q_OVERFLOW) {
                out.push_back(ev);
            } else if (e.mask & IN_IGNORED) {
                // The watch is gone (its folder went, or remove() took it): it no longer counts.
                if (!_removed.erase(e.wd)) --_count;
            } else {
                ev.wd = e.wd;
                ev.dir = e.mask & IN_ISDIR;
                ev.went = e.mask & (IN_DELETE | IN_MOVED_FROM);
                ev.gone = e.mask & (IN_DELETE_SELF | IN_MOVE_SELF);
                ev.bits = (e.mask & ~IN_ISDIR) == IN_ATTRIB;
                if (e.len) ev.name = buf + at + sizeof(inotify_event);
                out.push_back(std::move(ev));
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + e.len);
        }
    }
}

}  // namespace os
