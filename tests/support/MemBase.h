// A base content in memory for the data image and the delta decoder, standing in for the
// storage value reader on a full-content item. It records every seek, and fails past the end
// as the compressed stream reader does.
#pragma once

#include "archive/delta/DataImage.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <random>
#include <vector>

class MemBase : public BaseSource {
  public:
    explicit MemBase(std::vector<uint8_t> data) : bytes(std::move(data)) {}

    void start() override {
        _pos = 0;
        ++starts;
    }
    void seek(uint32_t pos) override {
        if (pos > bytes.size()) throw makeError("LzReader.seek", static_cast<int64_t>(pos), 0, 0);
        seeks.push_back(pos);
        _pos = pos;
    }
    uint8_t readByte() override {
        if (_pos >= bytes.size()) throw makeError("LzReader.read.1");
        return bytes[_pos++];
    }

    std::vector<uint8_t> bytes;
    std::vector<uint32_t> seeks;
    int starts = 0;

  private:
    size_t _pos = 0;
};

// Deterministic bytes without structure: no section of them repeats or matches by chance.
inline std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}
