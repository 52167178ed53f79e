#include "tests/support/LzReference.h"
#include "tests/support/LzTestData.h"

#include "archive/codec/LzReader.h"

#include <gtest/gtest.h>

namespace {

using namespace lz;
using lztest::encode;

std::vector<uint8_t> readAll(LzReader& r, size_t n) {
    std::vector<uint8_t> out(n);
    r.read(std::span(out));
    return out;
}

// Innermost code of an error chain, with the outer codes checked on the way.
int32_t innerCode(const Error& e, std::initializer_list<int32_t> outer) {
    const Error* cur = &e;
    for (int32_t code : outer) {
        EXPECT_EQ(cur->code, code) << e.chainText();
        if (!cur->cause) return cur->code;
        cur = cur->cause.get();
    }
    return cur->code;
}

TEST(LzReader, RoundTripsEveryDataClass) {
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {0x41},
        lztest::wordText(200000, 1),
        lztest::randomBytes(70000, 2),
        lztest::alphabetText(100000, "ACGT", 3),
        lztest::alphabetText(70000, "01", 4),
        std::vector<uint8_t>(300000, 0),
        lztest::periodic(140000, 256, 5),
        lztest::numberList(90000, 7),
    };
    for (size_t p : {2, 7, 300})
        inputs.push_back(lztest::periodic(66000, p, p));
    for (const auto& data : inputs) {
        MemBlockReader src(encode(data));
        LzReader r(src);
        r.open();
        EXPECT_EQ(readAll(r, data.size()), data) << data.size();
        EXPECT_TRUE(r.blockExhausted());
        try {
            r.read();
            ADD_FAILURE() << "read past the end";
        } catch (Error& e) {
            EXPECT_EQ(innerCode(e, {4204, 4202}), 4202);
        }
    }
}

TEST(LzReader, SeekMatchesSequentialReading) {
    auto data = lztest::wordText(300000, 9);
    MemBlockReader src(encode(data));
    LzReader r(src);
    r.open();
    lztest::Rng rng(1);
    for (int i = 0; i < 300; ++i) {
        uint32_t p = i % 10 == 0 ? (i / 10 % 5) * BLOCK_SIZE + (i % 3) : rng.below(300000);
        r.seek(p);
        uint32_t n = std::min<uint32_t>(rng.below(70000), static_cast<uint32_t>(300000 - p));
        std::vector<uint8_t> got(n);
        r.read(std::span(got));
        ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin() + p)) << p << " " << n;
    }
}

TEST(LzReader, SeekBackInTheBlockRereadsTheWindowAndElsewhereDecodesFromTheBlockStart) {
    auto data = lztest::wordText(200000, 4);
    MemBlockReader src(encode(data));
    LzReader r(src);
    r.open();
    r.seek(BLOCK_SIZE + 1000);
    EXPECT_EQ(r.read(), data[BLOCK_SIZE + 1000]);
    uint64_t gets = src.gets, seeks = src.seeks;
    r.seek(BLOCK_SIZE + 10);
    EXPECT_EQ(r.read(), data[BLOCK_SIZE + 10]);
    EXPECT_EQ(src.gets, gets);
    EXPECT_EQ(src.seeks, seeks);
    r.seek(5);
    EXPECT_EQ(r.block(), 0u);
    EXPECT_EQ(src.seeks, seeks + 1);
    EXPECT_EQ(r.read(), data[5]);
    // The end of the stream is a valid position to seek to; reading there is not.
    r.seek(200000);
    EXPECT_THROW(r.read(), Error);
}

TEST(LzReader, SeekToAMissingBlockFails) {
    auto data = lztest::wordText(1000, 4);
    MemBlockReader src(encode(data));
    LzReader r(src);
    r.open();
    try {
        r.seek(3 * BLOCK_SIZE + 7);
        FAIL();
    } catch (Error& e) {
        EXPECT_EQ(innerCode(e, {4201, 4200}), 4200);
        EXPECT_EQ(e.text, "Position in data not found: 00001234/3/7");
    }
}

// Blocks built field by field, for damaged streams.
MemBlock block(uint8_t flags, const std::vector<std::pair<uint32_t, int>>& fields) {
    MemBlockWriter w;
    w.setFlags(flags);
    for (auto [v, n] : fields)
        w.put(v, n);
    w.flushLast();
    return w.blocks[0];
}

struct Outcome {
    std::vector<uint8_t> bytes;
    std::string chain;
    int32_t inner = 0;
};

Outcome readUntilError(std::vector<MemBlock> blocks, std::optional<uint64_t> expected = {}) {
    MemBlockReader src(std::move(blocks));
    LzReader r(src);
    Outcome o;
    try {
        if (expected) r.setExpectedSize(*expected);
        r.open();
        for (;;)
            o.bytes.push_back(r.read());
    } catch (Error& e) {
        o.chain = e.chainText();
        const Error* cur = &e;
        while (cur->cause)
            cur = cur->cause.get();
        o.inner = cur->code;
    }
    return o;
}

TEST(LzReader, DamagedItemsFailAtTheirPositionAfterTheBytesBefore) {
    const uint8_t P = LAST_BLOCK | LZ_POINTERS;
    auto lit = [](uint8_t b) { return std::vector<std::pair<uint32_t, int>>{{0, 1}, {b, 8}}; };
    auto with = [](std::vector<std::pair<uint32_t, int>> a,
                   std::vector<std::pair<uint32_t, int>> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    auto three = with(with(lit('a'), lit('b')), lit('c'));
    // Distance code 112 is checked before any extra bit is needed.
    auto o = readUntilError({block(P, with(three, {{1, 1}, {112, 7}}))});
    EXPECT_EQ(o.bytes.size(), 3u);
    EXPECT_EQ(o.inner, 4300);
    // Length code 28.
    o = readUntilError({block(P, with(three, {{1, 1}, {3, 7}, {28, 5}}))});
    EXPECT_EQ(o.inner, 4301);
    // Distance 4 with 3 bytes decoded; distance 0; length 0.
    o = readUntilError({block(P, with(three, {{1, 1}, {4, 7}, {6, 5}, {0, 1}}))});
    EXPECT_EQ(o.inner, 4203);
    EXPECT_NE(o.chain.find("4204 LzReader.read: Uncompress failed: 00001234/0/3"),
              std::string::npos)
        << o.chain;
    o = readUntilError({block(P, with(three, {{1, 1}, {0, 7}, {6, 5}, {0, 1}}))});
    EXPECT_EQ(o.inner, 4203);
    o = readUntilError({block(P, with(three, {{1, 1}, {2, 7}, {0, 5}}))});
    EXPECT_EQ(o.inner, 4203);
    // A pointer cut short.
    o = readUntilError({block(P, with(three, {{1, 1}, {2, 7}, {6, 3}}))});
    EXPECT_EQ(o.inner, 4000);
    EXPECT_EQ(o.bytes.size(), 3u);
}

TEST(LzReader, BlockLongerThanTheWindowIsRejected) {
    // 65536 plain bytes are a whole block; one more is too many.
    MemBlock plain;
    plain.flags = LAST_BLOCK;
    plain.bytes.assign(BLOCK_SIZE + 1, 'x');
    auto o = readUntilError({plain});
    EXPECT_EQ(o.bytes.size(), BLOCK_SIZE);
    EXPECT_EQ(o.inner, 4203);
    // A literal and 257 pointers of 255 bytes fill the window exactly; a 258th runs past it.
    std::vector<std::pair<uint32_t, int>> f = {{0, 1}, {'y', 8}};
    for (int i = 0; i < 258; ++i)
        f.insert(f.end(), {{1, 1}, {1, 7}, {27, 5}, {63, 6}});
    o = readUntilError({block(LAST_BLOCK | LZ_POINTERS, f)});
    EXPECT_EQ(o.bytes.size(), BLOCK_SIZE);
    EXPECT_EQ(o.inner, 4203);
}

TEST(LzReader, BadTreeInALaterBlockFailsBeforeThatBlockCounts) {
    auto data = lztest::wordText(BLOCK_SIZE + 100, 2);
    auto blocks = encode(data);
    ASSERT_EQ(blocks.size(), 2u);
    // A tree that places leaf 5 twice.
    blocks[1] = block(LAST_BLOCK | LZ_LITERAL_CODE, {{0, 1}, {1, 1}, {5, 8}, {1, 1}, {5, 8}});
    auto o = readUntilError(blocks);
    EXPECT_EQ(o.bytes.size(), BLOCK_SIZE);
    EXPECT_EQ(o.inner, 4101);
    EXPECT_NE(o.chain.find("Uncompress failed: 00001234/0/65536"), std::string::npos) << o.chain;
}

TEST(LzReader, OneSymbolLiteralBlockNeedsTheStreamSize) {
    // Written elsewhere: flags without pointers, a one-leaf literal tree and no further bits.
    MemBlock repeat = block(LAST_BLOCK | LZ_LITERAL_CODE, {{1, 1}, {'z', 8}});
    auto o = readUntilError({repeat});
    EXPECT_TRUE(o.bytes.empty());
    EXPECT_EQ(o.inner, 4102);
    EXPECT_NE(o.chain.find("4204"), std::string::npos);

    o = readUntilError({repeat}, 3);
    EXPECT_EQ(o.bytes, std::vector<uint8_t>(3, 'z'));
    EXPECT_EQ(o.inner, 4202);

    // Any block but the last holds 65536 bytes.
    MemBlock full = block(LZ_LITERAL_CODE, {{1, 1}, {'y', 8}});
    o = readUntilError({full, repeat}, BLOCK_SIZE + 2);
    ASSERT_EQ(o.bytes.size(), BLOCK_SIZE + 2);
    EXPECT_EQ(o.bytes[BLOCK_SIZE - 1], 'y');
    EXPECT_EQ(o.bytes[BLOCK_SIZE], 'z');
}

TEST(LzReader, DamagedStreamsDecodeLikeTheItemByItemReader) {
    // Flip bits and cut blocks of real streams; the block decoder must stop at the same byte
    // with the same error as the plain item-by-item reading.
    std::vector<std::vector<uint8_t>> inputs = {lztest::wordText(70000, 1),
                                                lztest::alphabetText(3000, "ACGT", 2),
                                                lztest::periodic(5000, 13, 3)};
    lztest::Rng rng(77);
    int cases = 0;
    for (const auto& data : inputs) {
        auto good = encode(data);
        for (int round = 0; round < 150; ++round) {
            auto blocks = good;
            MemBlock& b = blocks[rng.below(static_cast<uint32_t>(blocks.size()))];
            if (b.bytes.empty()) continue;
            int kind = rng.below(3);
            if (kind == 0) {
                for (int k = 0; k < 3; ++k)
                    b.bytes[rng.below(b.bytes.size())] ^= 1 << rng.below(8);
            } else if (kind == 1) {
                b.bytes.resize(rng.below(b.bytes.size()));
                b.lastBits = 1 + rng.below(8);
            } else {
                b.flags ^= 1 << (1 + rng.below(4));
            }
            // The one-symbol literal block is decoded by length, not item by item.
            bool repeatBlock = false;
            for (auto& x : blocks)
                repeatBlock |= (x.flags & (LZ_POINTERS | LZ_LITERAL_CODE)) == LZ_LITERAL_CODE &&
                               !x.bytes.empty() && (x.bytes[0] & 1);
            if (repeatBlock) continue;
            MemBlockReader refSrc(blocks);
            RefDecodeResult want = refDecode(refSrc);
            Outcome got = readUntilError(blocks);
            ASSERT_EQ(got.inner, want.error) << got.chain;
            ASSERT_EQ(got.bytes, want.bytes);
            ++cases;
        }
    }
    EXPECT_GT(cases, 300);
}

}  // namespace
