#include "tests/support/LzTestData.h"

#include "archive/codec/LzEncoder.h"
#include "archive/codec/LzFormat.h"
#include "archive/codec/LzReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

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

// --- two threads -----------------------------------------------------------------------------

std::vector<MemBlock> encodeWith(LzEncoder& enc, MemBlockWriter& out,
                                 std::span<const uint8_t> data) {
    out.blocks.clear();
    enc.reset();
    enc.put(data);
    enc.finish();
    return out.blocks;
}

void expectSameBlocks(const std::vector<MemBlock>& a, const std::vector<MemBlock>& b,
                      const std::string& what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].flags, b[i].flags) << what << ", block " << i;
        EXPECT_EQ(a[i].lastBits, b[i].lastBits) << what << ", block " << i;
        EXPECT_TRUE(a[i].bytes == b[i].bytes) << what << ", block " << i;
    }
}

// Blocks of different kinds in turn (prose, random bytes stored plain, two letters, a run, a
// literal code alone), cut off at sizes that do not fall on block ends.
std::vector<uint8_t> mixedBlocks(size_t n) {
    std::vector<uint8_t> v;
    for (uint64_t k = 0; v.size() < n; ++k) {
        std::vector<uint8_t> part;
        switch (k % 5) {
            case 0:
                part = lztest::wordText(90000, k);
                break;
            case 1:
                part = lztest::randomBytes(70000, k);
                break;
            case 2:
                part = lztest::alphabetText(50000, "01", k);
                break;
            case 3:
                part.assign(40000, 'z');
                break;
            default:
                part = lztest::alphabetText(80000, "abcdefghijklmnop", k);
                break;
        }
        v.insert(v.end(), part.begin(), part.end());
    }
    v.resize(n);
    return v;
}

TEST(LzEncoderThreads, TwoThreadsWriteTheBlocksOfOne) {
    MemBlockWriter out1, out2;
    LzEncoder one(out1, false), two(out2);
    const size_t B = BLOCK_SIZE;
    auto mixed = mixedBlocks(7 * B + 999);
    // The same two encoders go through every stream: reset() must leave nothing behind.
    for (size_t n :
         {size_t{0}, size_t{1}, B - 1, B, B + 1, 2 * B, 2 * B + 1, 3 * B, 4 * B - 7, 7 * B + 999}) {
        auto data = std::span(mixed).first(n);
        expectSameBlocks(encodeWith(two, out2, data), encodeWith(one, out1, data),
                         "mixed, " + std::to_string(n) + " bytes");
    }
    for (auto& [what, data] :
         {std::pair{"two letters", lztest::alphabetText(5 * B, "01", 1)},
          std::pair{"four letters", lztest::alphabetText(3 * B + 5, "ACGT", 2)},
          std::pair{"sorted numbers", lztest::numberList(4 * B, 1000)}})
        expectSameBlocks(encodeWith(two, out2, data), encodeWith(one, out1, data), what);

    // Byte by byte, the hand-over happens inside put(uint8_t).
    auto data = std::span(mixed).first(3 * B + 17);
    out2.blocks.clear();
    two.reset();
    for (uint8_t b : data)
        two.put(b);
    two.finish();
    expectSameBlocks(out2.blocks, encodeWith(one, out1, data), "byte by byte");
}

TEST(LzEncoderThreads, LongLiteralRunsBetweenPointersRoundTrip) {
    // Runs of literals of 255 and more between pointers are listed as items of their own;
    // around that length, blocks must decode to their bytes and agree with one thread.
    // Each block: prose, then noise of each run length followed by a repeat of the prose.
    auto text = lztest::wordText(20000, 4);
    std::vector<uint8_t> data;
    uint64_t seed = 10;
    while (data.size() < 2 * BLOCK_SIZE) {
        data.insert(data.end(), text.begin(), text.end());
        for (size_t run : {1, 254, 255, 256, 509, 510, 511, 765, 1000}) {
            auto noise = lztest::randomBytes(run, seed++);
            data.insert(data.end(), noise.begin(), noise.end());
            data.insert(data.end(), text.begin() + 100 * run % 15000,
                        text.begin() + 100 * run % 15000 + 300);
        }
    }
    MemBlockWriter out1, out2;
    LzEncoder one(out1, false), two(out2);
    auto blocks = encodeWith(two, out2, data);
    expectSameBlocks(blocks, encodeWith(one, out1, data), "literal runs");
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_TRUE(blocks[0].flags & blocks[1].flags & LZ_POINTERS);
    MemBlockReader src(blocks);
    LzReader r(src);
    r.open();
    std::vector<uint8_t> back(data.size());
    r.read(std::span(back));
    EXPECT_TRUE(back == data);
}

TEST(LzEncoderThreads, ResetAndDestructionInMidStreamJoinTheWorker) {
    auto a = mixedBlocks(4 * BLOCK_SIZE + 100);
    auto b = lztest::wordText(2 * BLOCK_SIZE + 5, 6);
    MemBlockWriter ref;
    LzEncoder one(ref, false);
    auto refA = encodeWith(one, ref, a);
    auto refB = encodeWith(one, ref, b);
    auto isPrefixOf = [](const std::vector<MemBlock>& part, const std::vector<MemBlock>& whole) {
        std::vector<MemBlock> head(whole.begin(),
                                   whole.begin() + std::min(part.size(), whole.size()));
        expectSameBlocks(part, head, "blocks written before the stream was dropped");
    };
    // Stopped at every stage of the hand-over: a block with the worker, one with each side.
    const size_t B = BLOCK_SIZE;
    for (size_t cut : {B + 1, 2 * B + 1, 3 * B + 1, a.size()}) {
        MemBlockWriter out;
        {
            LzEncoder enc(out);
            enc.put(std::span(a).first(cut));
            isPrefixOf(out.blocks, refA);
            enc.reset();
            size_t before = out.blocks.size();
            enc.put(b);
            enc.finish();
            std::vector<MemBlock> tail(out.blocks.begin() + static_cast<ptrdiff_t>(before),
                                       out.blocks.end());
            expectSameBlocks(tail, refB, "the stream after reset()");
            out.blocks.clear();
            enc.reset();
            enc.put(std::span(a).first(cut));
        }
        isPrefixOf(out.blocks, refA);
    }
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

TEST(LzEncoderThreads, OutputFailureAtAnyBlockLeavesAsWithOneThread) {
    auto data = mixedBlocks(7 * BLOCK_SIZE - 1000);
    MemBlockWriter ref;
    LzEncoder refEnc(ref, false);
    auto all = encodeWith(refEnc, ref, data);
    ASSERT_EQ(all.size(), 7u);
    for (bool twoThreads : {false, true})
        for (size_t k = 0; k < 7; ++k) {
            std::string what = std::string(twoThreads ? "two threads" : "one thread") +
                               ", failing at block " + std::to_string(k);
            FailingBlockWriter out;
            LzEncoder enc(out, twoThreads);
            out.failAt = k;
            try {
                enc.put(data);
                enc.finish();
                ADD_FAILURE() << what << ": no error";
            } catch (const Error& e) {
                EXPECT_EQ(e.code, systemError(ENOSPC).code) << what;
            }
            expectSameBlocks(
                out.written.blocks,
                std::vector<MemBlock>(all.begin(), all.begin() + static_cast<ptrdiff_t>(k)), what);
            // The encoder is usable again after reset().
            out.failAt = std::numeric_limits<size_t>::max();
            out.written.blocks.clear();
            enc.reset();
            enc.put(data);
            enc.finish();
            expectSameBlocks(out.written.blocks, all, what + ", then again");
        }
}

TEST(LzEncoderThreads, StateStaysUnderOneMebibyte) {
    MemBlockWriter out;
    EXPECT_LT(LzEncoder(out).stateBytes(), size_t{1} << 20);
    EXPECT_LT(LzEncoder(out, false).stateBytes(), LzEncoder(out).stateBytes());
}

}  // namespace
