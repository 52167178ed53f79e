// Block source of the LZ decoder: a bit source positioned on one block of an item at a time,
// with the block's flags and random access by block number.
//
// The storage block reader (StgReadBuffer) implements it; tests use an in-memory one. get()
// (from BitReader) returns 0 at the end of the current block; next() moves to the following
// block of the same item.
#pragma once

#include "archive/codec/BitReader.h"

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

    // The same bytes as calls of get(), many per call, for decoders that read a block to its
    // end: fills out with up to max (> 0) of the block's next bytes and returns how many, 0
    // when it is exhausted. lastValid gets the valid bits of the last byte delivered; one with
    // fewer than 8 ends the block. A fetch that fails is raised only by a call that has
    // delivered nothing yet, so the bytes before a fault always reach the caller.
    virtual uint32_t getBytes(uint8_t* out, uint32_t /*max*/, int& lastValid) {
        uint8_t b;
        int valid = get(b);
        if (valid == 0) return 0;
        out[0] = b;
        lastValid = valid;
        return 1;
    }
};
