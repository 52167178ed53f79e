// Block reader of the storage file: finds an item (or the chain of every transaction's record
// stream), checks its framing and CRC, undoes the escaping and hands the coder one block at a
// time.
//
// The coder sees it as a BlockReader: get() delivers the current block's data bytes with the
// number of valid bits (fewer in a block's last byte, 0 when the block is exhausted), next()
// and seekBlock() move between blocks. A record-stream reader (type TXN_SEQUENCE) starts at
// the first link and walks link -> record stream -> next link across all transactions; it
// knows the last one because that one's CRC ends exactly at the committed size.
//
// Reads are page-aligned: a block's first read takes its header and data up to the next
// 4096-byte boundary of the file, every later read one whole page, so a file read block by
// block never touches a page twice. With CHECK_CRC the item's CRC is verified when the chunk
// holding its last bytes is loaded, before any of those bytes is delivered; the check assumes
// the blocks are visited in order (start, next), as a load does, not through seekBlock.
//
// Damaged input never loops or allocates beyond the file: links and blocks only lead forward
// (a link that does not is 3203, a block length below 4 is 3207/3209), and the block index
// grows by one entry per block that exists in the file. On any failure an Error without cause
// is thrown (3200-3214, or the storage file's own); the reader is unusable afterwards.
#pragma once

#include "archive/codec/BlockReader.h"

#include <cstdint>
#include <vector>

class StgFile;

class StgReadBuffer final : public BlockReader {
  public:
    static constexpr uint32_t CHUNK_SIZE = 4100;

    // mode: item type | CHECK_CRC | INDEX_BLOCKS (see StgItem.h).
    StgReadBuffer(StgFile& file, uint64_t startPos, uint32_t mode);

    int get(uint8_t& byte) override;
    uint32_t getBytes(uint8_t* out, uint32_t max, int& lastValid) override;
    uint8_t blockFlags() const override { return _flags; }
    bool next() override;
    bool seekBlock(uint32_t n) override;
    uint32_t startPos() const override { return static_cast<uint32_t>(_startPos); }

    // Positions on the item's first block (for a record stream: the first transaction's).
    void start();

    uint32_t type() const { return _mode & 0x7F; }
    // No block follows the current one.
    bool atEnd() const { return _atEnd; }
    // The buffer's part of the end-of-stream test: the last block is current and every one
    // of its bytes has been delivered.
    bool exhausted() const { return _atEnd && _chunkEnd == _len && _readPos == _bufEnd; }
    // Block positions of the item, collected by start() with INDEX_BLOCKS.
    const std::vector<uint64_t>& blockIndex() const { return _index; }
    uint64_t blockPos() const { return _blockPos; }
    uint32_t blockLength() const { return _len; }

  private:
    uint32_t readItemHeader(uint64_t& pos, uint32_t expectedType);
    uint32_t readBlockHeader(uint64_t pos);
    void startBlock(uint64_t pos);
    void shiftBuffer();
    void updateCrc();
    // Reads the link at pos and the record stream's header it points to; pos ends behind it.
    uint64_t followLink(uint64_t pos);

    StgFile& _file;
    uint64_t _startPos;
    uint32_t _mode;
    std::vector<uint64_t> _index;
    uint64_t _blockPos = 0;
    uint32_t _len = 0;
    uint32_t _pad = 0;
    uint8_t _flags = 0;
    bool _atEnd = true;
    uint8_t _buf[CHUNK_SIZE];
    uint32_t _chunkStart = 0;
    uint32_t _chunkEnd = 0;
    uint32_t _readPos = 0;
    uint32_t _bufEnd = 0;
    int _k = 0;
    uint32_t _crc;
};
