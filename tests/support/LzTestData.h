// Deterministic inputs for the compressor's tests: ordinary and adversarial data classes.
#pragma once

#include "tests/support/MemBlocks.h"

#include "archive/codec/LzEncoder.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lztest {

class Rng {
  public:
    explicit Rng(uint64_t seed) : _s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        _s = _s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(_s >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }

  private:
    uint64_t _s;
};

inline std::vector<uint8_t> randomBytes(size_t n, uint64_t seed) {
    Rng r(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(r.next());
    return v;
}

// Bytes drawn from an alphabet ("ACGT", "01", ...).
inline std::vector<uint8_t> alphabetText(size_t n, std::string_view alphabet, uint64_t seed) {
    Rng r(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(alphabet[r.below(alphabet.size())]);
    return v;
}

// Words from a small vocabulary with spaces and line breaks, like prose or source.
inline std::vector<uint8_t> wordText(size_t n, uint64_t seed) {
    static const char* words[] = {"the",   "archive", "of",     "version", "a",     "file",
                                  "block", "stored",  "return", "int",     "while", "{",
                                  "}",     "(x)",     "=",      "0;",      "and",   "folder"};
    Rng r(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const char* w = words[r.below(18)];
        v.insert(v.end(), w, w + std::char_traits<char>::length(w));
        v.push_back(r.below(9) == 0 ? '\n' : ' ');
    }
    v.resize(n);
    return v;
}

inline std::vector<uint8_t> periodic(size_t n, size_t period, uint64_t seed) {
    std::vector<uint8_t> unit = randomBytes(period, seed);
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = unit[i % period];
    return v;
}

// Sorted decimal numbers, one per line: sorted keys are the binary tree's worst order.
inline std::vector<uint8_t> numberList(size_t n, uint64_t start) {
    std::vector<uint8_t> v;
    for (uint64_t k = start; v.size() < n; k += 7) {
        std::string s = std::to_string(k) + "\n";
        v.insert(v.end(), s.begin(), s.end());
    }
    v.resize(n);
    return v;
}

inline std::vector<MemBlock> encode(std::span<const uint8_t> data) {
    MemBlockWriter out;
    LzEncoder enc(out);
    enc.put(data);
    enc.finish();
    return out.blocks;
}

}  // namespace lztest
