#include "archive/ops/LiveWatch.h"

#include "archive/os/os.h"

#include <algorithm>
#include <cerrno>

LiveWatch::LiveWatch(const FileSel& sel, int64_t budget) : _sel(sel), _filter(sel), _watch(budget) {
    if (!sel.folder().empty()) watchTree(sel.folder());
}

bool LiveWatch::covers(const FileSel& sel) const {
    return sel.folder() == _sel.folder() && sel.includeSubfolders() == _sel.includeSubfolders() &&
           sel.exceptions() == _sel.exceptions();
}

void LiveWatch::watchTree(const std::string& top) {
    std::vector<std::string> todo{top};
    std::vector<os::DirEntry> entries;
    while (!todo.empty()) {
        std::string dir = std::move(todo.back());
        todo.pop_back();
        if (_wds.count(dir)) continue;
        int wd = _watch.add(dir);
        if (wd >= 0) {
            _dirs[wd] = dir;
            _wds[dir] = wd;
        } else if (errno == ENOSPC || errno == ENOSYS) {
            _unwatched.push_back(dir);
        } else {
            continue;  // gone already, or not a folder we may read: its parent's look says so
        }
        entries.clear();
        if (os::sys().listDir(dir.c_str(), entries) != 0) continue;
        // In name order, so which folders the budget leaves out does not depend on the
        // order the system lists them in.
        std::sort(entries.begin(), entries.end(),
                  [](const os::DirEntry& a, const os::DirEntry& b) { return a.name > b.name; });
        for (const os::DirEntry& e : entries)
            if (e.type == os::DirEntry::Type::Dir && _filter.scanSubfolder(e.name.c_str()))
                todo.push_back(dir + "/" + e.name);
    }
}

void LiveWatch::forget(const std::string& dir) {
    auto it = _wds.find(dir);
    if (it == _wds.end()) return;
    _watch.remove(it->second);
    _dirs.erase(it->second);
    _wds.erase(it);
}

void LiveWatch::read(std::vector<FolderChange>& out) {
    std::vector<os::FolderWatch::Event> events;
    if (!_watch.read(events)) return;
    for (const os::FolderWatch::Event& e : events) {
        if (e.wd < 0) {
            out.push_back({_sel.folder(), true});
            continue;
        }
        auto it = _dirs.find(e.wd);
        if (it == _dirs.end()) continue;
        const std::string dir = it->second;
        if (e.gone) {
            // Its parent's notice has dropped it already, unless the parent is not watched.
            forget(dir);
            continue;
        }
        out.push_back({dir, false});
        if (e.dir && e.bits && !e.name.empty() && _filter.scanSubfolder(e.name.c_str())) {
            // A folder's own bits changed (chmod): it is looked at, not what lies beneath it.
            out.push_back({dir + "/" + e.name, false});
        } else if (e.dir && !e.name.empty() && _filter.scanSubfolder(e.name.c_str())) {
            // Appeared, went or was replaced: what lies beneath it is looked at whole.
            std::string sub = dir + "/" + e.name;
            out.push_back({sub, true});
            // A folder moved elsewhere keeps its watch under the old path: dropped here, and
            // watched again under its new one by the notice of where it went.
            if (e.went) {
                forget(sub);
            } else {
                watchTree(sub);
            }
        }
    }
}
