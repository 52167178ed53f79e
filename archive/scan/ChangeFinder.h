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
void findChangesIn(TresmoData& tree, ScanFilter& filter, MsgList& warnings, Progress* progress,
                   std::vector<std::string>* skippedPaths = nullptr);

// Stored times are 32-bit words; a file time outside them is compared in its reduced form,
// so such a file is not stored again on every save.
inline int64_t storedTime(int64_t t) {
    return static_cast<uint32_t>(t);
}

// Recomputes SUBTREE_CHANGED over the whole tree; true when the root has it.
bool markChangedSubtrees(TresmoData& tree);
