#include "archive/codec/MemBitBuffer.h"

void MemBitBuffer::putLast(uint8_t byte, int validBits) {
    // With no valid bits nothing is stored, so whole bytes alone never count as one more byte.
    if (validBits > 0) {
        putByte(byte);
        _unusedBits = 8 - validBits;
    } else {
        _unusedBits = 0;
    }
}

int MemBitBuffer::get(uint8_t& byte) {
    uint32_t end = _length < SIZE ? _length : SIZE;
    if (_readPos >= end) return 0;
    byte = _data[_readPos++];
    return _readPos == _length ? 8 - _unusedBits : 8;
}

void MemBitBuffer::clear() {
    _length = 0;
    _unusedBits = 0;
    _readPos = 0;
    BitWriter::_bits = 0;
    BitWriter::_count = 0;
    resetBits();
}

void MemBitBuffer::rewind() {
    _readPos = 0;
    resetBits();
}
