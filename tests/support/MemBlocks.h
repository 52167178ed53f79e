// In-memory block sink and source for the compressor's tests and fuzz targets: each block keeps
// its flags, its bytes and the number of valid bits of its last byte, as the storage buffers do.
#pragma once

#include "archive/codec/BlockReader.h"
#include "archive/codec/BlockWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

struct MemBlock {
    uint8_t flags = 0;
    std::vector<uint8_t> bytes;
    int lastBits = 8;  // valid bits of the last byte

    uint64_t bitCount() const { return bytes.empty() ? 0 : bytes.size() * 8 - (8 - lastBits); }
    bool operator==(const MemBlock&) const = default;
};

class MemBlockWriter final : public BlockWriter {
  public:
    // reserve: room each block gets up front, so that a timed run pays no more per byte than
    // the storage buffer does (0: grow as needed).
    explicit MemBlockWriter(size_t reserve = 0) : _reserve(reserve) { _cur.bytes.reserve(reserve); }

    std::vector<MemBlock> blocks;

    void setFlags(uint8_t flags) override { _cur.flags = flags; }
    void putByte(uint8_t byte) override { _cur.bytes.push_back(byte); }
    void putLast(uint8_t byte, int validBits) override {
        if (validBits > 0) {
            _cur.bytes.push_back(byte);
            _cur.lastBits = validBits;
        }
        if (_reserve) _cur.bytes.shrink_to_fit();
        blocks.push_back(std::move(_cur));
        _cur = MemBlock{};
        _cur.bytes.reserve(_reserve);
    }
    void putBits(const uint8_t* data, uint32_t bitCount) override {
        _cur.bytes.insert(_cur.bytes.end(), data, data + bitCount / 8);
        int rest = static_cast<int>(bitCount % 8);
        putLast(rest ? static_cast<uint8_t>(data[bitCount / 8] & ((1 << rest) - 1)) : 0, rest);
    }

  private:
    size_t _reserve;
    MemBlock _cur;
};

class MemBlockReader final : public BlockReader {
  public:
    // Owns its blocks.
    explicit MemBlockReader(std::vector<MemBlock> blocks, uint32_t startPos = 0x1234)
        : _own(std::move(blocks)), _blocks(_own), _startPos(startPos) {}
    // Reads blocks kept elsewhere, without a copy (they must outlive the reader).
    explicit MemBlockReader(std::span<const MemBlock> blocks, uint32_t startPos = 0x1234)
        : _blocks(blocks), _startPos(startPos) {}
    MemBlockReader(const MemBlockReader&) = delete;
    MemBlockReader& operator=(const MemBlockReader&) = delete;

    int get(uint8_t& byte) override {
        if (_index >= _blocks.size()) return 0;
        const MemBlock& b = _blocks[_index];
        if (_pos >= b.bytes.size()) return 0;
        byte = b.bytes[_pos++];
        ++gets;
        return _pos == b.bytes.size() ? b.lastBits : 8;
    }
    uint32_t getBytes(uint8_t* out, uint32_t max, int& lastValid) override {
        if (_index >= _blocks.size()) return 0;
        const MemBlock& b = _blocks[_index];
        size_t n = std::min<size_t>(max, b.bytes.size() - _pos);
        if (n == 0) return 0;
        std::memcpy(out, b.bytes.data() + _pos, n);
        _pos += n;
        gets += n;
        lastValid = _pos == b.bytes.size() ? b.lastBits : 8;
        return static_cast<uint32_t>(n);
    }
    uint8_t blockFlags() const override {
        return _index < _blocks.size() ? _blocks[_index].flags : 0;
    }
    bool next() override { return seekBlock(_index + 1); }
    bool seekBlock(uint32_t n) override {
        if (n >= _blocks.size()) return false;
        _index = n;
        _pos = 0;
        resetBits();
        ++seeks;
        return true;
    }
    uint32_t startPos() const override { return _startPos; }

    uint64_t gets = 0;
    uint64_t seeks = 0;

  private:
    std::vector<MemBlock> _own;
    std::span<const MemBlock> _blocks;
    uint32_t _index = 0;
    size_t _pos = 0;
    uint32_t _startPos;
};
