#include "tests/support/LzTestData.h"

#include "archive/codec/LzReader.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace lz;
using lztest::encode;
using Fields = std::vector<std::pair<uint32_t, int>>;

MemBlock block(uint8_t flags, const Fields& fields) {
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

// Reads byte by byte until the reader fails (at the latest past the end, with 4202).
Outcome readUntilError(std::vector<MemBlock> blocks, std::optional<uint64_t> expected = {},
                       uint64_t seekTo = 0) {
    MemBlockReader src(std::move(blocks));
    LzReader r(src);
    Outcome o;
    try {
        if (expected) r.setExpectedSize(*expected);
        r.open();
        if (seekTo) r.seek(seekTo);
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

TEST(LzReader, SeekMatchesSequentialReadingAndRereadsOnlyWhatItMust) {
    auto data = lztest::wordText(300000, 9);
    MemBlockReader src(encode(data));
    LzReader r(src);
    r.open();
    lztest::Rng rng(1);
    for (int i = 0; i < 300; ++i) {
        uint32_t p = i % 10 == 0 ? (i / 10 % 5) * BLOCK_SIZE + (i % 3) : rng.below(300000);
        r.seek(p);
        uint32_t n = std::min<uint32_t>(rng.below(70000), 300000 - p);
        std::vector<uint8_t> got(n);
        r.read(std::span(got));
        ASSERT_TRUE(std::equal(got.begin(), got.end(), data.begin() + p)) << p << " " << n;
    }
    // Back inside the decoded block the window is reread and nothing is fetched; elsewhere the
    // block is decoded again from its start.
    r.seek(BLOCK_SIZE + 1000);
    EXPECT_EQ(r.read(), data[BLOCK_SIZE + 1000]);
    uint64_t gets = src.gets, seeks = src.seeks;
    r.seek(BLOCK_SIZE + 10);
    EXPECT_EQ(r.read(), data[BLOCK_SIZE + 10]);
    EXPECT_TRUE(src.gets == gets && src.seeks == seeks);
    r.seek(5);
    EXPECT_EQ(src.seeks, seeks + 1);
    EXPECT_EQ(r.read(), data[5]);
    r.seek(300000);  // the end is a position, reading there is not
    EXPECT_THROW(r.read(), Error);
    Outcome o = readUntilError(encode(data), {}, 5 * BLOCK_SIZE + 7);
    EXPECT_EQ(o.inner, 4200);
    EXPECT_NE(o.chain.find("Position in data not found: 00001234/5/7"), std::string::npos);
}

TEST(LzReader, DamagedBlocksFailAtTheirPositionAfterTheBytesBefore) {
    const uint8_t P = LAST_BLOCK | LZ_POINTERS;
    const Fields abc = {{0, 1}, {'a', 8}, {0, 1}, {'b', 8}, {0, 1}, {'c', 8}};
    auto after = [&](Fields f) {
        f.insert(f.begin(), abc.begin(), abc.end());
        return f;
    };
    MemBlock plain;  // 65536 plain bytes are a whole block; one more is too many
    plain.flags = LAST_BLOCK;
    plain.bytes.assign(BLOCK_SIZE + 1, 'x');
    Fields full = {{0, 1}, {'y', 8}};  // a literal and 257 pointers of 255 fill the window
    for (int i = 0; i < 258; ++i)
        full.insert(full.end(), {{1, 1}, {1, 7}, {27, 5}, {63, 6}});
    auto good = encode(lztest::wordText(BLOCK_SIZE + 100, 2));
    ASSERT_EQ(good.size(), 2u);
    // A later block whose literal tree places leaf 5 twice.
    auto badTree = good;
    badTree[1] = block(LAST_BLOCK | LZ_LITERAL_CODE, {{0, 1}, {1, 1}, {5, 8}, {1, 1}, {5, 8}});
    // Written elsewhere: a one-leaf literal code without pointers holds as many bytes as the
    // stream's size says; any block but the last holds 65536.
    MemBlock repeat = block(LAST_BLOCK | LZ_LITERAL_CODE, {{1, 1}, {'z', 8}});
    MemBlock fullRepeat = block(LZ_LITERAL_CODE, {{1, 1}, {'y', 8}});
    struct Case {
        std::vector<MemBlock> blocks;
        std::optional<uint64_t> size;
        size_t bytes;
        int32_t inner;
        const char* where;
    } cases[] = {
        // Distance code 112 is checked before any extra bit is needed.
        {{block(P, after({{1, 1}, {112, 7}}))}, {}, 3, 4300, ""},
        {{block(P, after({{1, 1}, {3, 7}, {28, 5}}))}, {}, 3, 4301, ""},
        // Distance 4 with 3 bytes decoded; distance 0; length 0; a pointer cut short.
        {{block(P, after({{1, 1}, {4, 7}, {6, 5}, {0, 1}}))},
         {},
         3,
         4203,
         "Uncompress failed: 00001234/0/3"},
        {{block(P, after({{1, 1}, {0, 7}, {6, 5}, {0, 1}}))}, {}, 3, 4203, ""},
        {{block(P, after({{1, 1}, {2, 7}, {0, 5}}))}, {}, 3, 4203, ""},
        {{block(P, after({{1, 1}, {2, 7}, {6, 3}}))}, {}, 3, 4000, ""},
        {{plain}, {}, BLOCK_SIZE, 4203, ""},
        {{block(P, full)}, {}, BLOCK_SIZE, 4203, ""},
        {badTree, {}, BLOCK_SIZE, 4101, "Uncompress failed: 00001234/0/65536"},
        {{repeat}, {}, 0, 4102, "4204"},
        {{repeat}, 3, 3, 4202, ""},
        {{fullRepeat, repeat}, BLOCK_SIZE + 2, BLOCK_SIZE + 2, 4202, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        Outcome o = readUntilError(c.blocks, c.size);
        EXPECT_EQ(o.bytes.size(), c.bytes) << "case " << i;
        EXPECT_EQ(o.inner, c.inner) << "case " << i << ": " << o.chain;
        EXPECT_NE(o.chain.find(c.where), std::string::npos) << "case " << i << ": " << o.chain;
    }
    Outcome o = readUntilError({fullRepeat, repeat}, BLOCK_SIZE + 2);
    EXPECT_TRUE(o.bytes[BLOCK_SIZE - 1] == 'y' && o.bytes[BLOCK_SIZE] == 'z');
}

}  // namespace
