// Values in memory in the storage value formats (bytes, numbers, 32-bit words), without
// compression: a stand-in for the storage value writer and reader in tests and fuzz targets.
#pragma once

#include "archive/support/NumberFormat.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <span>
#include <vector>

class MemValueWriter {
  public:
    void writeByte(uint8_t b) { bytes.push_back(b); }
    void writeNumber(int32_t n) {
        uint8_t buf[5];
        size_t len = encodeNumber(n, buf);
        bytes.insert(bytes.end(), buf, buf + len);
    }
    void writeWord(uint32_t w) {
        for (int i = 0; i < 4; ++i)
            writeByte(static_cast<uint8_t>(w >> (8 * i)));
    }
    std::vector<uint8_t> bytes;
};

class MemValueReader {
  public:
    explicit MemValueReader(std::span<const uint8_t> data) : _data(data) {}
    bool eof() const { return _pos == _data.size(); }
    void seek(size_t pos) { _pos = pos; }
    uint8_t readByte() {
        // Reading past the end is what the compressed stream reports as a missing block.
        if (_pos == _data.size()) throw makeError("LzReader.read.1");
        return _data[_pos++];
    }
    int32_t readNumber() {
        NumberDecoder d;
        for (;;) {
            if (d.feed(readByte())) return d.value();
            if (d.tooLong()) throw makeError("StgReader.read");
        }
    }
    uint32_t readWord() {
        uint32_t w = 0;
        for (int i = 0; i < 4; ++i)
            w |= uint32_t{readByte()} << (8 * i);
        return w;
    }

  private:
    std::span<const uint8_t> _data;
    size_t _pos = 0;
};
