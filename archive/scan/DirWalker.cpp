#include "archive/scan/DirWalker.h"

#include "archive/support/msg.h"

#include <cstring>
#include <string>

void DirWalker::setDir(const char* dir) {
    VERIFY(std::strlen(dir) < MAX_PATH);
    std::strcpy(_dir, dir);
}

bool DirWalker::printFileName(char* buf, size_t size, const char* name) const {
    return buildFilePath(buf, size, _dir, name);
}

bool DirWalker::enterDir(const char* name) {
    char path[MAX_PATH];
    if (!buildFilePath(path, sizeof path, _dir, name)) return false;
    onEnterDir(name);
    std::strcpy(_dir, path);
    return true;
}

bool DirWalker::exitDir() {
    char parent[MAX_PATH];
    if (!getParentPath(parent, sizeof parent, _dir) || parent[0] == 0) return false;
    onExitDir();
    std::strcpy(_dir, parent);
    return true;
}

bool DirWalker::goTo(const char* dir) {
    if (std::strlen(dir) >= MAX_PATH) return false;
    // Find where the first unequal component of _dir starts.
    const char* a = _dir;
    const char* b = dir;
    const char* keep = _dir;
    const char* rest = dir;
    for (;;) {
        const char *as, *ae, *bs, *be;
        const char* pa = a;
        const char* pb = b;
        if (!nextComponent(pa, as, ae) || !nextComponent(pb, bs, be)) break;
        if (compareNames(std::string_view(as, static_cast<size_t>(ae - as)),
                         std::string_view(bs, static_cast<size_t>(be - bs))) != 0)
            break;
        a = pa;
        b = pb;
        keep = ae;
        rest = pb;
    }
    size_t keepLen = static_cast<size_t>(keep - _dir);
    while (std::strlen(_dir) > keepLen)
        VERIFY(exitDir());
    const char* p = rest;
    const char *s, *e;
    while (nextComponent(p, s, e))
        VERIFY(enterDir(std::string(s, e).c_str()));
    return true;
}
