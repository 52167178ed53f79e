// The scan of a refresh: walks the watched folder and merges what it sees into the archive
// tree, marking every node whose state differs from its newest stored version.
//
// Afterwards every node carries the kind it was seen as (0 when not seen), CHANGED when it is
// new, modified, re-appeared or gone, and SUBTREE_CHANGED when it or a node beneath it is
// CHANGED; if the root is marked, a pending transaction at the tree's now is open. Changes
// are detected by modification time alone. A subfolder that cannot be listed keeps what was
// stored beneath it, as stored: nothing under it counts as gone.
#pragma once

#include "archive/scan/FileFinder.h"
#include "archive/tree/TresmoData.h"

#include <string>
#include <vector>

class Progress;

// Runs the scan; skipped files and folders are appended to warnings and, when skippedPaths is
// given, their paths below the watched folder to it (a folder's with a trailing '/'). Throws
// the scan's failure (the watched folder cannot be listed) or a cancellation from progress.
// crawled: as for FileFinder::find.
void findChangesIn(TresmoData& tree, ScanFilter& filter, MsgList& warnings, Progress* progress,
                   std::vector<std::string>* skippedPaths = nullptr,
                   ListingPool* crawled = nullptr);

// Stored times are 32-bit words; a file time outside them is compared in its reduced form,
// so such a file is not stored again on every save.
inline int64_t storedTime(int64_t t) {
    return static_cast<uint32_t>(t);
}

// A scan of one folder below the watched folder, recorded apart from the tree so that it can run
// on another thread while the tree is shown, and be merged into the tree afterwards.
struct FolderListing {
    struct Entry {
        // Entered: the walker went into folder name (an empty one is seen that way).
        enum class Kind : uint8_t { Found, SkippedDir, Kept, Entered };
        Kind kind;
        std::string dir;  // the folder that holds it
        std::string name;
        int64_t mtime = 0;
        uint16_t mode = 0;
        int64_t size = 0;
    };
    std::string root;  // the watched folder
    std::string dir;   // the folder listed: root or beneath it
    // Subfolders of dir the tree has seen, not listed again: their own notices cover them.
    // Empty for a deep listing, which lists everything beneath dir.
    std::vector<std::string> kept;
    bool deep = false;
    bool failed = false;  // dir could not be listed
    std::vector<Entry> entries;
    MsgList warnings;
    // Set by reduceListing: the entries of dir that the tree shows as they are were dropped,
    // gone holds the children seen before and not found again, entered whether the scan went
    // into dir at all (a folder is seen when something beneath it is).
    bool reduced = false;
    bool entered = false;
    std::vector<Node*> gone;
};

// A child of a folder as the tree shows it, copied so that another thread may compare with it;
// node is only handed back, never read there.
struct SeenChild {
    std::string name;
    NodeKind kind;
    int64_t mtime;
    Node* node;
    uint16_t mode;  // the permission bits the last scan saw
};
std::vector<SeenChild> seenChildren(const Node* dir);
// Drops from a listing of dir (not deep) what before, dir's children when it was planned,
// already shows: a merge then touches only what changed, not every file of a big folder.
void reduceListing(FolderListing& listing, const std::vector<SeenChild>& before);

// Lists listing.dir under filter, touching no tree: every file it takes, the kept subfolders
// it still finds and, all the way down, the subfolders not kept. Throws only a cancellation.
void listFolder(ScanFilter& filter, FolderListing& listing, Progress* progress);
// Merges a listing into the tree, leaving top (the node of listing.dir; null when the tree has
// no root yet) and everything beneath it as findChangesIn would, given that the kept
// subfolders did not change. SUBTREE_CHANGED is left to markChangedSubtrees. A listing that
// failed counts as an empty folder. True when top was seen before and is no longer (it held
// the last thing seen): whether its parent is seen may change with it, so that is listed next.
bool mergeListing(TresmoData& tree, Node* top, const FolderListing& listing);

// Recomputes SUBTREE_CHANGED over the whole tree; true when the root has it.
bool markChangedSubtrees(TresmoData& tree);
