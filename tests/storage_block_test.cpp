#include "stg_test_util.h"
#include "support/FaultOs.h"
#include "support/TestDir.h"

#include "archive/storage/Crc32.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriter.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <random>

namespace {

// A content item of one block right after the reserved link, data at 36; the file's bytes.
Bytes oneBlockItem(const std::string& path, const Bytes& data, uint32_t bits, uint8_t flags = 0) {
    std::filesystem::remove(path);
    StgFile f(path, 20, 10);
    f.open();
    writeContent(f, {{data, bits, flags}});
    f.commit();
    return fileBytes(path);
}

ReadBlock readFirst(const std::string& path, uint32_t mode = stg::FILE_CONTENT | stg::CHECK_CRC) {
    StgFile f(path, 20, 10);
    f.open();
    return readAll(f, 22, mode)[0];
}

TEST(StgBlocks, OneBlockItemKeepsItsBitsFlagsAndEscapedData) {
    TestDir d;
    Bytes file = oneBlockItem(d / "a.trsm", {1, 2, 3, 0x7F}, 27, 0xA4);
    ASSERT_EQ(file.size(), 22u + 10 + 8 + 5);  // the bytes themselves are the golden test's
    EXPECT_EQ(readFirst(d / "a.trsm"), (ReadBlock{{1, 2, 3, 0x7F}, 3, 0xA5}));

    // The mark's last byte and the escape itself are escaped after "$$/"; a third dollar
    // breaks the match and is not compared again with the first mark byte.
    const std::pair<Bytes, Bytes> cases[] = {
        {{0x24, 0x24, 0x2F, 0x2F}, {0x24, 0x24, 0x2F, 0x5C, 0x2F}},
        {{0x24, 0x24, 0x2F, 0x5C}, {0x24, 0x24, 0x2F, 0x5C, 0x5C}},
        {{0x24, 0x24, 0x2F, 0x2F, 0x24, 0x24, 0x2F, 0x2F},
         {0x24, 0x24, 0x2F, 0x5C, 0x2F, 0x24, 0x24, 0x2F, 0x5C, 0x2F}},
        {{0x24, 0x24, 0x24, 0x2F, 0x2F}, {0x24, 0x24, 0x24, 0x2F, 0x2F}},
        {{0x24, 0x24, 0x2F, 0x41, 0x2F}, {0x24, 0x24, 0x2F, 0x41, 0x2F}},
    };
    for (const auto& [data, stored] : cases) {
        file = oneBlockItem(d / "a.trsm", data, static_cast<uint32_t>(data.size() * 8));
        EXPECT_EQ(Bytes(file.begin() + 36, file.end() - 5), stored);
        EXPECT_EQ(readFirst(d / "a.trsm").data, data);
    }
    // An escape that ends the block: no writer makes it.
    file = oneBlockItem(d / "a.trsm", {0x41, 0x24, 0x24, 0x2F, 0x41}, 40);
    file[40] = 0x5C;
    putFile(d / "a.trsm", file);
    EXPECT_EQ(errorCode([&] { readFirst(d / "a.trsm", stg::FILE_CONTENT); }), 3201);
}

// Escapes and marks straddle every page boundary; a fault comes only after the bytes before it.
TEST(StgBlocks, BytesInRunsAreTheBytesOneByOne) {
    TestDir d;
    std::mt19937 rng(11);
    Bytes data(30000);
    const uint8_t pieces[] = {0x24, 0x2F, 0x5C, 0x41};
    for (auto& b : data)
        b = pieces[rng() % 4];
    data.back() &= 0x1F;
    Bytes file = oneBlockItem(d / "a.trsm", data, static_cast<uint32_t>(data.size() * 8 - 3));
    // The item mark planted in the data after 5000 bytes for the last round.
    size_t at = 36 + 5000;
    while (!(file[at - 1] == 0x41 && file[at] == 0x24 && file[at + 1] == 0x24 &&
             file[at + 2] == 0x2F && file[at + 3] != 0x5C))
        ++at;
    for (uint32_t chunk : {1u, 4096u, 100000u, 0u}) {
        if (chunk == 0) {
            file[at + 3] = 0x2F;
            putFile(d / "a.trsm", file);
        }
        StgFile f(d / "a.trsm", 20, 10);
        f.open();
        StgReadBuffer r(f, 22, stg::FILE_CONTENT | stg::CHECK_CRC);
        r.start();
        uint32_t n = chunk ? chunk : 100000;
        Bytes got(n), all;
        int valid = 0;
        int code = errorCode([&] {
            while (uint32_t k = r.getBytes(got.data(), n, valid)) {
                all.insert(all.end(), got.begin(), got.begin() + k);
                EXPECT_EQ(valid, all.size() == data.size() ? 5 : 8) << chunk;
            }
        });
        EXPECT_EQ(code, chunk == 0 ? 3200 : 0);
        EXPECT_TRUE(code != 0 || all == data) << chunk;
        ASSERT_GT(all.size(), 3u);
        EXPECT_TRUE(std::equal(all.begin(), all.end(), data.begin()));
        EXPECT_TRUE(code == 0 || Bytes(all.end() - 3, all.end()) == Bytes({0x24, 0x24, 0x2F}));
    }
}

TEST(StgBlocks, IndexedContentSeeksAnyBlockReadingEachPageOnce) {
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
    StgReadBuffer r(f, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS);
    r.start();
    ASSERT_EQ(r.blockIndex().size(), 4u);
    for (uint32_t i : {2u, 0u, 3u, 1u}) {
        FaultOs calls;
        ASSERT_TRUE(r.seekBlock(i));
        EXPECT_EQ(drainBlock(r).data, blocks[i].data) << i;
        EXPECT_EQ(r.blockFlags(), (i << 1) | (i == 3 ? 1 : 0));
        EXPECT_LE(calls.count(FaultOs::Call::Pread), 18) << i;  // page by page, nothing twice
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

    // A block of nothing but marks fills the write buffer to its last byte.
    Bytes marks;
    for (int i = 0; i < 65536 / 4; ++i)
        marks.insert(marks.end(), {0x24, 0x24, 0x2F, 0x2F});
    StgWriteBuffer w(&g, stg::FILE_CONTENT);
    w.beginItem(g);
    putBlocks(w, {block(marks)});
    w.endItem(g);
    EXPECT_EQ(w.itemEnd() - w.itemStart(), 10u + StgWriteBuffer::BUFFER_SIZE + 5);
    EXPECT_EQ(readAll(g, w.itemStart(), stg::FILE_CONTENT)[0].data, marks);
}

// A record stream of two transactions over several chunks, with a content item between.
// Offsets: link 12, sequence header 22, first block 32 (5004 bytes with its header).
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
    return errorCode([&] {
        StgFile f(path, 20, 10);
        f.open();
        if (f.committedSize() == 12) return;
        for (const ReadBlock& b : readAll(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC))
            if (out) out->insert(out->end(), b.data.begin(), b.data.end());
    });
}

TEST(StgBlocks, DamagedFramingGivesItsMessage) {
    TestDir d;
    const Bytes good = twoTransactions();
    auto group = [](size_t at, uint32_t v, int n) {
        return [=](Bytes& b) { stg::encodeGroup(v, b.data() + at, n); };
    };
    auto set = [](size_t at, uint8_t v) { return [=](Bytes& b) { b[at] = v; }; };
    const size_t crcAt = 32 + 5004 + 7;  // the CRC of the first transaction's record stream
    const std::pair<std::function<void(Bytes&)>, int> cases[] = {
        {group(17, 12, 5), 3203},        // link backwards
        {group(17, 21, 5), 3203},        // link onto itself
        {group(17, 1u << 30, 5), 3202},  // beyond the end
        {set(12, 0x25), 3203},           // link mark, type and value
        {set(16, 0x82), 3204},
        {set(19, 0x00), 3205},
        {set(24, 0x25), 3203},  // sequence header mark and type
        {set(26, 0x83), 3204},
        {set(34, 0x00), 3209},  // block header
        {group(32, 3u << 8, 4), 3209},
        {group(32, 100000u << 8, 4), 3211},  // a length beyond the file's end
        {[](Bytes& b) { b.resize(4200); }, 3211},
        {[](Bytes& b) { b.resize(40); }, 3210},
        {[](Bytes& b) { b.resize(34); }, 3208},
        // The item mark in the data, in a chunk before the one that holds the CRC.
        {[](Bytes& b) {
             std::fill_n(b.begin() + 40, 2, 0x24), std::fill_n(b.begin() + 42, 2, 0x2F);
         },
         3200},
        {set(crcAt + 2, 0x10), 3213},
        {[=](Bytes& b) { b[crcAt] ^= 0x01; }, 3214},
        // A file that goes on beyond its last transaction cannot be read to the end.
        {[](Bytes& b) { b.insert(b.end(), 10, 0); }, 3203},
        {[](Bytes& b) { b.push_back(0x24); }, 3202},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Bytes b = good;
        cases[i].first(b);
        putFile(d / "x.trsm", b);
        EXPECT_EQ(readChain(d / "x.trsm"), cases[i].second) << "case " << i;
    }
}

TEST(StgBlocks, EveryTruncationAndFlippedByteIsCleanErrorOrSameData) {
    TestDir d;
    const Bytes good = twoTransactions();
    Bytes want;
    putFile(d / "x.trsm", good);
    ASSERT_EQ(readChain(d / "x.trsm", &want), 0);
    ASSERT_EQ(want.size(), 5000u + 3 + 2);
    // Every cut: an error, except the cuts at a transaction's end, which read its prefix.
    std::vector<size_t> cleanCuts;
    for (size_t cut = 0; cut < good.size(); ++cut) {
        putFile(d / "x.trsm", Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
        Bytes got;
        int code = readChain(d / "x.trsm", &got);
        if (code == 0) cleanCuts.push_back(cut);
        EXPECT_TRUE(code == 0 ? cut <= 12 || got == Bytes(want.begin(), want.begin() + 5003)
                              : code >= 3000 && code <= 3214)
            << cut << ": " << code;
    }
    // the empty file, the bare header, the first transaction
    EXPECT_EQ(cleanCuts, (std::vector<size_t>{0, 12, 32 + 5004 + 7 + 5}));
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

// --- values through the compressor ----------------------------------------------------------

void saveRecords(StgFile& f, const std::function<void(StgWriter&)>& write) {
    StgWriter w(nullptr, stg::TXN_SEQUENCE);
    w.begin();
    write(w);
    w.finish();
    w.writeTo(f);
    f.commit();
}

TEST(StgValues, RecordStreamsReadBackAcrossTransactionsUpToTheLastByte) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    const int32_t numbers[] = {0, 1, 63, 64, 127, 128, -1, -64, -65, INT_MAX, INT_MIN};
    saveRecords(f, [&](StgWriter& w) {
        for (int32_t n : numbers)
            w.writeNumber(n);
        w.writeWord(0x12345678);
    });
    // Then: pointers over two blocks, an empty record stream, random bytes stored plain, a
    // number with a fifth leading byte, and a last record held entirely in a pointer copy (its
    // last 100 bytes repeat earlier ones).
    std::mt19937 rng(5);
    Bytes first(65537), second(65536), third(300, 'x');
    for (auto& x : first)
        x = static_cast<uint8_t>(rng() % 4);
    for (auto& x : second)
        x = static_cast<uint8_t>(rng());
    for (int i = 0; i < 100; ++i)
        third[i] = third[200 + i] = static_cast<uint8_t>('a' + i % 26);
    const Bytes tooLong = {0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (const Bytes& b : std::vector<Bytes>{first, {}, second, tooLong, third})
        saveRecords(f, [&](StgWriter& w) { w.writeBytes(b); });
    f.close();
    f.open();
    StgReader r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    for (int32_t n : numbers)
        EXPECT_EQ(r.readNumber(), n);
    EXPECT_EQ(r.readWord(), 0x12345678u);
    auto readAndCompare = [&](const Bytes& want) {
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_FALSE(r.eof()) << i;
            ASSERT_EQ(r.readByte(), want[i]) << i;
        }
    };
    readAndCompare(first);
    readAndCompare(second);
    EXPECT_EQ(r.readNumber(), 0);
    EXPECT_EQ(errorCode([&] { r.readNumber(); }), 3100);
    readAndCompare(third);
    EXPECT_TRUE(r.eof());
    EXPECT_EQ(errorCode([&] { r.readByte(); }), 4204);  // nothing beyond the end
}

}  // namespace
