#include "archive/support/TempFileList.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

const std::string* tempSub = stringSetting("tempSub", "Tresmo");

constexpr int MAX_COPIES = 999;
// Seconds a stale folder is kept after its last change: xdg-open returns before the viewer it
// starts has opened the copy, so a second `open` run right after the first must not take it.
constexpr int64_t STALE_AFTER = 60;

// The user's runtime folder is private and emptied at logout, so it is preferred.
std::string baseDir() {
    for (const char* var : {"XDG_RUNTIME_DIR", "TMPDIR"})
        if (const char* v = std::getenv(var); v && *v) return v;
    return "/tmp";
}

// The setting was once a subfolder of the shared temporary folder; it now names our folders,
// so it must be one plain name: files never go into the shared folder itself.
std::string prefix() {
    const std::string& p = *tempSub;
    return p.empty() || p.find('/') != std::string::npos ? "Tresmo" : p;
}

// The pid in the name of a folder makeDir made with this prefix (PREFIX-PID-XXXXXX), else 0.
pid_t folderPid(const std::string& name, const std::string& prefix) {
    size_t digits = prefix.size() + 1;
    if (name.compare(0, digits, prefix + "-") != 0 || name.size() < digits + 8) return 0;
    size_t dash = name.size() - 7;
    long pid = 0;
    for (size_t i = digits; i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 1 << 30) return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return name[dash] == '-' ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

void delFile(const char* path) {
    if (os::sys().unlink(path) != 0) throw makeError(systemError(), "delFile", path);
}

void delDir(const char* path) {
    // Only the length check of the folder's search pattern is kept from the listing API this
    // mirrors, so that folders near the length limit fail the same way on every platform.
    char pattern[MAX_PATH];
    if (!formatTo(pattern, sizeof pattern, "%s/*.*", path)) throw makeError("delDir.1", path);
    std::vector<os::DirEntry> entries;
    // A folder that cannot be listed is treated as empty; removing it then reports why.
    if (os::sys().listDir(path, entries) != 0) entries.clear();
    // In name order, so the first failure does not depend on the listing order.
    std::sort(entries.begin(), entries.end(),
              [](const os::DirEntry& a, const os::DirEntry& b) { return a.name < b.name; });
    char sub[MAX_PATH];
    for (const os::DirEntry& e : entries) {
        bool dir = e.type == os::DirEntry::Type::Dir;
        if (!buildFilePath(sub, sizeof sub, path, e.name.c_str()))
            throw makeError(dir ? "delDir.2" : "delDir.3", path, e.name);
        // Links, fifos and the like go with unlink, like files: never followed.
        if (dir)
            delDir(sub);
        else
            delFile(sub);
    }
    if (os::sys().rmdir(path) != 0) throw makeError(systemError(), "delDir.4", path);
}

bool makeUniquePath(char* buf, size_t size, const char* dir, const char* name, const char* format,
                    int maxCount) {
    char title[MAX_PATH], ext[MAX_PATH], file[MAX_PATH];
    if (!getFileTitle(title, sizeof title, name) || !getFileExt(ext, sizeof ext, name))
        return false;
    for (int i = 1; i <= maxCount; ++i) {
        // The format comes from the caller's code, never from data.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int n = std::snprintf(file, sizeof file, format, title, i);
#pragma GCC diagnostic pop
        if (n < 0 || static_cast<size_t>(n) >= sizeof file) return false;
        if (*ext && !appendFormat(file, sizeof file, ".%s", ext)) return false;
        if (!buildFilePath(buf, size, dir, file)) return false;
        if (!pathExists(buf)) return true;
    }
    return false;
}

void removeStaleTempDirs() {
    std::string base = baseDir(), pre = prefix();
    std::vector<os::DirEntry> entries;
    if (os::sys().listDir(base.c_str(), entries) != 0) return;
    int64_t now = os::sys().time();
    for (const os::DirEntry& e : entries) {
        pid_t pid = folderPid(e.name, pre);
        // The listing sees a link as Other: a link named like ours is never followed.
        if (pid <= 0 || e.type != os::DirEntry::Type::Dir || e.mtime + STALE_AFTER > now) continue;
        std::string path = base + "/" + e.name;
        struct stat st;
        if (os::sys().lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != os::userId())
            continue;
        // EPERM: the pid is taken by another user's process; ours may still be running.
        if (os::sys().kill(pid, 0) == 0 || errno != ESRCH) continue;
        try {
            delDir(path.c_str());
        } catch (Error&) {
            // Left as it is: a clean-up nobody asked for does not fail the command.
        }
    }
}

TempFileList::~TempFileList() {
    if (_dirFd >= 0) os::closeQuietly(_dirFd);
}

bool TempFileList::makeDir() {
    removeStaleTempDirs();
    std::string dir =
        baseDir() + "/" + prefix() + "-" + std::to_string(os::processId()) + "-XXXXXX";
    if (dir.size() >= MAX_PATH || os::sys().mkdtemp(dir.data()) != 0) return false;
    int fd = os::sys().open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        os::sys().rmdir(dir.c_str());
        return false;
    }
    _dir = dir;
    _dirFd = fd;
    return true;
}

const char* TempFileList::add(const char* name, int* fd) {
    if (_dirFd < 0 && !makeDir()) return nullptr;
    char title[MAX_PATH], ext[MAX_PATH], file[MAX_PATH], path[MAX_PATH];
    if (!getFileTitle(title, sizeof title, name) || !getFileExt(ext, sizeof ext, name))
        return nullptr;
    for (int i = 1; i <= MAX_COPIES; ++i) {
        if (!formatTo(file, sizeof file, "%s_%03d", title, i) ||
            (*ext && !appendFormat(file, sizeof file, ".%s", ext)) ||
            !buildFilePath(path, sizeof path, _dir.c_str(), file))
            return nullptr;
        // Created here or not at all: a name that exists, as a file or a link, is skipped.
        int f = os::sys().openat(_dirFd, file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 0600);
        if (f < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        if (fd)
            *fd = f;
        else
            os::sys().close(f);
        _paths.push_back(std::make_unique<std::string>(path));
        return _paths.back()->c_str();
    }
    errno = EEXIST;
    return nullptr;
}

void TempFileList::clear() {
    MsgList warnings;
    for (auto& p : _paths) {
        if (!p) continue;
        if (pathExists(p->c_str()) && os::sys().unlink(p->c_str()) != 0 && errno != ENOENT) {
            warnings.push_back(makeMsg("TempFileList.clear.1", *p));
            continue;
        }
        p.reset();
    }
    if (!warnings.empty()) {
        showMsgs(warnings);
        // A viewer may have let go of its file while the user read the warnings.
        for (auto& p : _paths) {
            if (p) os::sys().unlink(p->c_str());
            p.reset();
        }
    }
    if (_dirFd < 0) return;
    os::closeQuietly(_dirFd);
    _dirFd = -1;
    try {
        delDir(_dir.c_str());
    } catch (Error&) {
        // What cannot be removed stays, for the clean-up of a later process.
    }
    _dir.clear();
}
