// Watches the folders a selection's scan enters, so that a change on disk names the folder it
// happened in (see FolderRescan for the look that follows).
//
// The watched folder and every subfolder the selection takes get a watch; a subfolder that
// appears later gets one when its notice is read. The user's watches are limited: folders
// past the budget are listed in unwatched(), for the caller to look at from time to time.
// Events the system had to drop (its queue overflowed) make the whole folder a change.
#pragma once

#include "archive/objects/FileSel.h"
#include "archive/ops/FolderRescan.h"
#include "archive/os/FolderWatch.h"
#include "archive/scan/ScanFilter.h"

#include <string>
#include <unordered_map>
#include <vector>

class LiveWatch {
  public:
    // Adds the watches now: one listing of every folder the selection takes.
    explicit LiveWatch(const FileSel& sel, int64_t budget = os::FolderWatch::defaultBudget());

    // Whether it watches what sel would have it watch.
    bool covers(const FileSel& sel) const;
    // Readable when notices wait; -1 when the system offers no watches (all is unwatched).
    int fd() const { return _watch.fd(); }
    // Reads the notices waiting now; appends the folders they concern to out.
    void read(std::vector<FolderChange>& out);
    const std::vector<std::string>& unwatched() const { return _unwatched; }
    size_t watched() const { return _dirs.size(); }

  private:
    // Watches dir and the subfolders beneath it that the selection takes.
    void watchTree(const std::string& dir);
    // Drops the watch of dir (it went), not what lies beneath it: those go with their folders.
    void forget(const std::string& dir);

    FileSel _sel;
    ScanFilter _filter;
    os::FolderWatch _watch;
    std::unordered_map<int, std::string> _dirs;
    std::unordered_map<std::string, int> _wds;
    std::vector<std::string> _unwatched;
};
