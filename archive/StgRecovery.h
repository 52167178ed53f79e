// Where the complete transactions of a storage file end.
//
// A save writes its content items and record stream, syncs them, and only then writes the
// transaction's link over its placeholder. A crash can therefore leave, after the last
// complete transaction, a tail whose link is still the placeholder (or torn), or whose record
// stream (with its CRC) runs past the end of the file. completeEnd walks the chain of links and
// record-stream blocks by their headers alone and returns where such a tail begins, or the
// committed size when there is none.
//
// Everything else is damage, not a tail: a link that is valid but leads to something that is
// not a record stream, or a block header that is not one. Then the committed size is returned
// too, so the replay meets the damage and reports it with its item. The CRCs of the complete
// transactions are the replay's to check. Reads go through the storage file (its errors are
// thrown); nothing is allocated.
#pragma once

#include <cstdint>

class StgFile;

class StgRecovery {
  public:
    static uint64_t completeEnd(StgFile& file);
};
