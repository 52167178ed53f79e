// Bit source: the reader consumes bits least significant first from bytes delivered by get().
//
// get() is the only virtual operation: it delivers the next byte of the source and returns
// how many of its bits are valid (8, fewer for the last byte of a block, 0 when the source,
// the current block, is exhausted). The storage block reader (StgReadBuffer) and the
// encoder's scratch buffer (MemBitBuffer) implement it.
#pragma once

#include "archive/support/msg.h"

#include <cstdint>

class BitReader {
  public:
    virtual ~BitReader() = default;

    virtual int get(uint8_t& byte) = 0;

    // Loads bits until at least n (at most 25) are buffered or the source is exhausted.
    // Never fails: at the end of a block fewer than n bits may be available.
    void fill(int n) {
        while (_count < n) {
            uint8_t b;
            int valid = get(b);
            if (valid == 0) return;
            _bits |= uint32_t{b} << _count;
            _count += valid;
        }
    }

    // Drops n buffered bits; 4000 when fewer are there.
    void shift(int n) {
        if (_count < n) throw makeError("BitReader.shift");
        _bits >>= n;
        _count -= n;
    }

    // Reads an n-bit value (n <= 25).
    uint32_t read(int n) {
        fill(n);
        uint32_t v = _bits & ((uint32_t{1} << n) - 1);
        shift(n);
        return v;
    }

    // Forgets buffered bits, as at the start of a block.
    void resetBits() {
        _bits = 0;
        _count = 0;
    }

    uint32_t bufferedBits() const { return _bits; }
    int bufferedCount() const { return _count; }

  protected:
    uint32_t _bits = 0;
    int _count = 0;
};
