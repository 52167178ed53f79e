// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial value and final XOR all ones).
//
// Used for the storage items and for whole-file checks of stored versions. The state is the
// running register before the final XOR, so a state can be fed in pieces:
//
//     uint32_t s = crc32::init();
//     s = crc32::update(s, a, na);
//     s = crc32::update(s, b, nb);
//     uint32_t crc = crc32::finalize(s);
#pragma once

#include <cstddef>
#include <cstdint>

namespace crc32 {

inline uint32_t init() {
    return 0xFFFFFFFFu;
}
uint32_t update(uint32_t state, const void* data, size_t n);
inline uint32_t finalize(uint32_t state) {
    return state ^ 0xFFFFFFFFu;
}
inline uint32_t of(const void* data, size_t n) {
    return finalize(update(init(), data, n));
}

}  // namespace crc32
