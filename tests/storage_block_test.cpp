#include "stg_test_util.h"
#include "support/TestDir.h"

#include "archive/Crc32.h"
#include "archive/StgFile.h"
#include "archive/StgItem.h"
#include "archive/StgReadBuffer.h"
#include "archive/StgWriteBuffer.h"
#include "archive/msg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A new file each time: rewriting one in place through truncation makes the file system flush
// it on close, which costs a disk write per case.
void putFile(const std::string& path, const Bytes& b) {
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

int errorCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}

uint32_t bitwiseCrc(const Bytes& b) {
    uint32_t c = 0xFFFFFFFF;
    for (uint8_t x : b) {
        c ^= x;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

TEST(Crc32, MatchesStandardValuesAndAnySplit) {
    EXPECT_EQ(crc32::of("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32::of("", 0), 0u);
    std::mt19937 rng(7);
    Bytes data(1000);
    for (auto& x : data)
        x = static_cast<uint8_t>(rng());
    for (size_t n : {1u, 7u, 8u, 9u, 15u, 16u, 17u, 999u, 1000u}) {
        Bytes part(data.begin(), data.begin() + static_cast<long>(n));
        uint32_t whole = crc32::of(part.data(), n);
        EXPECT_EQ(whole, bitwiseCrc(part)) << n;
        for (size_t cut = 0; cut <= n; cut += 3) {
            uint32_t s = crc32::update(crc32::init(), part.data(), cut);
            s = crc32::update(s, part.data() + cut, n - cut);
            EXPECT_EQ(crc32::finalize(s), whole);
        }
    }
}

struct Item {
    Bytes file;
    uint64_t start, end;
};

// A content item with one block holding data, standing alone after a reserved link.
Item oneBlockItem(const Bytes& data, uint32_t bits = 0, uint8_t flags = 0) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    StgWriteBuffer w(&f, stg::FILE_CONTENT);
    w.beginItem(f);
    w.setFlags(flags | stg::LAST_BLOCK);
    w.putBits(data.data(), bits ? bits : static_cast<uint32_t>(data.size() * 8));
    w.endItem(f);
    f.commit();
    f.close();
    return {fileBytes(d / "a.trsm"), w.itemStart(), w.itemEnd()};
}

Bytes blockData(const Item& it) {
    // file header (12), link placeholder (10), item header (10), block header (4), data, CRC (5)
    return Bytes(it.file.begin() + 36, it.file.end() - 5);
}

TEST(StgBlocks, EscapingGuardsTheItemMarkAndReadsBack) {
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
        Item it = oneBlockItem(c.data);
        EXPECT_EQ(blockData(it), c.stored);
        TestDir d;
        putFile(d / "x.trsm", it.file);
        StgFile f(d / "x.trsm", 20, 10);
        f.open();
        EXPECT_EQ(readAll(f, 22, stg::FILE_CONTENT)[0].data, c.data);
    }
}

TEST(StgBlocks, StoredMarkOrTrailingEscapeIsInvalidData) {
    for (auto [stored, code] : {std::pair<Bytes, int>{{0x24, 0x24, 0x2F, 0x2F, 0x41}, 3200},
                                {{0x41, 0x24, 0x24, 0x2F, 0x5C}, 3201}}) {
        Item it = oneBlockItem({0x41, 0x41, 0x41, 0x41, 0x41});
        std::copy(stored.begin(), stored.end(), it.file.begin() + 36);
        TestDir d;
        putFile(d / "x.trsm", it.file);
        StgFile f(d / "x.trsm", 20, 10);
        f.open();
        EXPECT_EQ(errorCode([&] { readAll(f, 22, stg::FILE_CONTENT); }), code);
    }
}

TEST(StgBlocks, OneBlockItemIsHeaderBlockAndCrc) {
    Bytes data = {1, 2, 3, 0x7F};
    Item it = oneBlockItem(data, 27, 0xA4);
    uint32_t len = 4 + 4;
    EXPECT_EQ(it.end - it.start, 15u + len);
    Bytes header(it.file.begin() + 22, it.file.begin() + 32);
    // type 2, its own position 22
    EXPECT_EQ(header, (Bytes{0x24, 0x24, 0x2F, 0x2F, 0x82, 0x96, 0x80, 0x80, 0x80, 0x80}));
    uint32_t h;
    ASSERT_TRUE(stg::decodeGroup(it.file.data() + 32, 4, h));
    EXPECT_EQ(h & 0xFF, 0xA5u);  // the coder's flags kept, LAST_BLOCK added
    EXPECT_EQ((h >> 8) & 0x1FFFF, len);
    EXPECT_EQ(h >> 25, 5u);  // 27 bits: 5 pad bits in the last byte
    uint32_t crc;
    ASSERT_TRUE(stg::decodeGroup(it.file.data() + 32 + len, 5, crc));
    EXPECT_EQ(crc, crc32::of(it.file.data() + 32, len));

    TestDir d;
    putFile(d / "x.trsm", it.file);
    StgFile f(d / "x.trsm", 20, 10);
    f.open();
    ReadBlock b = readAll(f, 22, stg::FILE_CONTENT | stg::CHECK_CRC)[0];
    EXPECT_EQ(b.data, data);
    EXPECT_EQ(b.lastBits, 3);
    EXPECT_EQ(b.flags, 0xA5);
}

TEST(StgBlocks, FirstCommitWithoutContentStartsWithLinkToRecordStream) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    writeSequence(f, {block({0x10, 0x20})});
    f.close();
    Bytes b = fileBytes(d / "a.trsm");
    EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + 32),
              (Bytes{0x24, 0x24, 0x2F, 0x2F, 0x80, 0x96, 0x80, 0x80, 0x80, 0x80,  //
                     0x24, 0x24, 0x2F, 0x2F, 0x81, 0x96, 0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(b.size(), 32u + 4 + 2 + 5);
}

TEST(StgBlocks, RecordStreamReaderWalksEveryTransaction) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    writeContent(f, {block({0xC0})});
    writeSequence(f, {block({1, 2}), block({3})});
    writeContent(f, {block({0xC1})});
    writeSequence(f, {block({4}, 0x02)});
    f.close();
    f.open();
    StgReadBuffer r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    std::vector<Bytes> seen;
    std::vector<bool> ends;
    do {
        seen.push_back(drainBlock(r).data);
        ends.push_back(r.atEnd());
    } while (r.next());
    EXPECT_EQ(seen, (std::vector<Bytes>{{1, 2}, {3}, {4}}));
    EXPECT_EQ(ends, (std::vector<bool>{false, false, true}));
    EXPECT_TRUE(r.exhausted());
    EXPECT_EQ(r.blockFlags(), 0x03);
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
            EXPECT_LE(n, 4100u);
            if (k == 0) {
                EXPECT_TRUE(off + n >= f.committedSize() || (off + n) % 4096 == 0) << off;
            } else {
                EXPECT_EQ(off % 4096, 0u);
                EXPECT_LE(n, 4096u);
            }
        }
    }
    EXPECT_FALSE(r.seekBlock(4));
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

TEST(StgBlocks, ChangedDataFailsCrcOnlyWhereChecked) {
    TestDir d;
    {
        StgFile f(d / "a.trsm", 20, 10);
        f.open();
        writeContent(f, {block({5, 6, 7})});
        writeSequence(f, {block({1, 2, 3})});
        f.close();
    }
    Bytes b = fileBytes(d / "a.trsm");
    // content: link 12, header 22, block 32..38, CRC 39..43; sequence header 44, block 54
    b[36] ^= 0x01;
    b[59] ^= 0x01;
    putFile(d / "a.trsm", b);
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    EXPECT_EQ(readAll(f, 22, stg::FILE_CONTENT)[0].data, (Bytes{4, 6, 7}));
    StgReadBuffer r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    EXPECT_EQ(errorCode([&] { r.start(); }), 3214);  // before any byte is delivered
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
    // A length beyond the end of the file: the first chunk comes back short.
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

TEST(StgBlocks, BlockIndexRejectsShortBlockLength) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    uint64_t pos = writeContent(f, {block({1}), block({2}), block({3})});
    f.commit();
    f.close();
    Bytes b = fileBytes(d / "a.trsm");
    // second block: item header 22..31, first block 32..36, second at 37
    stg::encodeGroup(2u << 8, b.data() + 37, 4);
    putFile(d / "a.trsm", b);
    StgFile g(d / "a.trsm", 20, 10);
    g.open();
    EXPECT_EQ(errorCode([&] { readAll(g, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS); }), 3207);
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
    int detected = 0, harmless = 0;
    for (size_t i = 0; i < good.size(); ++i) {
        Bytes b = good;
        b[i] ^= static_cast<uint8_t>(1 << (i % 8));
        putFile(d / "x.trsm", b);
        Bytes got;
        int code = readChain(d / "x.trsm", &got);
        if (code == 0) {
            ++harmless;
            EXPECT_EQ(got, want) << i;
        } else {
            ++detected;
            EXPECT_TRUE(code >= 3000 && code <= 3214) << code;
        }
    }
    // Only the unchecked bytes may pass: the version digits that still parse, the value of the
    // record streams' headers, and the content item that the chain does not read.
    EXPECT_LT(harmless, 40);
    std::printf("bit flips: %d detected, %d harmless\n", detected, harmless);
}

}  // namespace
