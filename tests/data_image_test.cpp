#include "support/MemBase.h"

#include "archive/DataImage.h"
#include "archive/cfg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

namespace {

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> v;
    for (const auto& p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
    return std::vector<uint8_t>(v.begin() + from, v.begin() + to);
}

struct Match {
    bool found;
    uint32_t pos, start, end;
};

Match find(DataImage& image, const std::vector<uint8_t>& data) {
    Match m{false, 0xDEAD, 0, 0};
    m.found =
        image.findMatch(data.data(), static_cast<uint32_t>(data.size()), m.pos, m.start, m.end);
    return m;
}

TEST(DataImage, SectionSizeDoublesOnceTheIndexWouldPassItsMemory) {
    MemBase base({});
    DataImage below(base, 4194367, {});
    EXPECT_EQ(below.sectSize(), 64u);
    EXPECT_EQ(below.sectCount(), 65536u);
    DataImage at(base, 4194368, {});
    EXPECT_EQ(at.sectSize(), 128u);
    EXPECT_EQ(at.sectCount(), 32768u);
    DataImage huge(base, 4000000000u, {});
    EXPECT_EQ(huge.sectSize(), 65536u);
    EXPECT_EQ(huge.sectCount(), 61035u);
    EXPECT_EQ(base.starts, 0);  // nothing is read before buildIndex
}

TEST(DataImage, EqualContentMatchesWhole) {
    MemBase base(randomBytes(1024, 1));
    DataImage image(base, 1024, {});
    image.buildIndex();
    Match m = find(image, base.bytes);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 0u);
    EXPECT_EQ(m.start, 0u);
    EXPECT_EQ(m.end, 1024u);

    // The unindexed tail of a base is still reached by the byte-wise forward check.
    MemBase odd(randomBytes(1000, 2));
    DataImage oddImage(odd, 1000, {});
    oddImage.buildIndex();
    EXPECT_EQ(oddImage.sectCount(), 15u);
    m = find(oddImage, odd.bytes);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.end, 1000u);
}

TEST(DataImage, InsertionInTheMiddleSplitsIntoBeforeInsertedAndAfter) {
    MemBase base(randomBytes(1024, 3));
    std::vector<uint8_t> inserted(10, 0);
    inserted.back() = static_cast<uint8_t>(base.bytes[499] ^ 1);
    auto data = cat({slice(base.bytes, 0, 500), inserted, slice(base.bytes, 500, 1024)});
    DataImage image(base, 1024, {});
    image.buildIndex();

    Match m = find(image, data);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 0u);
    EXPECT_EQ(m.start, 0u);
    EXPECT_EQ(m.end, 500u);  // ends at the last equal byte

    auto rest = slice(data, 500, data.size());
    m = find(image, rest);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 10u);  // the inserted bytes, found by stretching back from section 8
    EXPECT_EQ(m.start, 500u);
    EXPECT_EQ(m.end, 1024u);
}

TEST(DataImage, BytesInsertedAtTheFrontNeverMakeTheBackwardCheckSeekBeforeTheBase) {
    MemBase base(randomBytes(1024, 4));
    auto data = cat({{1, 2, 3, 4, 5}, base.bytes});
    DataImage image(base, 1024, {});
    image.buildIndex();
    Match m = find(image, data);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 5u);
    EXPECT_EQ(m.start, 0u);
    EXPECT_EQ(m.end, 1024u);
    EXPECT_EQ(base.seeks, std::vector<uint32_t>{0});
}

TEST(DataImage, BackwardCheckLooksAtMostOneSectionLessOneByte) {
    MemBase base(randomBytes(1024, 5));
    auto data = base.bytes;
    data[0] ^= 0xFF;  // section 0 no longer matches; section 1 is found at 64
    DataImage image(base, 1024, {});
    image.buildIndex();
    Match m = find(image, data);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 1u);
    EXPECT_EQ(m.start, 1u);
    EXPECT_EQ(m.end, 1024u);
    ASSERT_EQ(base.seeks.size(), 2u);
    EXPECT_EQ(base.seeks[0], 1u);  // 64 - 63: byte 0 is not even looked at
    EXPECT_EQ(base.seeks[1], 64u);
}

TEST(DataImage, DataOfAtMostOneSectionNeverMatches) {
    MemBase base(randomBytes(1024, 6));
    DataImage image(base, 1024, {});
    image.buildIndex();
    Match m = find(image, slice(base.bytes, 0, 64));
    EXPECT_FALSE(m.found);
    EXPECT_EQ(m.pos, 0u);
    m = find(image, slice(base.bytes, 0, 65));
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.end, 65u);
    // Unrelated data: every byte but the last section is given up.
    m = find(image, randomBytes(1000, 7));
    EXPECT_FALSE(m.found);
    EXPECT_EQ(m.pos, 936u);
}

TEST(DataImage, BaseShorterThanASectionHasNoIndexAndNoMatch) {
    MemBase base(randomBytes(63, 8));
    DataImage image(base, 63, {});
    image.buildIndex();
    EXPECT_EQ(image.sectCount(), 0u);
    EXPECT_EQ(base.starts, 0);
    Match m = find(image, cat({base.bytes, base.bytes}));
    EXPECT_FALSE(m.found);
    EXPECT_EQ(m.pos, 126u - 64u);
}

TEST(DataImage, RepeatedSectionsMatchTheFirstLongestRun) {
    MemBase base(std::vector<uint8_t>(1024, 0));
    DataImage image(base, 1024, {});
    image.buildIndex();
    Match m = find(image, std::vector<uint8_t>(3000, 0));
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 0u);
    EXPECT_EQ(m.start, 0u);
    EXPECT_EQ(m.end, 1024u);
}

TEST(DataImage, FullWindowOfEqualDataFitsTheHashCache) {
    MemBase base(randomBytes(2 * DataImage::WINDOW, 9));
    DataImage image(base, 2 * DataImage::WINDOW, {});
    image.buildIndex();
    auto data = slice(base.bytes, 4096, 4096 + DataImage::WINDOW);
    Match m = find(image, data);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.pos, 0u);
    EXPECT_EQ(m.start, 4096u);
    EXPECT_EQ(m.end, 4096u + DataImage::WINDOW);
}

TEST(DataImage, ParametersOutsideTheWorkingRangeFallBackToDefaults) {
    MemBase base(randomBytes(1024, 10));
    auto params = [](int sect, int mem, int buf, int hash) {
        return DataImage::Params{sect, mem, buf, hash};
    };
    DataImage zero(base, 1024, params(0, 1048576, 1048576, 8));
    EXPECT_EQ(zero.sectSize(), 64u);
    DataImage negative(base, 1024, params(-5, -1, -1, -3));
    EXPECT_EQ(negative.sectSize(), 64u);
    EXPECT_EQ(negative.sectCount(), 16u);
    EXPECT_EQ(negative.hashCount(), 8u);
    EXPECT_EQ(negative.cacheCapacity(), 16384u);
    DataImage tooManyHashed(base, 1024, params(64, 1048576, 1048576, 65));
    EXPECT_EQ(tooManyHashed.hashCount(), 8u);
    DataImage smallSections(base, 1024, params(4, 1048576, 1048576, 8));
    EXPECT_EQ(smallSections.hashCount(), 4u);
    // A cache too small for the window would fail a verification in the search.
    DataImage smallCache(base, 1024, params(64, 1048576, 100, 8));
    EXPECT_EQ(smallCache.cacheCapacity(), 16384u);
    // No memory at all for the index: the sections grow until there are none, and the
    // search finds nothing rather than dividing by zero.
    DataImage noMemory(base, 1024, params(3, 0, 1048576, 2));
    EXPECT_EQ(noMemory.sectCount(), 0u);
    noMemory.buildIndex();
    EXPECT_FALSE(find(noMemory, base.bytes).found);

    // Smallest working values still find the whole match.
    DataImage tiny(base, 1024, params(1, 1048576, 1048576, 1));
    tiny.buildIndex();
    Match m = find(tiny, base.bytes);
    EXPECT_TRUE(m.found);
    EXPECT_EQ(m.start, 0u);
    EXPECT_EQ(m.end, 1024u);
}

TEST(DataImage, StoredSettingsOutsideTheWorkingRangeAreIgnored) {
    std::ofstream(storePath(), std::ios::binary | std::ios::trunc)
        << "DataImage.sectSize=0\nDataImage.maxMem=-5\nDataImage.maxBuf=3\n"
           "DataImage.hashCount=100\n";
    loadSettings();
    std::remove(storePath().c_str());
    DataImage::Params p = DataImage::configured();
    EXPECT_EQ(p.sectSize, 64);
    EXPECT_EQ(p.maxMem, 1048576);
    MemBase base(randomBytes(1024, 12));
    DataImage image(base, 1024);
    EXPECT_EQ(image.sectSize(), 64u);
    EXPECT_EQ(image.hashCount(), 8u);
    EXPECT_EQ(image.cacheCapacity(), 16384u);
    image.buildIndex();
    EXPECT_TRUE(find(image, base.bytes).found);
    findSetting("DataImage.maxBuf", Setting::INT, false)->_int = 1048576;
    findSetting("DataImage.hashCount", Setting::INT, false)->_int = 8;
}

TEST(DataImage, DamagedBaseErrorsPropagate) {
    MemBase base(randomBytes(100, 11));
    DataImage image(base, 1024, {});  // claims more than the base holds
    try {
        image.buildIndex();
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_STREQ(e.id, "LzReader.read.1");
    }
}

}  // namespace
