// Where the complete transactions of a storage file end.
//
// A save writes its content items and record stream, syncs them, and only then writes the
// transaction's link over its placeholder. A crash can therefore leave, after the last
// complete transaction, a tail whose link is still the placeholder (or torn), or whose record
// stream (with its CRC) runs past the end of the file. walk follows the chain of links and
// record-stream blocks by their headers alone and finds where such a tail begins.
//
// Everything else is damage, not a tail: a link that is valid but leads to something that is
// not a record stream, or a block header that is not one, and anything that looks like such a
// tail but has a complete transaction (a valid link to an intact record stream) after it, as
// one damaged byte in a link makes every later transaction look. The walk then stops with
// `broken` set and `end` at the committed size, so nothing is cut and a replay meets the
// damage and reports it with its item. The CRCs of the complete transactions are the replay's (or
// verify's) to check. Reads go through the storage file (its errors are thrown); the only
// allocation is one position per transaction found.
#pragma once

#include <cstdint>
#include <vector>

class StgFile;

class StgRecovery {
  public:
    struct Walk {
        uint64_t end = 0;             // where the complete transactions end
        std::vector<uint64_t> links;  // the link of each complete transaction, in order
        bool broken = false;          // the chain is damaged at brokenAt (a link)
        uint64_t brokenAt = 0;
    };
    // Walks the transactions from `from` (the header's end, or the end of those already
    // known) up to size (the committed size when 0).
    static Walk walk(StgFile& file, uint64_t from = 0, uint64_t size = 0);
    static uint64_t completeEnd(StgFile& file) { return walk(file).end; }
    // The link of the first complete transaction (a valid link to an intact record stream)
    // that starts in [from, size), or 0: where the chain goes on after a damaged link.
    static uint64_t findComplete(StgFile& file, uint64_t from, uint64_t size);
    // Reads one transaction's record stream (its link at link) to its end, so its CRC is
    // checked, and no further; throws what the read meets.
    static void checkRecordStream(StgFile& file, uint64_t link);
};
