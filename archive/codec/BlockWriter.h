// Block sink of the LZ encoder: a bit sink that carries one block of compressed data at a
// time together with the block's flags byte.
//
// The storage block writer (StgWriteBuffer) implements it; tests use an in-memory one.
// Slot order follows the format's writer: putLast, putByte, setFlags, putBits.
#pragma once

#include "archive/codec/BitWriter.h"

#include <cstdint>

class BlockWriter : public BitWriter {
  public:
    // Flags of the block being written (LAST_BLOCK, LZ_POINTERS, ...); called before its bits.
    virtual void setFlags(uint8_t flags) = 0;
    // Appends bitCount bits of data: the whole bytes, then closes the block with the remaining
    // 0..7 bits of the last byte (as putLast does).
    virtual void putBits(const uint8_t* data, uint32_t bitCount) = 0;
};
