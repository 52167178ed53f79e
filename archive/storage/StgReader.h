// Value reader of storage items: finds an item, or the chain of every transaction's record
// stream, decompresses it and gives back bytes, numbers and 32-bit words in writing order.
//
// start() must come before any read. eof() is true when no byte is left: the block reader
// stands on the last block with all its bytes taken, and the coder has nothing pending either
// (no bytes of a pointer still to copy, nothing decoded but not yet delivered). Reading beyond
// eof fails with the coder's "Next data block not found".
//
// Failures are thrown as Error: 3100 for a number with more than four leading bytes, and the
// errors of the storage file, the block reader and the coder as they come. The reader is
// unusable after a failure.
#pragma once

#include "archive/codec/LzReader.h"
#include "archive/storage/StgReadBuffer.h"

#include <cstdint>
#include <span>

class StgFile;

class StgReader {
  public:
    // mode: item type | CHECK_CRC | INDEX_BLOCKS (see StgItem.h).
    StgReader(StgFile& file, uint64_t startPos, uint32_t mode);
    StgReader(const StgReader&) = delete;
    StgReader& operator=(const StgReader&) = delete;

    void start();
    uint8_t readByte() { return _lz.read(); }
    void readBytes(std::span<uint8_t> out) { _lz.read(out); }
    int32_t readNumber();
    uint32_t readWord();
    bool eof();

    // For random access into a content item (seek) and for the item's known size.
    LzReader& lzReader() { return _lz; }
    StgReadBuffer& readBuffer() { return _buf; }

  private:
    StgReadBuffer _buf;
    LzReader _lz;
};
