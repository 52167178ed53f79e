#include "stg_test_util.h"
#include "support/TestDir.h"

#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

namespace {

// One transaction whose record stream is the given bytes.
void saveRecords(StgFile& f, const Bytes& records) {
    StgWriter w(nullptr, stg::TXN_SEQUENCE);
    w.begin();
    w.writeBytes(records);
    w.finish();
    w.writeTo(f);
    f.commit();
}

Bytes readRecords(StgFile& f) {
    StgReader r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    Bytes out;
    while (!r.eof())
        out.push_back(r.readByte());
    return out;
}

TEST(StgValues, NumbersAndWordsHaveTheirByteFormats) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    const int32_t numbers[] = {0, 1, 63, 64, 127, 128, -1, -64, -65, INT_MAX, INT_MIN};
    {
        StgWriter w(nullptr, stg::TXN_SEQUENCE);
        w.begin();
        for (int32_t n : numbers)
            w.writeNumber(n);
        w.writeWord(0x12345678);
        w.finish();
        w.writeTo(f);
        f.commit();
    }
    Bytes want = {0x80, 0x81, 0xBF, 0x40, 0x80, 0x7F, 0x80, 0x00, 0x81,
                  0xC0, 0xFF, 0x40, 0xC0, 0x7F, 0x7F, 0x7F, 0x7F, 0x87,
                  0x7F, 0x7F, 0x7F, 0x7F, 0xC7, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(readRecords(f), want);
    StgReader r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    for (int32_t n : numbers)
        EXPECT_EQ(r.readNumber(), n);
    EXPECT_EQ(r.readWord(), 0x12345678u);
    EXPECT_TRUE(r.eof());
    EXPECT_EQ(errorCode([&] { r.readByte(); }), 4204);  // nothing beyond the end

    // At most four leading bytes: the fifth ends the number with 3100.
    saveRecords(f, {0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00});
    StgReader bad(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    bad.start();
    Bytes skip(want.size());
    bad.readBytes(skip);
    EXPECT_EQ(bad.readNumber(), 0);
    EXPECT_EQ(errorCode([&] { bad.readNumber(); }), 3100);
}

TEST(StgValues, EofOnlyAfterLastTransactionsLastByte) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    std::mt19937 rng(5);
    Bytes first(65537), second(65536);
    for (auto& x : first)
        x = static_cast<uint8_t>(rng() % 4);  // compressible, pointers
    for (auto& x : second)
        x = static_cast<uint8_t>(rng());
    saveRecords(f, first);
    saveRecords(f, {});  // a transaction with an empty record stream
    saveRecords(f, second);
    // A final record held entirely in a pointer copy: the last 200 bytes repeat earlier ones.
    Bytes third(300, 'x');
    for (int i = 0; i < 100; ++i)
        third[i] = static_cast<uint8_t>('a' + i % 26);
    std::copy(third.begin(), third.begin() + 100, third.begin() + 200);
    saveRecords(f, third);
    f.close();
    f.open();
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    all.insert(all.end(), third.begin(), third.end());
    StgReader r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_FALSE(r.eof()) << i;
        ASSERT_EQ(r.readByte(), all[i]) << i;
    }
    EXPECT_TRUE(r.eof());
}

TEST(StgValues, ContentItemReadsBackAndSeeksByBlock) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    Bytes content(200000);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>((i * i) >> 7);
    StgWriter w(&f, stg::FILE_CONTENT);
    w.begin();
    w.writeBytes(content);
    w.finish();
    saveRecords(f, {1});
    EXPECT_EQ(w.itemStart(), 22u);
    StgReader r(f, w.itemStart(), stg::FILE_CONTENT | stg::INDEX_BLOCKS);
    r.start();
    EXPECT_EQ(r.readBuffer().blockIndex().size(), 4u);
    for (uint32_t p : {150000u, 3u, 65536u, 199999u}) {
        r.lzReader().seek(p);
        EXPECT_EQ(r.readByte(), content[p]) << p;
    }
    EXPECT_TRUE(r.eof());
}

}  // namespace
