// Compressor of one stream (an item) into blocks of 65536 uncompressed bytes.
//
// Each block is coded by itself, in two passes: the match finder cuts it into literals and
// pointers, kept as a list of items together with the number of bits they take as plain
// fields; then the block is written with the flags and Huffman codes that pay at least 2.5
// percent, or as literals only when the pointers do not pay, or as plain bytes. The output is
// fixed to the bit by these rules, so that any implementation of the format writes the same
// archive. A block is assembled in memory and handed to the output whole.
//
// The encoder raises no errors of its own; errors of the output pass through. It owns about
// 700 KiB, allocated at construction; nothing is allocated per byte.
#pragma once

#include "archive/BlockWriter.h"
#include "archive/BufferBitWriter.h"
#include "archive/HCode.h"
#include "archive/LzFormat.h"
#include "archive/LzMatchFinder.h"

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
        return sizeof(*this) + sizeof(LzMatchFinder) + LzMatchFinder::TABLE_BYTES + lz::BLOCK_SIZE +
               ITEM_SLOTS * sizeof(uint16_t) + sizeof(BufferBitWriter) + lz::BLOCK_SIZE + 8;
    }

  private:
    // A literal takes one slot (its byte), a pointer two (0x8000 | length, then distance); a
    // block of literals alone fills them all.
    static constexpr uint32_t ITEM_SLOTS = lz::BLOCK_SIZE;

    struct FirstPass;
    void flushFullBlock();
    void encodeBlock(bool last);
    void writePointerItems(uint8_t flags);
    void writeLiterals(const uint8_t* data, uint32_t n);

    BlockWriter& _out;
    HCode _lit{8};
    HCode _dist{7};
    HCode _len{5};
    uint32_t _end = 0;
    uint32_t _covered = 0;
    uint32_t _items = 0;
    uint64_t _passBits = 0;  // the items' size with every field in plain bits
    std::unique_ptr<uint16_t[]> _item;
    BufferBitWriter _block{lz::BLOCK_SIZE};
    std::unique_ptr<LzMatchFinder> _finder;
    std::unique_ptr<uint8_t[]> _window;
};
