#include "stg_test_util.h"
#include "tests/support/LzTestData.h"

#include "archive/codec/LzEncoder.h"
#include "archive/codec/LzFormat.h"
#include "archive/codec/LzReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

namespace {

using namespace lz;
using lztest::encode;
using Fields = std::vector<std::pair<uint32_t, int>>;

// Packs (value, bit count) fields least significant bit first, as the block's bits are.
MemBlock pack(uint8_t flags, const Fields& fields) {
    MemBlockWriter w;
    w.setFlags(flags);
    for (auto [v, n] : fields)
        w.put(v, n);
    w.flushLast();
    return w.blocks[0];
}

void expectSameBlocks(const std::vector<MemBlock>& a, const std::vector<MemBlock>& b,
                      const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_TRUE(a[i].flags == b[i].flags && a[i].lastBits == b[i].lastBits &&
                    a[i].bytes == b[i].bytes)
            << what << ", block " << i;
    }
}

TEST(LzEncoder, SmallInputsGiveTheirExactBits) {
    // "aaaaaaaaaa": three literals (nothing is indexed before the third byte), then distance 3,
    // length 7 under a one-symbol literal code. "abcabcabcabc": plain literals, then distance 3,
    // length 9 (code 10, extra bits 01).
    const std::tuple<std::string, uint8_t, Fields> cases[] = {
        {"", LAST_BLOCK, {}},
        {"aaaaaaaaaa",
         LAST_BLOCK | LZ_POINTERS | LZ_LITERAL_CODE,
         {{1, 1}, {'a', 8}, {0, 3}, {1, 1}, {3, 7}, {7, 5}, {1, 1}}},
        {"abcabcabcabc",
         LAST_BLOCK | LZ_POINTERS,
         {{0, 1}, {'a', 8}, {0, 1}, {'b', 8}, {0, 1}, {'c', 8}, {1, 1}, {3, 7}, {10, 5}, {1, 2}}},
    };
    for (const auto& [text, flags, fields] : cases)
        expectSameBlocks(encode(lztest::bytes(text)), {pack(flags, fields)}, text);
    // 16 letters 25 times each, shuffled: only a balanced literal code of 4-bit codes pays.
    std::vector<uint8_t> data;
    for (int i = 0; i < 400; ++i)
        data.push_back(static_cast<uint8_t>('a' + i % 16));
    lztest::Rng r(3);
    for (size_t i = data.size() - 1; i > 0; --i)
        std::swap(data[i], data[r.below(static_cast<uint32_t>(i + 1))]);
    auto blocks = encode(data);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].flags, LAST_BLOCK | LZ_LITERAL_CODE);
    EXPECT_EQ(blocks[0].bitCount(), 16u * 9 + 15 + 400 * 4);
}

std::vector<MemBlock> encodeWith(LzEncoder& enc, MemBlockWriter& out,
                                 std::span<const uint8_t> data) {
    out.blocks.clear();
    enc.reset();
    enc.put(data);
    enc.finish();
    return out.blocks;
}

// Prose, random bytes stored plain, two letters, a run and a literal code alone in turn.
std::vector<uint8_t> mixedBlocks(size_t n) {
    std::vector<uint8_t> v;
    for (uint64_t k = 0; v.size() < n; ++k) {
        std::vector<uint8_t> part;
        if (k % 5 == 0) part = lztest::wordText(90000, k);
        if (k % 5 == 1) part = lztest::randomBytes(70000, k);
        if (k % 5 == 2) part = lztest::alphabetText(50000, "01", k);
        if (k % 5 == 3) part.assign(40000, 'z');
        if (k % 5 == 4) part = lztest::alphabetText(80000, "abcdefghijklmnop", k);
        v.insert(v.end(), part.begin(), part.end());
    }
    v.resize(n);
    return v;
}

// Every data class decodes to its bytes and the stream's end; two threads write the blocks of
// one, and the same two encoders go through every stream, so reset() must leave nothing behind.
TEST(LzEncoderThreads, EveryDataClassRoundTripsAndTwoThreadsWriteTheBlocksOfOne) {
    MemBlockWriter out1, out2;
    LzEncoder one(out1, false), two(out2);
    const size_t B = BLOCK_SIZE;
    auto mixed = mixedBlocks(7 * B + 999);
    // Runs of 255 literals and more between pointers: prose, noise of each run length, a repeat.
    auto text = lztest::wordText(20000, 4);
    std::vector<uint8_t> runs;
    for (uint64_t seed = 10; runs.size() < 2 * B;) {
        runs.insert(runs.end(), text.begin(), text.end());
        for (size_t run : {1, 254, 255, 256, 509, 510, 511, 765, 1000}) {
            auto noise = lztest::randomBytes(run, seed++);
            runs.insert(runs.end(), noise.begin(), noise.end());
            runs.insert(runs.end(), text.begin() + 100, text.begin() + 400);
        }
    }
    std::vector<uint8_t> edge(B + 300, 'q');  // a run across the block end
    edge[B - 5] = 'r';
    std::vector<std::pair<std::string, std::vector<uint8_t>>> streams = {
        {"two letters", lztest::alphabetText(5 * B, "01", 1)},
        {"sorted numbers", lztest::numberList(4 * B, 1000)},
        {"literal runs", runs},
        {"four letters", lztest::alphabetText(100000, "ACGT", 3)},
        // Bytes that share their low 5 bits fall into the same chains without matching.
        {"shared hash bits", lztest::alphabetText(30000, {"\x01\x21\x41\x61\x81\xA1", 6}, 7)},
        {"run across the block end", edge},
        {"period 256", lztest::periodic(140000, 256, 5)}};
    for (size_t p : {2, 7, 300})
        streams.emplace_back("period " + std::to_string(p), lztest::periodic(66000, p, p));
    for (size_t n : {size_t{0}, size_t{1}, B - 1, B, B + 1, 3 * B, 7 * B + 999})
        streams.emplace_back("mixed, " + std::to_string(n) + " bytes",
                             std::vector<uint8_t>(mixed.begin(), mixed.begin() + n));
    for (const auto& [what, data] : streams) {
        auto blocks = encodeWith(two, out2, data);
        expectSameBlocks(blocks, encodeWith(one, out1, data), what);
        EXPECT_TRUE(what != "literal runs" || (blocks[0].flags & blocks[1].flags & LZ_POINTERS));
        MemBlockReader src(blocks);
        LzReader r(src);
        r.open();
        std::vector<uint8_t> back(data.size());
        r.read(std::span(back));
        EXPECT_TRUE(back == data) << what;
        EXPECT_TRUE(r.blockExhausted()) << what;
        EXPECT_EQ(errorCode([&] { r.read(); }), 4204) << what;
    }
    // Byte by byte, the hand-over happens inside put(uint8_t).
    auto data = std::span(mixed).first(3 * B + 17);
    out2.blocks.clear();
    two.reset();
    for (uint8_t b : data)
        two.put(b);
    two.finish();
    expectSameBlocks(out2.blocks, encodeWith(one, out1, data), "byte by byte");
}

// Passes blocks to memory until block failAt, whose bits fail as a full disk would.
class FailingBlockWriter final : public BlockWriter {
  public:
    MemBlockWriter written;
    size_t failAt = std::numeric_limits<size_t>::max();

    void setFlags(uint8_t flags) override { written.setFlags(flags); }
    void putByte(uint8_t byte) override { written.putByte(byte); }
    void putLast(uint8_t byte, int validBits) override { written.putLast(byte, validBits); }
    void putBits(const uint8_t* data, uint32_t bitCount) override {
        if (written.blocks.size() == failAt) throw systemError(ENOSPC);
        written.putBits(data, bitCount);
    }
};

// An output failure at each block, a whole stream after reset(), then a stream dropped by the
// encoder's destruction: with either number of threads, the blocks of one thread up to there.
TEST(LzEncoderThreads, OutputFailureResetAndDestructionLeaveAsWithOneThread) {
    auto data = mixedBlocks(5 * BLOCK_SIZE - 1000);
    MemBlockWriter ref;
    LzEncoder refEnc(ref, false);
    auto all = encodeWith(refEnc, ref, data);
    ASSERT_EQ(all.size(), 5u);
    auto expectPrefix = [&](const std::vector<MemBlock>& part, const std::string& what) {
        ASSERT_LE(part.size(), all.size()) << what;
        expectSameBlocks(part, {all.begin(), all.begin() + static_cast<ptrdiff_t>(part.size())},
                         what);
    };
    for (bool twoThreads : {false, true})
        for (size_t k = 0; k < 5; ++k) {
            std::string what =
                std::to_string(twoThreads + 1) + " threads, block " + std::to_string(k);
            FailingBlockWriter out;
            {
                LzEncoder enc(out, twoThreads);
                out.failAt = k;
                EXPECT_EQ(errorCode([&] {
                              enc.put(data);
                              enc.finish();
                          }),
                          systemError(ENOSPC).code)
                    << what;
                EXPECT_EQ(out.written.blocks.size(), k) << what;
                expectPrefix(out.written.blocks, what);
                out.failAt = std::numeric_limits<size_t>::max();
                expectSameBlocks(encodeWith(enc, out.written, data), all, what + ", then again");
                out.written.blocks.clear();
                enc.reset();
                enc.put(std::span(data).first(k * BLOCK_SIZE + 1));
            }
            expectPrefix(out.written.blocks, what + ", dropped");
        }
}

}  // namespace
