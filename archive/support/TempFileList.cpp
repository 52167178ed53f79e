#include "archive/support/TempFileList.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

const std::string* tempSub = stringSetting("tempSub", "Tresmo");

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

bool getTempDir(char* buf, size_t size) {
    const char* tmp = std::getenv("TMPDIR");
    if (!tmp || !*tmp) tmp = "/tmp";
    if (!copyPart(buf, size, tmp, nullptr)) return false;
    if (tempSub->empty()) return true;
    if (!appendPath(buf, size, tempSub->c_str())) return false;
    // The folder usually sits in a temporary folder that every user shares, so it is made
    // private. One found there that others may write to could be another user's, who could
    // then swap a restored file before the viewer opens it: it is not used.
    struct stat st;
    if (os::sys().lstat(buf, &st) == 0)
        return S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    return os::sys().mkdir(buf, 0700) == 0;
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

const char* TempFileList::add(const char* name) {
    char dir[MAX_PATH], path[MAX_PATH];
    if (!getTempDir(dir, sizeof dir)) return nullptr;
    if (!makeUniquePath(path, sizeof path, dir, name, "%s_%03d", 999)) return nullptr;
    _paths.push_back(std::make_unique<std::string>(path));
    return _paths.back()->c_str();
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
}
