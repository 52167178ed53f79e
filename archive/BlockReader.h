// Block source of the LZ decoder: a bit source positioned on one block of an item at a time,
// with the block's flags and random access by block number.
//
// The storage block reader (StgReadBuffer) implements it; tests use an in-memory one. get()
// (from BitReader) returns 0 at the end of the current block; next() moves to the following
// block of the same item.
#pragma once

#include "archive/BitReader.h"

#include <cstdint>

class BlockReader : public BitReader {
  public:
    // Flags byte of the current block.
    virtual uint8_t blockFlags() const = 0;
    // Moves to the next block of the item; false when the current one was its last.
    // next() and seekBlock() leave the bit buffer empty (resetBits()).
    virtual bool next() = 0;
    // Moves to block n (0 is the first) of the item; false when there is no such block.
    virtual bool seekBlock(uint32_t n) = 0;
    // Position of the item in the storage file, for messages.
    virtual uint32_t startPos() const = 0;
};
