// What Tresmo::verify found in an archive's storage file.
//
// verify never changes the file: it opens an existing file only (a missing or too short one is
// an error, not created), reads the chain of transactions, checks the CRC of every
// transaction's record stream on its own, replays the complete transactions up to the first
// damaged one into a tree of its own, and restores every version of every file in memory with
// its CRC checked. Each damaged transaction and each version that cannot be restored is named.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct VerifyReport {
    struct Problem {
        int32_t txn = 0;   // 1-based number of the transaction
        int64_t time = 0;  // its time when known (0 when its records could not be read)
        std::string path;  // the file's path below the archive's root (versions only)
        std::string text;  // the error chain, outermost first, one "code id: text" per line
        // Where in the file: a transaction's link, or the version's own item (a delta's item).
        uint64_t offset = 0;
        uint64_t base = 0;  // a delta version's base item, else 0
    };

    uint64_t fileSize = 0;
    uint64_t tailBytes = 0;    // an incomplete transaction at the end (the next save cuts it)
    int32_t transactions = 0;  // complete transactions found by the chain
    int32_t replayed = 0;      // of them replayed (all, unless one is damaged)
    int32_t files = 0;         // files with at least one stored version
    int32_t versions = 0;      // file versions restored and checked
    int64_t bytes = 0;         // bytes those versions restored to
    bool chainBroken = false;  // a damaged link or header ends the chain early
    // The newest transaction's time when the clock has not passed it (saving waits until it
    // has), else -1. Not damage.
    int64_t aheadTime = -1;
    std::vector<Problem> damagedTxns;
    std::vector<Problem> badVersions;
    // Copies of unfinished saves that a save or repair set aside beside the archive
    // ("ARCHIVE.tail-*"), by full path in name order: named until the user removes them.
    std::vector<std::string> sideFiles;

    bool clean() const {
        return tailBytes == 0 && !chainBroken && damagedTxns.empty() && badVersions.empty();
    }
};
