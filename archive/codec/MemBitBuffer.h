// Scratch bit buffer of the LZ encoder: the first pass writes its items here as bits and the
// second pass reads them back.
//
// It owns one 65536-byte array. Bytes written beyond it are dropped but still counted, so the
// owner can tell that the items did not fit (overflowed()) and must not read them back. Reading
// never goes beyond what was stored.
#pragma once

#include "archive/codec/BitReader.h"
#include "archive/codec/BitWriter.h"

#include <cstdint>

class MemBitBuffer final : public BitWriter, public BitReader {
  public:
    static constexpr uint32_t SIZE = 65536;

    void putLast(uint8_t byte, int validBits) override;
    void putByte(uint8_t byte) override {
        if (_length < SIZE) _data[_length] = byte;
        ++_length;
    }
    int get(uint8_t& byte) override;

    // Empties the buffer for writing.
    void clear();
    // Starts reading from the first byte.
    void rewind();

    // Bytes written, including dropped ones.
    uint32_t length() const { return _length; }
    // Bits written: 8 per byte less the unused high bits of the last one.
    uint64_t bitCount() const { return uint64_t{_length} * 8 - _unusedBits; }
    bool overflowed() const { return _length > SIZE; }
    const uint8_t* data() const { return _data; }

  private:
    uint32_t _length = 0;
    int _unusedBits = 0;
    uint32_t _readPos = 0;
    uint8_t _data[SIZE];
};
