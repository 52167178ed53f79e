#include "archive/scan/FileFinder.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/tree/TresmoData.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const int32_t* maxSizeSetting = intSetting("FileFinder.maxSize", 1073741824);

// A negative limit in the settings makes no sense; the compiled default stands then.
int64_t maxFileSize() {
    int32_t v = *maxSizeSetting;
    return v < 0 ? 1073741824 : v;
}

// Names longer than this leave no room for the longest name a folder path may still get.
constexpr size_t PATH_RESERVE = 10;

bool sameNoCase(const std::string& a, const std::string& b) {
    return compareNames(a, b) == 0;
}

}  // namespace

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

bool DirWalker::mkDir(const char* name) {
    char path[MAX_PATH];
    if (!buildFilePath(path, sizeof path, _dir, name)) return false;
    return os::sys().mkdir(path, 0777) == 0;
}

ScanFilter::ScanFilter(const FileSel& sel)
    : _root(sel.folder()),
      _includeSubfolders(sel.includeSubfolders()),
      _exceptions(sel.exceptions()),
      _hasExceptions(!sel.exceptions().empty()),
      _excludeMode(sel.excludeTypes()) {
    for (const std::string& t : sel.types())
        _types.push_back(TypeStat{t, true, 0, 0});
}

bool ScanFilter::scanSubfolder(const char* name) const {
    if (!_includeSubfolders) return false;
    if (!_hasExceptions) return true;
    size_t pos = 0;
    for (;;) {
        size_t end = _exceptions.find(',', pos);
        if (end == std::string::npos) end = _exceptions.size();
        size_t start = pos;
        while (start < end && _exceptions[start] == ' ')
            ++start;
        // Leading blanks are skipped, trailing ones stay part of the item.
        if (sameNoCase(_exceptions.substr(start, end - start), name)) return false;
        if (end == _exceptions.size()) return true;
        pos = end + 1;
    }
}

std::string ScanFilter::typeOf(const char* name) {
    const char* slash = std::strrchr(name, '/');
    const char* last = slash ? slash + 1 : name;
    const char* dot = std::strrchr(last, '.');
    if (!dot || std::strlen(dot + 1) >= 20) return "";
    std::string t = dot + 1;
    for (char& c : t)
        c = toUpper(c);
    return t;
}

bool ScanFilter::accept(const char* name, int64_t size) {
    std::string type = typeOf(name);
    auto it = std::find_if(_types.begin(), _types.end(),
                           [&](const TypeStat& s) { return s.type == type; });
    TypeStat stat = it == _types.end() ? TypeStat{type, false, 0, 0} : *it;
    if (it != _types.end()) _types.erase(it);
    ++stat.count;
    stat.bytes += static_cast<double>(size);
    _types.insert(_types.begin(), stat);
    return stat.listed != _excludeMode;
}

int32_t ScanFilter::count(const std::string& type) const {
    for (const TypeStat& s : _types)
        if (s.type == type) return s.count;
    return 0;
}

double ScanFilter::bytes(const std::string& type) const {
    for (const TypeStat& s : _types)
        if (s.type == type) return s.bytes;
    return 0;
}

std::vector<TypeStat> ScanFilter::sortedTypes() const {
    std::vector<TypeStat> v = _types;
    std::sort(v.begin(), v.end(),
              [](const TypeStat& a, const TypeStat& b) { return a.type < b.type; });
    return v;
}

void FileFinder::find(const char* dir) {
    std::string start = dir ? dir : _filter.root();
    if (start.empty()) return;
    VERIFY(start.size() < MAX_PATH);
    if (!scan(start)) throw systemError(_listError);
}

bool FileFinder::scan(const std::string& dir) {
    std::vector<os::DirEntry> entries;
    if (os::sys().listDir(dir.c_str(), entries) != 0) {
        _listError = errno;
        return false;
    }
    // The tree's name order, and among names equal but for case the first by bytes, so the
    // one kept never depends on the order the system lists them in.
    std::sort(entries.begin(), entries.end(), [](const os::DirEntry& a, const os::DirEntry& b) {
        int r = compareNames(a.name, b.name);
        return r != 0 ? r < 0 : a.name < b.name;
    });
    const std::string* kept = nullptr;
    for (const os::DirEntry& e : entries) {
        if (e.type == os::DirEntry::Type::Other) continue;
        if (kept && sameNoCase(*kept, e.name)) {
            skipped(makeMsg("FileFinder.4", dir, e.name));
            continue;
        }
        kept = &e.name;
        bool tooLong = dir.size() + e.name.size() + PATH_RESERVE >= MAX_PATH;
        if (e.type == os::DirEntry::Type::Dir) {
            if (tooLong) {
                skipped(makeMsg("FileFinder.1", e.name, dir));
                continue;
            }
            if (!_filter.scanSubfolder(e.name.c_str())) continue;
            char sub[MAX_PATH];
            VERIFY(buildFilePath(sub, sizeof sub, dir.c_str(), e.name.c_str()));
            // A listing fails before the walker moved anywhere below dir.
            if (!scan(sub)) {
                skipped(makeMsg("FileFinder.5", e.name, dir));
                VERIFY(goTo(dir.c_str()));
                skippedDir(e.name.c_str());
            }
            continue;
        }
        if (e.size > maxFileSize()) {
            skipped(makeMsg("FileFinder.2", dir, e.name));
        } else if (tooLong) {
            skipped(makeMsg("FileFinder.3", dir, e.name));
        } else if (_filter.accept(e.name.c_str(), e.size)) {
            VERIFY(goTo(dir.c_str()));
            found(e.name.c_str(), e.mtime);
        }
    }
    return true;
}
