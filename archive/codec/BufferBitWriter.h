// Bit sink into a memory buffer, for the encoder's second pass: a block is assembled here and
// handed to the block writer whole.
//
// Besides the BitWriter operations (used for code trees and for code words longer than 30
// bits) it has a fast mode with a 64-bit accumulator: begin() takes over the pending bits,
// putFast() appends, end() hands the pending bits back. Between begin() and end() only
// putFast() and flush() may be used. Writing past the buffer is a verification failure: the
// encoder never produces a block longer than its capacity.
#pragma once

#include "archive/codec/BitWriter.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstring>
#include <memory>

class BufferBitWriter final : public BitWriter {
  public:
    explicit BufferBitWriter(uint32_t capacity)
        : _capacity(capacity), _buf(new uint8_t[capacity + 8]) {}

    void clear() {
        _used = 0;
        BitWriter::_bits = 0;
        BitWriter::_count = 0;
    }
    void putByte(uint8_t byte) override {
        VERIFY(_used < _capacity);
        _buf[_used++] = byte;
    }
    // Not used: the owner passes data() and bitCount() on as a whole.
    void putLast(uint8_t, int) override {}

    void begin() {
        _acc = BitWriter::_bits;
        _n = BitWriter::_count;
        BitWriter::_bits = 0;
        BitWriter::_count = 0;
    }
    // n <= 32 and value below 2^n; at most 56 bits between flushes.
    [[gnu::always_inline]] void putFast(uint64_t value, int n) {
        _acc |= value << _n;
        _n += n;
    }
    // Stores the whole bytes of the accumulator, leaving fewer than 8 bits.
    [[gnu::always_inline]] void flush() {
        VERIFY(_used <= _capacity);
        std::memcpy(_buf.get() + _used, &_acc, 8);
        int bytes = _n >> 3;
        _used += static_cast<uint32_t>(bytes);
        _acc >>= 8 * bytes;
        _n -= 8 * bytes;
    }
    void end() {
        flush();
        VERIFY(_used <= _capacity);
        BitWriter::_bits = static_cast<uint32_t>(_acc);
        BitWriter::_count = _n;
        _acc = 0;
        _n = 0;
    }

    const uint8_t* data() const { return _buf.get(); }
    // Bits written so far, outside fast mode: whole bytes and the pending bits.
    uint32_t bitCount() const { return 8 * _used + static_cast<uint32_t>(BitWriter::_count); }
    // Leaves the pending bits in the buffer's next byte, so that data() holds bitCount() bits.
    void storePending() { _buf[_used] = static_cast<uint8_t>(BitWriter::_bits); }

  private:
    uint32_t _capacity;
    uint32_t _used = 0;
    uint64_t _acc = 0;
    int _n = 0;
    std::unique_ptr<uint8_t[]> _buf;
};
