// The number format of the record stream and the object files: a 32-bit signed integer as one
// to five bytes. Leading bytes carry 7 value bits each with the top bit clear; the last byte
// has the top bit set, the sign in 0x40 and six value bits. A negative n is stored as its
// complement, so small negative numbers are as short as small positive ones.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes n into out (room for 5 bytes); returns the number of bytes.
inline size_t encodeNumber(int32_t n, uint8_t out[5]) {
    uint32_t m = n >= 0 ? static_cast<uint32_t>(n) : ~static_cast<uint32_t>(n);
    uint8_t sign = n >= 0 ? 0 : 0x40;
    size_t len = 0;
    while (m > 63) {
        out[len++] = static_cast<uint8_t>(m & 0x7F);
        m >>= 7;
    }
    out[len++] = static_cast<uint8_t>(0x80 | sign | m);
    return len;
}

// Decodes one number byte by byte. feed() returns true when the number is complete; it
// returns false and sets tooLong when a fifth leading byte arrives (shift beyond 28).
class NumberDecoder {
  public:
    bool feed(uint8_t b) {
        if (b & 0x80) {
            _value += static_cast<uint32_t>(b & 0x3F) << _shift;
            if (b & 0x40) _value = ~_value;
            return true;
        }
        _value += static_cast<uint32_t>(b) << _shift;
        _shift += 7;
        if (_shift > 28) _tooLong = true;
        return false;
    }
    bool tooLong() const { return _tooLong; }
    int32_t value() const { return static_cast<int32_t>(_value); }

  private:
    uint32_t _value = 0;
    int _shift = 0;
    bool _tooLong = false;
};
