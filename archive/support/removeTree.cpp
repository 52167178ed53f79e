#include "archive/support/removeTree.h"

#include "archive/os/os.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// A folder on the way down: its name in its parent, its identity, and the subfolders still to
// remove (in reverse name order, so the first failure does not depend on the listing order).
struct Level {
    std::string name;
    dev_t dev;
    ino_t ino;
    std::vector<std::string> folders;
};

int openFolder(int dirFd, const char* name) {
    return os::sys().openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
}

}  // namespace

void removeTree(int dirFd, const char* name, const std::string& shownAs) {
    std::vector<Level> stack;
    // The path of last in the current folder, or of the current folder itself, for messages.
    auto path = [&](const std::string& last) {
        std::string p = shownAs;
        for (size_t i = 1; i < stack.size(); ++i)
            p += "/" + stack[i].name;
        return stack.empty() || last.empty() ? p : p + "/" + last;
    };
    struct stat st;
    if (os::sys().fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        throw makeError(systemError(), "delDir.4", shownAs);
    if (!S_ISDIR(st.st_mode)) {
        if (os::sys().unlinkat(dirFd, name, 0) != 0)
            throw makeError(systemError(), "delFile", shownAs);
        return;
    }
    int fd = -1;
    auto fail = [&](const char* id, const std::string& what) {
        Error e = systemError();
        if (fd >= 0) os::closeQuietly(fd);
        throw makeError(std::move(e), id, what);
    };
    // Opens the subfolder child of the current folder (dirFd at the start) and empties it of
    // everything but its own subfolders, which it notes for later.
    auto enter = [&](const std::string& child) {
        int sub = openFolder(fd >= 0 ? fd : dirFd, child.c_str());
        if (sub < 0) fail("delDir.4", path(child));
        if (fd >= 0) os::closeQuietly(fd);
        fd = sub;
        Level level{child, 0, 0, {}};
        std::vector<os::DirEntry> entries;
        if (os::sys().fstat(fd, &st) != 0 || os::sys().listDirAt(fd, entries) != 0)
            fail("delDir.4", path(child));
        level.dev = st.st_dev;
        level.ino = st.st_ino;
        stack.push_back(std::move(level));
        std::sort(entries.begin(), entries.end(),
                  [](const os::DirEntry& a, const os::DirEntry& b) { return a.name > b.name; });
        for (const os::DirEntry& e : entries) {
            if (e.type == os::DirEntry::Type::Dir)
                stack.back().folders.push_back(e.name);
            else if (os::sys().unlinkat(fd, e.name.c_str(), 0) != 0)
                fail("delFile", path(e.name));
        }
    };
    enter(name);
    while (!stack.empty()) {
        Level& top = stack.back();
        if (!top.folders.empty()) {
            std::string child = std::move(top.folders.back());
            top.folders.pop_back();
            enter(child);
            continue;
        }
        std::string done = path("");
        int parent = dirFd;
        if (stack.size() > 1) {
            // Back up to the folder it came from, and only to that one.
            parent = openFolder(fd, "..");
            if (parent < 0) fail("delDir.4", done);
            const Level& above = stack[stack.size() - 2];
            int err = os::sys().fstat(parent, &st) != 0                  ? errno
                      : st.st_dev != above.dev || st.st_ino != above.ino ? ESTALE  // moved away
                                                                         : 0;
            if (err) {
                os::closeQuietly(parent);
                errno = err;
                fail("delDir.4", done);
            }
        }
        os::closeQuietly(fd);
        fd = parent == dirFd ? -1 : parent;
        if (os::sys().unlinkat(parent, top.name.c_str(), AT_REMOVEDIR) != 0) fail("delDir.4", done);
        stack.pop_back();
    }
}
