// The compressor: Huffman codes, the encoder with one and two threads, the block reader.
#include "support/RecordingPresenter.h"
#include "tests/support/LzTestData.h"

#include "archive/codec/HCode.h"
#include "archive/codec/LzEncoder.h"
#include "archive/codec/LzFormat.h"
#include "archive/codec/LzMatchFinder.h"
#include "archive/codec/LzReader.h"
#include "archive/codec/MemBitBuffer.h"

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <utility>

namespace {

using namespace lz;
using lztest::encode;
using Fields = std::vector<std::pair<uint32_t, int>>;

TEST(HCode, CodesDeeperThanThirtyBitsRoundTripAndBadTreesAreRejected) {
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
    for (int s : syms)
        ASSERT_EQ(back.read(), s);
    EXPECT_EQ(codeOf([&] { back.read(); }), 4000);  // the stream ends inside a code

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
        EXPECT_EQ(codeOf([&] { c.readTree(); }), code) << fields.size() << " fields";
    }
}

// Packs (value, bit count) fields least significant bit first, as the block's bits are.
MemBlock pack(uint8_t flags, const Fields& fields) {
    MemBlockWriter w;
    w.setFlags(flags);
    for (auto [v, n] : fields)
        w.put(v, n);
    w.flushLast();
    return w.blocks[0];
}

// byByte: the hand-over between the threads then happens inside put(uint8_t).
std::vector<MemBlock> encodeWith(LzEncoder& enc, MemBlockWriter& out, std::span<const uint8_t> data,
                                 bool byByte = false) {
    out.blocks.clear();
    enc.reset();
    if (!byByte) enc.put(data);
    for (size_t i = 0; byByte && i < data.size(); ++i)
        enc.put(data[i]);
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

// Two threads write the blocks of one; the same encoders go through every stream after reset().
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
        EXPECT_TRUE(blocks == encodeWith(one, out1, data)) << what;
        EXPECT_TRUE(what != "literal runs" || (blocks[0].flags & blocks[1].flags & LZ_POINTERS));
        MemBlockReader src(blocks);
        LzReader r(src);
        r.open();
        std::vector<uint8_t> back(data.size());
        r.read(std::span(back));
        EXPECT_TRUE(back == data) << what;
        EXPECT_TRUE(r.blockExhausted()) << what;
        EXPECT_EQ(codeOf([&] { r.read(); }), 4204) << what;
    }
    auto data = std::span(mixed).first(3 * B + 17);
    EXPECT_TRUE(encodeWith(two, out2, data, true) == encodeWith(one, out1, data)) << "by byte";
}

// The finder against the plain chain walk, block by block with either number of hash bits, on
// the shapes that end searches early: runs, periods, the 255-byte cap, ties, the block's end.
TEST(LzMatchFinder, CutsEveryBlockAsTheFullChainWalkDoes) {
    auto text = lztest::wordText(150000, 1);
    auto noise = lztest::randomBytes(5000, 4);
    text.insert(text.begin() + 10000, noise.begin(), noise.end());
    text.insert(text.end(), text.begin(), text.begin() + 20000);
    auto runs = lztest::alphabetText(70000, "ab", 8);
    for (size_t i = 0; i + 40 < runs.size(); i += 97)
        std::fill_n(runs.begin() + i, 1 + i % 41, 'a');
    // Copies of one 600-byte piece, each with a byte changed a little further in: every
    // search meets several candidates of equal length and others cut at 255.
    auto piece = lztest::randomBytes(600, 5), ties = piece;
    for (size_t k = 1; ties.size() < 60000; ++k) {
        ties.insert(ties.end(), piece.begin(), piece.end());
        ties[ties.size() - 600 + (k * 37) % 600] ^= 1;
    }
    // The piece, the piece with byte k changed and, after a literal, the piece again: its
    // search meets the first copy over the whole look-ahead and the second over k bytes.
    std::vector<uint8_t> nearCap;
    for (size_t k : {200, 253, 254, 255, 256})
        for (int copy = 0; copy < 3; ++copy) {
            nearCap.insert(nearCap.end(), piece.begin(), piece.end());
            nearCap[nearCap.size() - 600 + k] ^= copy == 1;
            if (copy == 1) nearCap.push_back(static_cast<uint8_t>(k));
        }
    std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {"text, noise and a long repeat", text},
        {"random bytes", lztest::randomBytes(70000, 2)},
        {"four letters", lztest::alphabetText(70000, "ACGT", 5)},
        {"shared hash bits", lztest::alphabetText(30000, {"\x01\x21\x41\x61\x81\xA1", 6}, 7)},
        {"sorted numbers", lztest::numberList(66000, 1000000)},
        {"runs of every length inside two letters", runs},
        {"ties and the cap", ties},
        {"one byte short of the cap", nearCap},
        {"one run", std::vector<uint8_t>(BLOCK_SIZE + 1, 'q')},
    };
    for (size_t p : {2, 3, 5, 17, 255, 256, 300})
        inputs.emplace_back("period " + std::to_string(p), lztest::periodic(70000, p, p));
    lztest::Rng r(9);
    for (int i = 0; i < 200; ++i)
        inputs.emplace_back("short", lztest::alphabetText(r.below(600), i % 2 ? "ab" : "abc", i));
    for (int hashBits : {16, 15}) {
        LzMatchFinder finder(hashBits);
        for (const auto& [what, data] : inputs) {
            // Blocks end at every distance from a repeat's end, down to fewer than 4 bytes left.
            for (size_t at = 0, n = 0; at < data.size(); at += n) {
                n = std::min<size_t>(data.size() - at,
                                     at ? 255 + at % 7 : BLOCK_SIZE - data.size() % 2 * 250);
                std::vector<lztest::Item> items;
                struct {
                    std::vector<lztest::Item>& v;
                    void literal(uint8_t b) { v.push_back({0, 1, b}); }
                    void pointer(uint32_t d, uint32_t l) { v.push_back({d, l, 0}); }
                } sink{items};
                finder.parse(data.data() + at, static_cast<uint32_t>(n), sink);
                auto want = lztest::chainWalkItems(data.data() + at, static_cast<uint32_t>(n));
                ASSERT_TRUE(items == want) << what << ", " << hashBits << " bits, at " << at;
            }
        }
    }
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
        for (const Error* c = &e; c; c = c->cause.get())
            o.inner = c->code;
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
    // Back inside the decoded block the window is reread and nothing is fetched.
    r.seek(BLOCK_SIZE + 1000);
    EXPECT_EQ(r.read(), data[BLOCK_SIZE + 1000]);
    uint64_t gets = src.gets, seeks = src.seeks;
    r.seek(BLOCK_SIZE + 10);
    EXPECT_EQ(r.read(), data[BLOCK_SIZE + 10]);
    EXPECT_TRUE(src.gets == gets && src.seeks == seeks);
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
    // 65536 plain bytes are a whole block; one more is too many.
    const MemBlock plain{LAST_BLOCK, std::vector<uint8_t>(BLOCK_SIZE + 1, 'x')};
    Fields full = {{0, 1}, {'y', 8}};  // a literal and 257 pointers of 255 fill the window
    for (int i = 0; i < 258; ++i)
        full.insert(full.end(), {{1, 1}, {1, 7}, {27, 5}, {63, 6}});
    auto good = encode(lztest::wordText(BLOCK_SIZE + 100, 2));
    ASSERT_EQ(good.size(), 2u);
    // A later block whose literal tree places leaf 5 twice.
    auto badTree = good;
    badTree[1] = pack(LAST_BLOCK | LZ_LITERAL_CODE, {{0, 1}, {1, 1}, {5, 8}, {1, 1}, {5, 8}});
    // A one-leaf literal code alone holds the stream's size, or 65536 when not the last block.
    MemBlock repeat = pack(LAST_BLOCK | LZ_LITERAL_CODE, {{1, 1}, {'z', 8}});
    MemBlock fullRepeat = pack(LZ_LITERAL_CODE, {{1, 1}, {'y', 8}});
    const char* at3 = "Uncompress failed: 00001234/0/3";
    // Blocks, expected size -> bytes read before the failure, its innermost code, text in its
    // chain.
    const std::tuple<std::vector<MemBlock>, std::optional<uint64_t>, size_t, int32_t, const char*>
        cases[] = {
            // Distance code 112 is checked before any extra bit is needed.
            {{pack(P, after({{1, 1}, {112, 7}}))}, {}, 3, 4300, ""},
            {{pack(P, after({{1, 1}, {3, 7}, {28, 5}}))}, {}, 3, 4301, ""},
            // Distance 4 with 3 bytes decoded; distance 0; length 0; a pointer cut short.
            {{pack(P, after({{1, 1}, {4, 7}, {6, 5}, {0, 1}}))}, {}, 3, 4203, at3},
            {{pack(P, after({{1, 1}, {0, 7}, {6, 5}, {0, 1}}))}, {}, 3, 4203, ""},
            {{pack(P, after({{1, 1}, {2, 7}, {0, 5}}))}, {}, 3, 4203, ""},
            {{pack(P, after({{1, 1}, {2, 7}, {6, 3}}))}, {}, 3, 4000, ""},
            {{plain}, {}, BLOCK_SIZE, 4203, ""},
            {{pack(P, full)}, {}, BLOCK_SIZE, 4203, ""},
            {badTree, {}, BLOCK_SIZE, 4101, "Uncompress failed: 00001234/0/65536"},
            {{repeat}, {}, 0, 4102, "4204"},
            {{repeat}, 3, 3, 4202, ""},
            {{fullRepeat, repeat}, BLOCK_SIZE + 2, BLOCK_SIZE + 2, 4202, ""},
        };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [blocks, size, bytes, inner, where] = cases[i];
        Outcome o = readUntilError(blocks, size);
        EXPECT_EQ(o.bytes.size(), bytes) << "case " << i;
        EXPECT_EQ(o.inner, inner) << "case " << i << ": " << o.chain;
        EXPECT_NE(o.chain.find(where), std::string::npos) << "case " << i << ": " << o.chain;
    }
    Outcome o = readUntilError({fullRepeat, repeat}, BLOCK_SIZE + 2);
    EXPECT_TRUE(o.bytes[BLOCK_SIZE - 1] == 'y' && o.bytes[BLOCK_SIZE] == 'z');
}

}  // namespace
