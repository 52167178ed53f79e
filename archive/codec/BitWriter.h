// Bit sink: values are packed least significant bit first into bytes that go to putByte.
//
// The storage block writer (StgWriteBuffer) and the encoder's scratch buffer (MemBitBuffer)
// implement it. The owner ends a block with putLast(bits & 0xFF, count), which hands over the
// final partial byte (0 to 7 valid bits; its unused high bits are zero) and closes the block.
#pragma once

#include <cstdint>

class BitWriter {
  public:
    virtual ~BitWriter() = default;

    // Receives the final partial byte with 0..7 valid bits and closes the block.
    virtual void putLast(uint8_t byte, int validBits) = 0;
    // Receives one whole byte.
    virtual void putByte(uint8_t byte) = 0;

    // Appends the low n bits of value (n from 0 to 30), least significant first.
    void put(uint32_t value, int n) {
        // The buffer is 32 bits wide and may hold 7 pending bits: a value wider than 25 bits
        // goes in two parts so that none of its high bits is shifted out.
        if (n > 25) {
            put(value & 0xFFFF, 16);
            value >>= 16;
            n -= 16;
        }
        _bits |= (value & ((uint32_t{1} << n) - 1)) << _count;
        _count += n;
        while (_count >= 8) {
            putByte(static_cast<uint8_t>(_bits));
            _bits >>= 8;
            _count -= 8;
        }
    }

    // Hands the pending bits to putLast; afterwards the writer is empty.
    void flushLast() {
        putLast(static_cast<uint8_t>(_bits), _count);
        _bits = 0;
        _count = 0;
    }

    uint32_t pendingBits() const { return _bits; }
    int pendingCount() const { return _count; }

  protected:
    uint32_t _bits = 0;
    int _count = 0;  // 0..7 between calls
};
