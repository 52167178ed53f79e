#include "tests/support/LzTestData.h"

#include "archive/LzEncoder.h"
#include "archive/LzFormat.h"

#include <gtest/gtest.h>

namespace {

using namespace lz;
using lztest::bytes;
using lztest::encode;

// Packs (value, bit count) fields least significant bit first, as the block's bits are.
std::vector<uint8_t> pack(const std::vector<std::pair<uint32_t, int>>& fields, int* lastBits) {
    std::vector<uint8_t> out;
    uint64_t n = 0;
    for (auto [v, bits] : fields)
        for (int i = 0; i < bits; ++i, ++n) {
            if (n % 8 == 0) out.push_back(0);
            out.back() |= ((v >> i) & 1) << (n % 8);
        }
    *lastBits = n % 8 ? static_cast<int>(n % 8) : 8;
    return out;
}

TEST(LzEncoder, EmptyStreamIsOneLastBlockWithoutBits) {
    auto blocks = encode({});
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].flags, LAST_BLOCK);
    EXPECT_TRUE(blocks[0].bytes.empty());
}

TEST(LzEncoder, ShortContentsAreStoredPlain) {
    // One byte: as a first-pass literal it costs 9 bits for 8, and a one-symbol literal code
    // costs its 9-bit tree; "xx", "aaa" and six newlines make a one-symbol code that would pay,
    // but it spends no bits per byte, so without pointers the block is stored plain.
    for (const char* s : {"A", "xx", "aaa", "\n\n\n\n\n\n"}) {
        auto blocks = encode(bytes(s));
        ASSERT_EQ(blocks.size(), 1u) << s;
        EXPECT_EQ(blocks[0].flags, LAST_BLOCK) << s;
        EXPECT_EQ(blocks[0].bytes, bytes(s));
        EXPECT_EQ(blocks[0].lastBits, 8);
    }
}

TEST(LzEncoder, RunOfTenBytesIsThreeLiteralsAndOnePointer) {
    // "aaaaaaaaaa": three literals (nothing is indexed before the third byte is passed), then
    // a pointer to position 0 with distance 3 and length 7 (the overlap repeats the run).
    // First pass: 3 x 9 + (1 + 7 + 5 + 1) = 41 bits for 80: the pointers pay. The literal code
    // has the single symbol 'a' (9-bit tree, 3 x 8 bits saved: pays); the distance and length
    // codes each hold one symbol used once (tree 8 and 6 bits for 7 and 5: they do not pay).
    auto blocks = encode(bytes("aaaaaaaaaa"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].flags, LAST_BLOCK | LZ_POINTERS | LZ_LITERAL_CODE);
    // Tree: 1, 'a' (0x61). Three literal flags 0 with no bits for the literal. Pointer flag 1,
    // distance code 3 in 7 bits, length code 7 (= 3 + 4 x 1: 7 is 3 shifted once) in 5 bits,
    // its one extra bit 1. 26 bits:
    // 1 1000 0110 000 1 1100000 11100 1 -> C3 70 70 02 with 2 valid bits in the last byte.
    EXPECT_EQ(blocks[0].bytes, (std::vector<uint8_t>{0xC3, 0x70, 0x70, 0x02}));
    EXPECT_EQ(blocks[0].lastBits, 2);
}

TEST(LzEncoder, PeriodicTextIsLiteralsThenOneOverlappingPointer) {
    // "abcabcabcabc": a, b, c as plain literals (their code of lengths 1, 2, 2 costs 34 bits for
    // 24), then distance 3, length 9 (code 10 = 2 + 4 x 2, extra bits 01).
    auto blocks = encode(bytes("abcabcabcabc"));
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].flags, LAST_BLOCK | LZ_POINTERS);
    int lastBits;
    auto expect = pack(
        {{0, 1}, {'a', 8}, {0, 1}, {'b', 8}, {0, 1}, {'c', 8}, {1, 1}, {3, 7}, {10, 5}, {1, 2}},
        &lastBits);
    EXPECT_EQ(blocks[0].bytes, expect);
    EXPECT_EQ(blocks[0].lastBits, lastBits);
}

TEST(LzEncoder, LiteralCodeAloneWhenPointersDoNotPay) {
    // 16 letters 25 times each, shuffled: 4-byte repeats are rare, so the pointers do not pay,
    // but a literal code does: equal weights make a balanced tree of 4-bit codes, written as 16
    // leaves of 9 bits and 15 inner nodes of 1 bit, then 4 bits per byte.
    std::vector<uint8_t> data;
    for (int i = 0; i < 400; ++i)
        data.push_back(static_cast<uint8_t>('a' + i % 16));
    lztest::Rng r(3);
    for (size_t i = data.size() - 1; i > 0; --i)
        std::swap(data[i], data[r.below(i + 1)]);
    auto blocks = encode(data);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].flags, LAST_BLOCK | LZ_LITERAL_CODE);
    EXPECT_EQ(blocks[0].bitCount(), 16u * 9 + 15 + 400 * 4);
}

TEST(LzEncoder, BlockBoundaries) {
    // Incompressible bytes are stored plain; exactly 65536 bytes are one last block, one more
    // byte makes a full block without LAST_BLOCK and a last block of one plain byte.
    auto data = lztest::randomBytes(65537, 11);
    auto one = encode(std::span(data).first(65536));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].flags, LAST_BLOCK);
    EXPECT_EQ(one[0].bytes, std::vector<uint8_t>(data.begin(), data.begin() + 65536));

    auto two = encode(data);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].flags, 0);
    EXPECT_EQ(two[0].bytes, one[0].bytes);
    EXPECT_EQ(two[1].flags, LAST_BLOCK);
    EXPECT_EQ(two[1].bytes, std::vector<uint8_t>{data[65536]});
}

TEST(LzEncoder, ByteByByteAndBulkPutsGiveTheSameBlocks) {
    auto data = lztest::wordText(140000, 5);
    MemBlockWriter out;
    LzEncoder enc(out);
    for (uint8_t b : data)
        enc.put(b);
    enc.finish();
    auto bulk = encode(data);
    ASSERT_EQ(out.blocks.size(), 3u);
    ASSERT_EQ(bulk.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(out.blocks[i].flags, bulk[i].flags);
        EXPECT_EQ(out.blocks[i].bytes, bulk[i].bytes);
    }
    // reset() starts an independent stream: the same input gives the same blocks again.
    out.blocks.clear();
    enc.reset();
    enc.put(data);
    enc.finish();
    EXPECT_EQ(out.blocks[2].bytes, bulk[2].bytes);
}

}  // namespace
