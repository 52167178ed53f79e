#include "stg_test_util.h"
#include "tests/support/LzTestData.h"

#include "archive/codec/HCode.h"
#include "archive/codec/MemBitBuffer.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using Fields = std::vector<std::pair<uint32_t, int>>;

TEST(HCode, EqualWeightsPutTheNewestNodeOnBranchZero) {
    // A(1), B(1), C(2): B and A join into k(2), B on branch 0; k is queued in front of C as
    // their weights are equal, so B = 00, A = 01 (code word 2, the first branch is bit 0), C = 1.
    HCode c(8);
    c.setWeight('A', 1);
    c.setWeight('B', 1);
    c.setWeight('C', 2);
    c.build();
    const int want[][3] = {{'B', 2, 0}, {'A', 2, 2}, {'C', 1, 1}};
    for (auto [sym, len, word] : want)
        EXPECT_TRUE(c.codeLength(sym) == len && c.codeWord(sym) == uint32_t(word)) << char(sym);
}

TEST(HCode, CodesDeeperThanThirtyBitsRoundTripAndEndInsideTheCode) {
    // Fibonacci weights give the most skewed tree: 40 symbols, codes up to 39 bits.
    MemBitBuffer buf;
    HCode c(8);
    c.setWriter(&buf);
    int32_t a = 1, b = 1;
    for (int s = 0; s < 40; ++s) {
        c.setWeight(s * 3, a);
        b = std::exchange(a, b) + b;
    }
    c.build();
    EXPECT_EQ(c.codeLength(0), 39);
    lztest::Rng r(7);
    std::vector<int> syms;
    uint64_t bits = 40 * 9 + 39;  // tree: 40 leaves, 39 inner nodes
    c.writeTree();
    for (int i = 0; i < 2000; ++i) {
        syms.push_back(static_cast<int>(r.below(40)) * 3);
        c.write(syms.back());
        bits += c.codeLength(syms.back());
    }
    buf.flushLast();
    buf.rewind();
    EXPECT_EQ(buf.bitCount(), bits);
    HCode back(8);
    back.setReader(&buf);
    back.readTree();
    for (int s = 0; s < 40; ++s)
        EXPECT_EQ(back.codeWord(s * 3), c.codeWord(s * 3)) << s;
    for (int s : syms)
        ASSERT_EQ(back.read(), s);
    EXPECT_EQ(errorCode([&] { back.read(); }), 4000);  // the stream ends inside a code
}

TEST(HCode, BadTreesAreRejected) {
    const std::pair<Fields, int> cases[] = {
        {{{0, 1}, {1, 1}, {5, 5}, {1, 1}, {5, 5}}, 4101},  // leaf 5 twice
        {{{0, 1}, {1, 1}, {5, 5}}, 4000},                  // the stream ends
        {{{0, 33}}, 4100},  // 33 inner nodes do not fit the 64 nodes of a 32-symbol code
        {{{0, 32}, {1, 1}, {0, 5}}, 4000},  // 32 are still read until the leaves run out
        {{{0, 1}, {1, 1}, {5, 5}, {1, 1}, {6, 5}}, 0},
    };
    for (const auto& [fields, code] : cases) {
        MemBitBuffer buf;
        for (auto [v, n] : fields)
            buf.put(v, n);
        buf.flushLast();
        HCode c(5);
        c.setReader(&buf);
        EXPECT_EQ(errorCode([&] { c.readTree(); }), code) << fields.size() << " fields";
    }
}

TEST(HCode, CodePaysFromTwoAndAHalfPercent) {
    // One symbol: fixed 8w bits against a 9-bit tree, 40 * (8w - 9) >= 8w from w = 2.
    // Two symbols of 5 bits, n uses: 5n against n + 13, pays from n = 4.
    const std::tuple<int, int32_t, int32_t, bool> cases[] = {
        {8, 1, 0, false}, {8, 2, 0, true}, {5, 1, 2, false}, {5, 1, 3, true}};
    for (auto [symBits, w1, w2, pays] : cases) {
        HCode c(symBits);
        c.setWeight(7, w1);
        if (w2) c.setWeight(2, w2);
        c.build();
        EXPECT_EQ(c.pays(), pays) << symBits << " " << w1 << " " << w2;
    }
}

TEST(BitStream, WideValuesKeepTheirHighBitsAndScratchCountsDroppedBytes) {
    MemBitBuffer buf;
    buf.put(0x5, 3);
    buf.put(0x2ABCDEF1, 30);
    buf.put(0, 0);
    buf.put(1, 1);
    buf.flushLast();
    EXPECT_TRUE(buf.length() == 5u && buf.bitCount() == 34u);
    EXPECT_EQ(buf.read(3), 0x5u);
    EXPECT_EQ(buf.read(15), 0x2ABCDEF1u & 0x7FFF);
    EXPECT_EQ(buf.read(15), 0x2ABCDEF1u >> 15);
    buf.fill(8);  // one bit left: loading loads what there is, only the shift fails
    EXPECT_EQ(buf.bufferedCount(), 1);
    EXPECT_THROW(buf.shift(2), Error);

    for (int n : {65536, 65537}) {
        buf.clear();
        for (int i = 0; i < n; ++i)
            buf.put(i & 0xFF, 8);
        buf.flushLast();
        EXPECT_EQ(buf.overflowed(), n > 65536);
        EXPECT_EQ(buf.bitCount(), uint64_t(n) * 8);
        uint8_t b;
        int got = 0;
        while (buf.get(b))
            ++got;
        EXPECT_EQ(got, 65536);
    }
}

}  // namespace
