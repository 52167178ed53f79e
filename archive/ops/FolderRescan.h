// A look at a few folders of the watched folder that changed, instead of a whole refresh.
//
// The work is split in three so that the folders can be listed while the views show the tree:
// the constructor plans on the thread that owns the tree (which folders, which of their
// subfolders are known and need no second look), list() reads the disk on any thread without
// touching the tree, and apply() merges the listings on the owner's thread. The tree must
// not be reloaded in between (its nodes would be gone). Afterwards the tree marks exactly
// what a refresh would mark, as long as every folder that changed was named: a folder that
// holds something new, lost something, or had an entry written, renamed or removed.
// Files left out (too big, twins) are warned about but not kept in skipped().
#pragma once

#include "archive/objects/FileSel.h"
#include "archive/scan/ChangeFinder.h"
#include "archive/tree/TresmoData.h"

#include <string>
#include <vector>

class Progress;

struct FolderChange {
    std::string dir;    // absolute; a folder beneath the watched folder, or that folder
    bool deep = false;  // look at everything beneath it again, too (it was replaced or moved)
};

class FolderRescan {
  public:
    FolderRescan(const TresmoData& tree, const FileSel& sel,
                 const std::vector<FolderChange>& changes);

    bool empty() const { return _targets.empty(); }
    // Lists the folders. Throws only a cancellation from progress.
    void list(Progress* progress = nullptr);
    // After list(): it met a file written in its own second, which may still be written (a
    // save leaves it out): the caller looks again once the clock has passed it.
    bool recent() const { return _recent; }
    // Merges what list() saw, then the pending transaction follows (opened, moved to the
    // listing's time, or dropped). False when the watched folder itself could not be listed:
    // only a refresh can say why. again receives folders whose parents must be looked at too.
    bool apply(TresmoData& tree, MsgList& warnings, std::vector<FolderChange>& again);

  private:
    struct Target {
        Node* node;
        FolderListing listing;
        std::vector<SeenChild> before;
    };
    FileSel _sel;
    std::vector<Target> _targets;
    int64_t _time = 0;
    bool _recent = false;
};
