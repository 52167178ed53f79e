// Deterministic inputs for the compressor's tests: ordinary and adversarial data classes.
#pragma once

#include "tests/support/MemBlocks.h"

#include "archive/codec/LzEncoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <tuple>
#include <utility>
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

// One item of a block's first pass: a literal (distance 0) or a pointer.
struct Item {
    uint32_t distance = 0;
    uint32_t length = 1;
    uint8_t literal = 0;
    bool operator==(const Item&) const = default;
};

// The first pass of one block by plain hash chains walked to their end, newest first: slow,
// without shortcuts, to check the fast finder against. Indexing as the finder's header says.
inline std::vector<Item> chainWalkItems(const uint8_t* d, uint32_t n) {
    std::vector<uint16_t> head(1 << 12, 0xFFFF), link(n);
    auto key = [&](uint32_t p) {
        uint32_t v;
        std::memcpy(&v, d + p, 4);
        return (v * 2654435761u) >> 20;
    };
    std::vector<Item> items;
    for (uint32_t pos = 0, run = 0; pos < n;) {
        uint32_t cap = std::min(n - pos, 255u), best = 0, from = 0;
        for (uint32_t c = cap >= 4 ? head[key(pos)] : 0xFFFF; c != 0xFFFF; c = link[c]) {
            uint32_t len = 0;
            while (len < cap && d[c + len] == d[pos + len])
                ++len;
            if (len > best && len >= 4) std::tie(best, from) = std::pair(len, c);
            if (len == cap) break;
        }
        items.push_back(best ? Item{pos - from, best, 0} : Item{0, 1, d[pos]});
        for (uint32_t end = pos + std::max(best, 1u); pos < end;) {
            run = pos > 0 && d[pos - 1] == d[pos] ? run + 1 : 1;
            if (++pos >= 3 && run <= 3 && n - (pos - 3) >= 4) {
                link[pos - 3] = head[key(pos - 3)];
                head[key(pos - 3)] = static_cast<uint16_t>(pos - 3);
            }
        }
    }
    return items;
}

inline std::vector<MemBlock> encode(std::span<const uint8_t> data) {
    MemBlockWriter out;
    LzEncoder enc(out);
    enc.put(data);
    enc.finish();
    return out.blocks;
}

}  // namespace lztest
