// Names and number encoding shared by the storage block writer and reader.
//
// Item types, the reader's mode bits, the item mark and the group encoding: an unsigned value
// in n bytes, least significant seven bits first, every byte with its top bit set. Because
// every byte of a group-encoded number is 0x80 or above, such numbers never hold a byte of the
// item mark ("$$//"), which lets a damaged file be told apart from a header by its first bytes.
#pragma once

#include <cstdint>

namespace stg {

enum ItemType : uint32_t {
    TXN_LINK = 0,
    TXN_SEQUENCE = 1,
    FILE_CONTENT = 2,
    FILE_DIFF = 3,
    TXN_META = 4,
};

// Reader mode bits beside the item type (bits 0-6).
constexpr uint32_t TYPE_MASK = 0x7F;
constexpr uint32_t CHECK_CRC = 0x100;
constexpr uint32_t INDEX_BLOCKS = 0x200;

// Block flag bit 0; bits 1-7 belong to the coder and are carried unchanged.
constexpr uint8_t LAST_BLOCK = 0x01;

constexpr uint8_t ITEM_MARK[4] = {0x24, 0x24, 0x2F, 0x2F};
constexpr uint8_t ESCAPE = 0x5C;
constexpr uint32_t ITEM_HEADER_LEN = 10;
constexpr uint32_t BLOCK_HEADER_LEN = 4;
constexpr uint32_t CRC_LEN = 5;

inline void encodeGroup(uint32_t v, uint8_t* out, int n) {
    for (int i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(0x80 | (v & 0x7F));
        v >>= 7;
    }
}

// False when a byte has its top bit clear. Bits beyond 32 are dropped.
inline bool decodeGroup(const uint8_t* in, int n, uint32_t& v) {
    v = 0;
    for (int i = 0; i < n; ++i) {
        if (!(in[i] & 0x80)) return false;
        v += static_cast<uint32_t>(in[i] & 0x7F) << (7 * i);
    }
    return true;
}

}  // namespace stg
