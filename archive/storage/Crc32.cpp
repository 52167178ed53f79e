#include "archive/storage/Crc32.h"

#include <array>
#include <bit>
#include <cstring>

namespace crc32 {

namespace {

// Eight tables let the loop fold eight input bytes per step (slicing-by-8): table k gives the
// effect of a byte followed by k zero bytes, so the eight lookups are independent and the
// CPU can do them in parallel, about four times the speed of the byte-wise loop.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables makeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (int k = 1; k < 8; ++k)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Tables TABLES = makeTables();

}  // namespace

uint32_t update(uint32_t c, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (n >= 8) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        if constexpr (std::endian::native == std::endian::big) {
            lo = __builtin_bswap32(lo);
            hi = __builtin_bswap32(hi);
        }
        lo ^= c;
        c = TABLES[7][lo & 0xFF] ^ TABLES[6][(lo >> 8) & 0xFF] ^ TABLES[5][(lo >> 16) & 0xFF] ^
            TABLES[4][lo >> 24] ^ TABLES[3][hi & 0xFF] ^ TABLES[2][(hi >> 8) & 0xFF] ^
            TABLES[1][(hi >> 16) & 0xFF] ^ TABLES[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0)
        c = (c >> 8) ^ TABLES[0][(c ^ *p++) & 0xFF];
    return c;
}

}  // namespace crc32
