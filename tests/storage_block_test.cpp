#include "stg_test_util.h"
#include "support/TestDir.h"

#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReadBuffer.h"
#include "archive/storage/StgWriteBuffer.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <random>

namespace {

namespace fs = std::filesystem;

TEST(Crc32, MatchesBitwiseDefinitionForAnyLengthAndSplit) {
    EXPECT_EQ(crc32::of("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32::of("", 0), 0u);
    std::mt19937 rng(7);
    Bytes data(100);
    uint32_t bitwise = 0xFFFFFFFF;
    for (size_t n = 0; n < data.size(); ++n) {
        // The eight-byte steps and the byte-wise tail must agree with one bit at a time.
        EXPECT_EQ(crc32::of(data.data(), n), ~bitwise) << n;
        data[n] = static_cast<uint8_t>(rng());
        bitwise ^= data[n];
        for (int k = 0; k < 8; ++k)
            bitwise = (bitwise >> 1) ^ (0xEDB88320u & (0u - (bitwise & 1)));
    }
    for (size_t cut = 0; cut <= data.size(); cut += 7) {
        uint32_t s = crc32::update(crc32::init(), data.data(), cut);
        s = crc32::update(s, data.data() + cut, data.size() - cut);
        EXPECT_EQ(crc32::finalize(s), ~bitwise);
    }
}

// A content item of one block right after the reserved link: item header at 22, block at 32,
// data at 36. The file stays at path; its bytes are returned.
Bytes oneBlockItem(const std::string& path, const Bytes& data, uint32_t bits, uint8_t flags = 0) {
    StgFile f(path, 20, 10);
    f.open();
    StgWriteBuffer w(&f, stg::FILE_CONTENT);
    w.beginItem(f);
    w.setFlags(flags | stg::LAST_BLOCK);
    w.putBits(data.data(), bits);
    w.endItem(f);
    f.commit();
    return fileBytes(path);
}

ReadBlock readFirst(const std::string& path, uint32_t mode = stg::FILE_CONTENT) {
    StgFile f(path, 20, 10);
    f.open();
    return readAll(f, 22, mode)[0];
}

TEST(StgBlocks, EscapingGuardsTheItemMarkAndReadsBack) {
    TestDir d;
    struct Case {
        Bytes data, stored;
    } cases[] = {
        {{0x24, 0x24, 0x2F, 0x2F}, {0x24, 0x24, 0x2F, 0x5C, 0x2F}},
        {{0x24, 0x24, 0x2F, 0x5C}, {0x24, 0x24, 0x2F, 0x5C, 0x5C}},
        {{0x24, 0x24, 0x2F, 0x2F, 0x24, 0x24, 0x2F, 0x2F},
         {0x24, 0x24, 0x2F, 0x5C, 0x2F, 0x24, 0x24, 0x2F, 0x5C, 0x2F}},
        // The third dollar breaks the match and is not compared again with the first mark byte.
        {{0x24, 0x24, 0x24, 0x2F, 0x2F}, {0x24, 0x24, 0x24, 0x2F, 0x2F}},
        {{0x24, 0x24, 0x2F, 0x41, 0x2F}, {0x24, 0x24, 0x2F, 0x41, 0x2F}},
    };
    for (const Case& c : cases) {
        fs::remove(d / "a.trsm");
        Bytes file = oneBlockItem(d / "a.trsm", c.data, static_cast<uint32_t>(c.data.size() * 8));
        EXPECT_EQ(Bytes(file.begin() + 36, file.end() - 5), c.stored);
        EXPECT_EQ(readFirst(d / "a.trsm").data, c.data);
    }
    // Stored bytes that no writer makes: the mark itself, and an escape that ends the block.
    for (auto [stored, code] : {std::pair<Bytes, int>{{0x24, 0x24, 0x2F, 0x2F, 0x41}, 3200},
                                {{0x41, 0x24, 0x24, 0x2F, 0x5C}, 3201}}) {
        fs::remove(d / "a.trsm");
        Bytes file = oneBlockItem(d / "a.trsm", {0x41, 0x41, 0x41, 0x41, 0x41}, 40);
        std::copy(stored.begin(), stored.end(), file.begin() + 36);
        putFile(d / "a.trsm", file);
        EXPECT_EQ(errorCode([&] { readFirst(d / "a.trsm"); }), code);
    }
}

// getBytes hands out the bytes get() would, in runs: escapes and marks straddle every page
// boundary, the last byte keeps its valid bits, and a fault comes only after the bytes before it.
TEST(StgBlocks, BytesInRunsAreTheBytesOneByOne) {
    TestDir d;
    std::mt19937 rng(11);
    Bytes data(30000);
    const uint8_t pieces[] = {0x24, 0x2F, 0x5C, 0x41};
    for (auto& b : data)
        b = pieces[rng() % 4];
    const uint32_t bits = static_cast<uint32_t>(data.size() * 8 - 3);
    data.back() &= 0x1F;
    Bytes file = oneBlockItem(d / "a.trsm", data, bits);
    for (uint32_t chunk : {1u, 3u, 4096u, 100000u}) {
        StgFile f(d / "a.trsm", 20, 10);
        f.open();
        StgReadBuffer r(f, 22, stg::FILE_CONTENT | stg::CHECK_CRC);
        r.start();
        Bytes got(chunk);
        Bytes all;
        int valid = 0;
        while (uint32_t n = r.getBytes(got.data(), chunk, valid)) {
            all.insert(all.end(), got.begin(), got.begin() + n);
            EXPECT_EQ(valid, all.size() == data.size() ? 5 : 8) << chunk;
        }
        EXPECT_EQ(all, data) << chunk;
    }
    // The item mark stored in the data: every byte before it arrives, then 3200.
    size_t at = 36 + 5000;
    while (!(file[at - 1] == 0x41 && file[at] == 0x24 && file[at + 1] == 0x24 &&
             file[at + 2] == 0x2F && file[at + 3] != 0x5C))
        ++at;
    file[at + 3] = 0x2F;
    putFile(d / "a.trsm", file);
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    StgReadBuffer r(f, 22, stg::FILE_CONTENT);
    r.start();
    Bytes got(100000);
    int valid = 0;
    uint32_t before = 0;
    int code = errorCode([&] {
        while (uint32_t n = r.getBytes(got.data() + before, 100000 - before, valid))
            before += n;
    });
    EXPECT_EQ(code, 3200);
    ASSERT_GT(before, 3u);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + before, data.begin()));
    EXPECT_EQ(Bytes(got.begin() + before - 3, got.begin() + before), Bytes({0x24, 0x24, 0x2F}));
}

TEST(StgBlocks, OneBlockItemIsHeaderBlockAndCrc) {
    TestDir d;
    Bytes file = oneBlockItem(d / "a.trsm", {1, 2, 3, 0x7F}, 27, 0xA4);
    const uint32_t len = 4 + 4;
    EXPECT_EQ(file.size(), 22 + 10 + len + 5);
    // type 2, its own position 22
    EXPECT_EQ(Bytes(file.begin() + 22, file.begin() + 32),
              (Bytes{0x24, 0x24, 0x2F, 0x2F, 0x82, 0x96, 0x80, 0x80, 0x80, 0x80}));
    uint32_t h, crc;
    ASSERT_TRUE(stg::decodeGroup(file.data() + 32, 4, h));
    EXPECT_EQ(h, (5u << 25) | (len << 8) | 0xA5);  // 5 pad bits; the coder's flags, LAST_BLOCK
    ASSERT_TRUE(stg::decodeGroup(file.data() + 32 + len, 5, crc));
    EXPECT_EQ(crc, crc32::of(file.data() + 32, len));
    ReadBlock b = readFirst(d / "a.trsm", stg::FILE_CONTENT | stg::CHECK_CRC);
    EXPECT_EQ(b, (ReadBlock{{1, 2, 3, 0x7F}, 3, 0xA5}));
}

TEST(StgBlocks, IndexedContentSeeksAnyBlockWithAlignedReads) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    std::vector<TestBlock> blocks;
    std::mt19937 rng(3);
    for (int i = 0; i < 4; ++i) {
        Bytes data(i == 3 ? 100 : 65536);
        for (auto& x : data)
            x = static_cast<uint8_t>(rng());
        blocks.push_back(block(data, static_cast<uint8_t>(i << 1)));
    }
    uint64_t pos = writeContent(f, blocks);
    writeSequence(f, {block({1})});
    CallLogOs rec;
    StgReadBuffer r(f, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS);
    r.start();
    ASSERT_EQ(r.blockIndex().size(), 4u);
    for (uint32_t i : {2u, 0u, 3u, 1u}) {
        rec.log.clear();
        ASSERT_TRUE(r.seekBlock(i));
        EXPECT_EQ(r.blockPos(), r.blockIndex()[i]);
        EXPECT_EQ(drainBlock(r).data, blocks[i].data) << i;
        EXPECT_EQ(r.blockFlags(), (i << 1) | (i == 3 ? 1 : 0));
        // The first read ends at a page boundary, every later one is a whole aligned page.
        for (size_t k = 0; k < rec.log.size(); ++k) {
            unsigned long long off, n;
            ASSERT_EQ(std::sscanf(rec.log[k].c_str(), "pread %llu %llu", &off, &n), 2);
            if (k == 0)
                EXPECT_TRUE(n <= 4100 && (off + n >= f.committedSize() || (off + n) % 4096 == 0));
            else
                EXPECT_TRUE(off % 4096 == 0 && n <= 4096) << off << " " << n;
        }
    }
    EXPECT_FALSE(r.seekBlock(4));
    // A block length below 4 would keep the index walk in place.
    Bytes b = fileBytes(f.path());
    stg::encodeGroup(3u << 8, b.data() + r.blockIndex()[1], 4);
    f.close();
    putFile(d / "a.trsm", b);
    StgFile g(d / "a.trsm", 20, 10);
    g.open();
    EXPECT_EQ(errorCode([&] { readAll(g, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS); }), 3207);
}

TEST(StgBlocks, BlockOfMarksFillsBufferExactly) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    Bytes data;
    for (int i = 0; i < 65536 / 4; ++i)
        data.insert(data.end(), {0x24, 0x24, 0x2F, 0x2F});
    StgWriteBuffer w(&f, stg::FILE_CONTENT);
    w.beginItem(f);
    w.setFlags(stg::LAST_BLOCK);
    w.putBits(data.data(), 65536 * 8);
    w.endItem(f);
    EXPECT_EQ(w.itemEnd() - w.itemStart(), 10u + StgWriteBuffer::BUFFER_SIZE + 5);
    EXPECT_EQ(readAll(f, w.itemStart(), stg::FILE_CONTENT)[0].data, data);
}

// A record stream of two transactions over several chunks, and the framing positions in it.
Bytes twoTransactions() {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    Bytes big(5000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i % 251);
    writeSequence(f, {block(big), block({1, 2, 3})});
    writeContent(f, {block({9, 9})});
    writeSequence(f, {block({4, 5})});
    f.close();
    return fileBytes(d / "a.trsm");
}

// Reads the whole chain; 0 and the delivered bytes, or the error code.
int readChain(const std::string& path, Bytes* out = nullptr) {
    StgFile f(path, 20, 10);
    try {
        f.open();
        if (f.committedSize() == 12) return 0;
        for (const ReadBlock& b : readAll(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC))
            if (out) out->insert(out->end(), b.data.begin(), b.data.end());
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}

TEST(StgBlocks, DamagedFramingGivesItsMessage) {
    TestDir d;
    const Bytes good = twoTransactions();
    // Offsets: link 12, sequence header 22, first block 32 (5004 bytes + 4 header).
    auto damaged = [&](auto change) {
        Bytes b = good;
        change(b);
        putFile(d / "x.trsm", b);
        return readChain(d / "x.trsm");
    };
    auto setGroup = [](Bytes& b, size_t at, uint32_t v, int n) {
        stg::encodeGroup(v, b.data() + at, n);
    };
    EXPECT_EQ(damaged([&](Bytes& b) { setGroup(b, 17, 12, 5); }), 3203);        // link backwards
    EXPECT_EQ(damaged([&](Bytes& b) { setGroup(b, 17, 21, 5); }), 3203);        // link onto itself
    EXPECT_EQ(damaged([&](Bytes& b) { setGroup(b, 17, 1u << 30, 5); }), 3202);  // beyond end
    EXPECT_EQ(damaged([&](Bytes& b) { b[12] = 0x25; }), 3203);
    EXPECT_EQ(damaged([&](Bytes& b) { b[16] = 0x82; }), 3204);
    EXPECT_EQ(damaged([&](Bytes& b) { b[24] = 0x25; }), 3203);  // sequence header mark
    EXPECT_EQ(damaged([&](Bytes& b) { b[26] = 0x83; }), 3204);  // sequence header type
    EXPECT_EQ(damaged([&](Bytes& b) { b[19] = 0x00; }), 3205);  // link value
    EXPECT_EQ(damaged([&](Bytes& b) { b[34] = 0x00; }), 3209);  // block header
    for (uint32_t len = 0; len < 4; ++len)
        EXPECT_EQ(damaged([&](Bytes& b) { setGroup(b, 32, len << 8, 4); }), 3209) << len;
    // A length beyond the end of the file: a later chunk comes back short ...
    EXPECT_EQ(damaged([&](Bytes& b) { setGroup(b, 32, 100000u << 8, 4); }), 3211);
    // ... or the first one.
    EXPECT_EQ(damaged([&](Bytes& b) { b.resize(4200); }), 3211);
    EXPECT_EQ(damaged([&](Bytes& b) { b.resize(40); }), 3210);
    EXPECT_EQ(damaged([&](Bytes& b) { b.resize(34); }), 3208);
    // A data byte changed to form the item mark, in a chunk before the one that holds the CRC.
    EXPECT_EQ(damaged([&](Bytes& b) {
                  const uint8_t mark[] = {0x24, 0x24, 0x2F, 0x2F};
                  std::copy(mark, mark + 4, b.begin() + 40);
              }),
              3200);
    // The CRC of the first transaction's record stream.
    size_t crcAt = 32 + 5004 + 7;
    EXPECT_EQ(damaged([&](Bytes& b) { b[crcAt + 2] = 0x10; }), 3213);
    EXPECT_EQ(damaged([&](Bytes& b) { b[crcAt] ^= 0x01; }), 3214);
    // A file that goes on beyond its last transaction cannot be read to the end.
    EXPECT_EQ(damaged([&](Bytes& b) { b.insert(b.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); }), 3203);
    EXPECT_EQ(damaged([&](Bytes& b) { b.push_back(0x24); }), 3202);
}

TEST(StgBlocks, EveryTruncationAndFlippedByteIsCleanErrorOrSameData) {
    TestDir d;
    const Bytes good = twoTransactions();
    Bytes want;
    putFile(d / "x.trsm", good);
    ASSERT_EQ(readChain(d / "x.trsm", &want), 0);
    ASSERT_EQ(want.size(), 5000u + 3 + 2);
    // Every cut: an error, except the cuts at a transaction's end, which read its prefix.
    size_t firstEnd = 0, cleanCuts = 0;
    for (size_t cut = 0; cut < good.size(); ++cut) {
        putFile(d / "x.trsm", Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
        Bytes got;
        int code = readChain(d / "x.trsm", &got);
        if (code == 0) {
            ++cleanCuts;
            if (cut > 12) firstEnd = cut;
            EXPECT_TRUE(cut <= 12 || got == Bytes(want.begin(), want.begin() + 5003)) << cut;
        } else {
            EXPECT_TRUE(code >= 3000 && code <= 3214) << cut << ": " << code;
        }
    }
    EXPECT_EQ(cleanCuts, 3u);  // the empty file, the bare header, the first transaction
    EXPECT_EQ(firstEnd, 32u + 5004 + 7 + 5);
    int harmless = 0;
    for (size_t i = 0; i < good.size(); ++i) {
        Bytes b = good;
        b[i] ^= static_cast<uint8_t>(1 << (i % 8));
        putFile(d / "x.trsm", b);
        Bytes got;
        int code = readChain(d / "x.trsm", &got);
        EXPECT_TRUE(code == 0 ? got == want : code >= 3000 && code <= 3214) << i << ": " << code;
        harmless += code == 0;
    }
    // Only the unchecked bytes may pass: the version digits that still parse, the value of the
    // record streams' headers, and the content item that the chain does not read.
    EXPECT_LT(harmless, 40);
}

}  // namespace
