// The rewrite of an archive into a new one: salvage, prune and compact in one operation.
//
// For each transaction it keeps, oldest first, the rewrite establishes the state the old
// archive held at that transaction and commits it into the new archive at the transaction's
// time through the save a refresh uses, which reads each file's content from the old archive
// (restored chunk by chunk, its CRC checked) instead of from a folder. Deltas and full
// contents are therefore chosen exactly as a save chooses them: an intact archive without
// unreferenced bytes or empty transactions comes out byte for byte as it went in, and a kept
// tail of transactions comes out as a fresh save of those states would write it. The first
// kept transaction stores the complete state of its time.
//
// The old archive is never changed. The new one is written under a temporary name beside it
// and takes its name only once complete; a failure or a cancel removes it, so there is then
// no new archive. A version that cannot be restored is left out and listed (the file keeps
// its previous version in the new archive). An archive whose records are damaged (a record
// stream or link that fails its check) is rewritten with the transactions before the damage,
// the records of a damaged stream up to its damage, and the records of later transactions
// that name nodes whose ids are known (added before the damage, or by those transactions);
// what cannot be placed is counted. After a damaged link the chain goes on from the next
// complete transaction found beyond it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Progress;

struct RewriteOptions {
    int32_t keepLast = 0;    // keep the newest N transactions; 0 keeps all
    int64_t keepSince = -1;  // keep the transactions at or after this time; -1 keeps all
    bool force = false;      // an existing new archive is replaced
    // The new archive takes the old one's place once complete, synced and verified; the old
    // one stays beside it as "OLD.before-rewrite". The old archive is locked for writing
    // from its first read to the rename, so no save goes into it meanwhile.
    bool replace = false;
    // The old archive's watched folder: the paths of messages start there. Empty: "/" and the
    // old archive's file name.
    std::string folder;
};

struct RewriteReport {
    struct Lost {
        std::string path;  // below the watched folder
        int64_t time = 0;  // of the transaction that stored the version (0: unknown)
    };
    int32_t txnsBefore = 0;    // transactions of the old archive that could be read
    int32_t txnsKept = 0;      // transactions the new archive holds
    int64_t versionsKept = 0;  // file versions the new archive stores
    int64_t bytesBefore = 0;   // size of the old archive
    int64_t bytesAfter = 0;    // size of the new one
    // The first damaged transaction of the old archive (1-based; 0: intact).
    int32_t damagedAt = 0;
    int32_t txnsDamaged = 0;     // record streams replayed only up to their damage
    int32_t txnsUnread = 0;      // damaged links: their transactions' records are not found
    int32_t recordsSkipped = 0;  // records of later transactions naming nodes not known
    std::vector<Lost> lost;      // versions left out, oldest first
};

// The name the old archive keeps beside its replacement.
std::string beforeRewritePath(const std::string& oldPath);

// Rewrites the archive at oldPath into newPath. False, with the error shown, when nothing was
// written: bad options (2047 newPath exists without force, 2048 the same archive, 2049 nothing
// to keep), an old archive that cannot be read at all, a failure of the new one, a cancel.
bool rewriteArchive(const std::string& oldPath, const std::string& newPath,
                    const RewriteOptions& options, RewriteReport& report,
                    Progress* progress = nullptr);
