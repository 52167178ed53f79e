// Block writer of one storage item: takes the coder's output block by block, escapes it,
// frames it with block headers and a CRC, and writes it to the storage file.
//
// The coder sees it as a BlockWriter. Either a file is attached (beginItem before the first
// block, endItem after the last: blocks go to the file as they close) or none is: then the
// blocks are kept in memory and written later by beginItem, writeBuffered, endItem. The
// record stream of a transaction is written the second way, so that it lands after the
// transaction's content items although it is built while they are written.
//
// Escaping keeps the item mark "$$//" from forming in stored data: after "$$/" a slash or a
// backslash is preceded by a backslash. One block of coder output (at most 65,536 bytes) can
// thus grow to 81,920 bytes; the buffer holds that plus the 4-byte header, so putByte never
// tests a bound.
//
// Failures are the storage file's (thrown from append); the item is then abandoned and the
// caller rolls the file back. The buffer owns its kept blocks and frees them when destroyed.
#pragma once

#include "archive/codec/BlockWriter.h"
#include "archive/storage/StgItem.h"

#include <cstdint>
#include <memory>
#include <vector>

class StgFile;

class StgWriteBuffer final : public BlockWriter {
  public:
    static constexpr uint32_t BUFFER_SIZE = 81924;

    StgWriteBuffer(StgFile* file, uint32_t itemType);

    void putLast(uint8_t byte, int validBits) override;
    void putByte(uint8_t c) override {
        if (_k == 3 && (c == 0x2F || c == 0x5C)) {
            _buf[_used++] = 0x5C;
            _k = 0;
        } else if (c == stg::ITEM_MARK[_k]) {
            ++_k;
        } else {
            _k = 0;
        }
        _buf[_used++] = c;
    }
    void setFlags(uint8_t flags) override { _flags = flags; }
    void putBits(const uint8_t* data, uint32_t bitCount) override;

    // Reserves the transaction's link if nothing is pending yet and writes the item header.
    void beginItem(StgFile& file);
    // Writes the CRC behind the last block.
    void endItem(StgFile& file);
    // Writes the blocks kept in memory; the last one must have been closed.
    void writeBuffered(StgFile& file);
    // beginItem, writeBuffered and endItem in one write, for an item other than a record
    // stream that is whole in memory.
    void writeItem(StgFile& file);

    uint64_t itemStart() const { return _itemStart; }
    uint64_t itemEnd() const { return _itemEnd; }

  private:
    // The item mark, this buffer's type and the item's own position at, as an item begins.
    void itemHeader(uint64_t at, uint8_t (&h)[stg::ITEM_HEADER_LEN]) const;
    void reset() {
        _flags = 0;
        _used = 4;
        _k = 0;
    }

    StgFile* _file;
    uint32_t _type;
    std::vector<uint8_t> _kept;  // closed blocks of an item without file, in order
    uint8_t _flags = 0;
    uint32_t _used = 4;
    int _k = 0;
    uint32_t _crc;
    uint64_t _itemStart = 0;
    uint64_t _itemEnd = 0;
    std::unique_ptr<uint8_t[]> _buf;
};
