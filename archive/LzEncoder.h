// Compressor of one stream (an item) into blocks of 65536 uncompressed bytes.
//
// Each block is coded by itself, in two passes: the match finder cuts it into literals and
// pointers, written as plain bits into a scratch buffer; then the block is written with the
// flags and Huffman codes that pay at least 2.5 percent, or as literals only when the pointers
// do not pay, or as plain bytes. The output is fixed to the bit by these rules, so that any
// implementation of the format writes the same archive.
//
// The encoder raises no errors of its own; errors of the output pass through. It owns about
// 600 KiB, allocated at construction; nothing is allocated per byte.
#pragma once

#include "archive/BlockWriter.h"
#include "archive/HCode.h"
#include "archive/LzFormat.h"
#include "archive/LzMatchFinder.h"
#include "archive/MemBitBuffer.h"

#include <cstdint>
#include <memory>
#include <span>

class LzEncoder {
  public:
    explicit LzEncoder(BlockWriter& output);

    // Starts a new stream: the window, the first-pass buffer and the codes are emptied.
    void reset();
    void put(uint8_t byte) {
        if (_end == lz::BLOCK_SIZE) flushFullBlock();
        _window[_end++] = byte;
    }
    void put(std::span<const uint8_t> data);
    // Writes what is left as the last block (an empty stream is one block without bits).
    void finish();

    // Everything the encoder holds, in bytes.
    size_t stateBytes() const {
        return sizeof(*this) + sizeof(MemBitBuffer) + sizeof(LzMatchFinder) +
               LzMatchFinder::TABLE_BYTES + lz::BLOCK_SIZE;
    }

  private:
    struct FirstPass;
    void flushFullBlock();
    void encodeBlock(bool last);
    void writePointerItems(uint8_t flags);

    BlockWriter& _out;
    HCode _lit{8};
    HCode _dist{7};
    HCode _len{5};
    uint32_t _end = 0;
    uint32_t _covered = 0;
    std::unique_ptr<MemBitBuffer> _pass;
    std::unique_ptr<LzMatchFinder> _finder;
    std::unique_ptr<uint8_t[]> _window;
};
