// Block flags and the mapping of pointer distances and lengths to codes and extra bits, shared
// by the LZ encoder and the compressed stream reader.
//
// A distance D is sent as code (D >> 2s) + 16s with s the number of 2-bit shifts that bring it
// below 16, followed by its low 2s bits; a length L as (L >> s) + 4s with s the number of 1-bit
// shifts that bring it below 4, followed by its low s bits.
#pragma once

#include <cstdint>

namespace lz {

constexpr uint32_t BLOCK_SIZE = 65536;
constexpr uint32_t LOOK_AHEAD = 255;
constexpr uint32_t MIN_MATCH = 4;

constexpr uint8_t LAST_BLOCK = 1;
constexpr uint8_t LZ_POINTERS = 2;
constexpr uint8_t LZ_LITERAL_CODE = 4;
constexpr uint8_t LZ_DISTANCE_CODE = 8;
constexpr uint8_t LZ_LENGTH_CODE = 16;

constexpr uint32_t DISTANCE_CODES = 112;
constexpr uint32_t LENGTH_CODES = 28;

struct CodeBits {
    uint32_t code;
    uint32_t extra;
    int extraBits;
};

// Distances 1..65535.
inline CodeBits distanceCode(uint32_t d) {
    int s = 0;
    while ((d >> (2 * s)) >= 16)
        ++s;
    return {(d >> (2 * s)) + 16 * s, d & ((1u << (2 * s)) - 1), 2 * s};
}

// Lengths 4..255.
inline CodeBits lengthCode(uint32_t l) {
    int s = 0;
    while ((l >> s) >= 4)
        ++s;
    return {(l >> s) + 4 * s, l & ((1u << s) - 1), s};
}

inline int distanceExtraBits(uint32_t code) {
    return static_cast<int>(code / 16) * 2;
}
inline int lengthExtraBits(uint32_t code) {
    return static_cast<int>(code / 4);
}
inline uint32_t distanceBase(uint32_t code) {
    return (code % 16) << ((code / 16) * 2);
}
inline uint32_t lengthBase(uint32_t code) {
    return (code % 4) << (code / 4);
}

}  // namespace lz
