// Value writer of one storage item: bytes, numbers and 32-bit words, compressed and framed.
//
// Every byte goes through the LZ coder into a block writer, and from there to the storage file
// (a file given at construction: content and delta items) or into memory (no file: the record
// stream, written later with writeTo behind the transaction's content items). Use:
// begin, values, finish, and writeTo for an item held in memory; then itemStart and itemEnd
// give the item's place in the file.
//
// Failures are the storage file's; a writer that failed is abandoned and the caller rolls the
// file back. The writer owns the coder (about 730 KiB, 2200 KiB once two threads code) and the
// block buffer.
#pragma once

#include "archive/codec/LzEncoder.h"
#include "archive/storage/StgWriteBuffer.h"
#include "archive/support/NumberFormat.h"

#include <cstdint>
#include <span>

class StgFile;

class StgWriter {
  public:
    // itemType: TXN_SEQUENCE, FILE_CONTENT or FILE_DIFF. twoThreads as for the LzEncoder.
    StgWriter(StgFile* file, uint32_t itemType, bool twoThreads = true);
    StgWriter(const StgWriter&) = delete;
    StgWriter& operator=(const StgWriter&) = delete;

    void begin();
    void writeByte(uint8_t b) { _lz.put(b); }
    void writeBytes(std::span<const uint8_t> data) { _lz.put(data); }
    void writeNumber(int32_t n) {
        uint8_t buf[5];
        size_t len = encodeNumber(n, buf);
        _lz.put(std::span<const uint8_t>(buf, len));
    }
    // Least significant byte first.
    void writeWord(uint32_t w) {
        uint8_t buf[4] = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                          static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)};
        _lz.put(std::span<const uint8_t>(buf, 4));
    }
    // Emits the last block and, with a file, the CRC.
    void finish();
    // For a writer without file, after finish: the whole item, at the file's current end.
    void writeTo(StgFile& file);

    uint64_t itemStart() const { return _buf.itemStart(); }
    uint64_t itemEnd() const { return _buf.itemEnd(); }

  private:
    StgFile* _file;
    StgWriteBuffer _buf;
    LzEncoder _lz;
};
