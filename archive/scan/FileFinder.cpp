#include "archive/scan/FileFinder.h"

#include "archive/os/os.h"
#include "archive/scan/ListingPool.h"
#include "archive/support/cfg.h"
#include "archive/support/paths.h"
#include "archive/tree/TresmoData.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace {

const int32_t* maxSizeSetting = intSetting("FileFinder.maxSize", 1073741824);

// A negative limit in the settings makes no sense; the compiled default stands then.
int64_t maxFileSize() {
    int32_t v = *maxSizeSetting;
    return v < 0 ? 1073741824 : v;
}

bool sameNoCase(const std::string& a, const std::string& b) {
    return compareNames(a, b) == 0;
}

}  // namespace

void FileFinder::crawl(ListingPool& pool, const ScanFilter& filter) {
    pool.crawl(filter.root(), [filter](const std::string& dir, const os::DirEntry& e) {
        return enters(filter, dir, e.name);
    });
}

void FileFinder::find(const char* dir, ListingPool* crawled) {
    std::string start = dir ? dir : _filter.root();
    if (start.empty()) return;
    VERIFY(start.size() < MAX_PATH);
    std::optional<ListingPool> own;
    _pool = crawled ? crawled : &own.emplace();
    bool listed;
    try {
        listed = scan(start);
    } catch (...) {
        _pool = nullptr;
        throw;
    }
    _pool = nullptr;
    if (!listed) throw systemError(_listError);
    if (_filter.metaFormat()) VERIFY(goTo(start.c_str()));
}

bool FileFinder::scan(const std::string& dir) {
    std::vector<os::DirEntry> entries;
    if (int err = _pool->take(dir, entries)) {
        _listError = err;
        return false;
    }
    // The subfolders this folder may enter are listed ahead while its files are looked at.
    std::vector<std::string> ahead;
    char path[MAX_PATH];
    for (const os::DirEntry& e : entries)
        if (e.type == os::DirEntry::Type::Dir && enters(_filter, dir, e.name) &&
            buildFilePath(path, sizeof path, dir.c_str(), e.name.c_str()))
            ahead.emplace_back(path);
    _pool->prefetch(ahead);
    const std::string* kept = nullptr;
    for (const os::DirEntry& e : entries) {
        // A link is taken only where the archive keeps it as one; it is never followed.
        const bool link = e.type == os::DirEntry::Type::Link;
        if (e.type == os::DirEntry::Type::Other || (link && !_filter.metaFormat())) continue;
        if (e.type == os::DirEntry::Type::Unreadable) {
            // Whatever it is, what is stored under its name stays as it was.
            skipped(makeMsg("FileFinder.7", e.name, dir), dir, e);
            VERIFY(goTo(dir.c_str()));
            skippedDir(e.name.c_str());
            continue;
        }
        if (kept && sameNoCase(*kept, e.name)) {
            skipped(e.type == os::DirEntry::Type::Dir ? makeMsg("FileFinder.6", dir, e.name, *kept)
                                                      : makeMsg("FileFinder.4", dir, e.name),
                    dir, e);
            continue;
        }
        kept = &e.name;
        bool tooLong = dir.size() + e.name.size() + PATH_RESERVE >= MAX_PATH;
        if (e.type == os::DirEntry::Type::Dir) {
            if (tooLong) {
                skipped(makeMsg("FileFinder.1", e.name, dir), dir, e);
                continue;
            }
            if (!_filter.scanSubfolder(e.name.c_str()) || !descend(dir, e.name)) continue;
            char sub[MAX_PATH];
            VERIFY(buildFilePath(sub, sizeof sub, dir.c_str(), e.name.c_str()));
            // A listing fails before the walker moved anywhere below dir.
            if (!scan(sub)) {
                skipped(makeMsg("FileFinder.5", e.name, dir), dir, e);
                VERIFY(goTo(dir.c_str()));
                skippedDir(e.name.c_str());
            } else if (_filter.metaFormat()) {
                // The walker has been in it unless it is empty; an empty folder is kept too.
                VERIFY(goTo(sub));
            }
            continue;
        }
        if (e.size > maxFileSize()) {
            skipped(makeMsg("FileFinder.2", dir, e.name), dir, e);
        } else if (tooLong) {
            skipped(makeMsg("FileFinder.3", dir, e.name), dir, e);
        } else if (_filter.accept(e.name.c_str(), e.size)) {
            VERIFY(goTo(dir.c_str()));
            found(e.name.c_str(), e.mtime, link ? e.mode | LINK_MODE : e.mode, e.size);
        }
    }
    _pool->drop(ahead);
    return true;
}
