#include "support/MemBase.h"

#include "archive/delta/DataImage.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slice(const Bytes& v, size_t from, size_t to) {
    return Bytes(v.begin() + from, v.begin() + to);
}

struct Match {
    bool found;
    uint32_t pos, start, end;
    bool operator==(const Match&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Match& m) {
    return o << m.found << " pos " << m.pos << " [" << m.start << ", " << m.end << ")";
}

Match find(DataImage& image, const Bytes& data) {
    Match m{false, 0xDEAD, 0, 0};
    m.found =
        image.findMatch(data.data(), static_cast<uint32_t>(data.size()), m.pos, m.start, m.end);
    if (!m.found) m.start = m.end = 0;
    return m;
}

TEST(DataImage, SectionSizeDoublesOnceTheIndexWouldPassItsMemory) {
    MemBase base({});
    EXPECT_EQ(DataImage(base, 4194367).sectSize(), 64u);
    EXPECT_EQ(DataImage(base, 4194368).sectSize(), 128u);
    EXPECT_EQ(base.starts, 0);  // nothing is read before buildIndex
}

TEST(DataImage, MatchesAtTheBoundariesOfDataAndBase) {
    MemBase base(randomBytes(1024, 1));
    DataImage image(base, 1024);
    image.buildIndex();
    EXPECT_EQ(find(image, base.bytes), (Match{true, 0, 0, 1024}));
    EXPECT_EQ(find(image, slice(base.bytes, 0, 64)), (Match{false, 0, 0, 0}));
    EXPECT_EQ(find(image, slice(base.bytes, 0, 65)), (Match{true, 0, 0, 65}));
    EXPECT_EQ(find(image, randomBytes(1000, 2)), (Match{false, 936, 0, 0}));

    // Inserted in the middle: the match before ends at the last equal byte; the next search
    // reaches back from section 8 over the rest of section 7 to the inserted bytes.
    Bytes inserted = base.bytes;
    inserted.insert(inserted.begin() + 500, 10, static_cast<uint8_t>(base.bytes[499] ^ 1));
    EXPECT_EQ(find(image, inserted), (Match{true, 0, 0, 500}));
    EXPECT_EQ(find(image, slice(inserted, 500, inserted.size())), (Match{true, 10, 500, 1024}));

    // The unindexed tail of a base is still reached by the byte-wise forward check.
    MemBase odd(randomBytes(1000, 3));
    DataImage oddImage(odd, 1000);
    oddImage.buildIndex();
    EXPECT_EQ(find(oddImage, odd.bytes), (Match{true, 0, 0, 1000}));
}

TEST(DataImage, BackwardCheckStopsAtTheBaseStartAndAtOneSectionLessOneByte) {
    MemBase base(randomBytes(1024, 4));
    DataImage image(base, 1024);
    image.buildIndex();
    Bytes front = base.bytes;
    front.insert(front.begin(), {1, 2, 3, 4, 5});
    EXPECT_EQ(find(image, front), (Match{true, 5, 0, 1024}));
    EXPECT_EQ(base.seeks, std::vector<uint32_t>{0});  // no backward check at all

    base.seeks.clear();
    Bytes changed = base.bytes;
    changed[0] ^= 0xFF;  // section 0 no longer matches: section 1 is found at 64
    EXPECT_EQ(find(image, changed), (Match{true, 1, 1, 1024}));
    EXPECT_EQ(base.seeks, (std::vector<uint32_t>{1, 64}));  // byte 0 is not even looked at
}

TEST(DataImage, DegenerateBasesNeverMisbehave) {
    MemBase shortBase(randomBytes(63, 5));
    DataImage none(shortBase, 63);
    none.buildIndex();
    EXPECT_EQ(shortBase.starts, 0);
    EXPECT_EQ(find(none, randomBytes(126, 5)), (Match{false, 62, 0, 0}));

    // Every section equal: the first of the longest runs wins.
    MemBase zeros(Bytes(1024, 0));
    DataImage image(zeros, 1024);
    image.buildIndex();
    EXPECT_EQ(find(image, Bytes(3000, 0)), (Match{true, 0, 0, 1024}));

    MemBase damaged(randomBytes(100, 6));
    DataImage claimsMore(damaged, 1024);
    EXPECT_THROW(claimsMore.buildIndex(), Error);
}

TEST(DataImage, FullWindowOfEqualDataFitsTheHashCache) {
    MemBase base(randomBytes(2 * DataImage::WINDOW, 7));
    DataImage image(base, 2 * DataImage::WINDOW);
    image.buildIndex();
    EXPECT_EQ(find(image, slice(base.bytes, 4096, 4096 + DataImage::WINDOW)),
              (Match{true, 0, 4096, 4096 + DataImage::WINDOW}));
}

TEST(DataImage, ParametersOutsideTheWorkingRangeFallBackToDefaults) {
    MemBase base(randomBytes(1024, 8));
    DataImage negative(base, 1024, {-5, -1, -1, -3});
    EXPECT_EQ(negative.sectSize(), 64u);
    EXPECT_EQ(negative.hashCount(), 8u);
    EXPECT_EQ(negative.cacheCapacity(), 16384u);
    EXPECT_EQ(DataImage(base, 1024, {64, 1048576, 1048576, 65}).hashCount(), 8u);
    EXPECT_EQ(DataImage(base, 1024, {4, 1048576, 1048576, 8}).hashCount(), 4u);
    // A cache too small for the window would fail a verification in the search.
    EXPECT_EQ(DataImage(base, 1024, {64, 1048576, 100, 8}).cacheCapacity(), 16384u);
    // No memory for an index: sections grow until there are none, nothing divides by zero.
    DataImage noMemory(base, 1024, {3, 0, 1048576, 2});
    EXPECT_EQ(noMemory.sectCount(), 0u);
    noMemory.buildIndex();
    EXPECT_FALSE(find(noMemory, base.bytes).found);

    // The same values from the settings store.
    std::ofstream(storePath(), std::ios::binary | std::ios::trunc)
        << "DataImage.sectSize=0\nDataImage.maxMem=-5\nDataImage.maxBuf=3\n"
           "DataImage.hashCount=100\n";
    loadSettings();
    std::remove(storePath().c_str());
    DataImage configured(base, 1024);
    EXPECT_EQ(configured.sectSize(), 64u);
    EXPECT_EQ(configured.sectCount(), 16u);
    EXPECT_EQ(configured.hashCount(), 8u);
    EXPECT_EQ(configured.cacheCapacity(), 16384u);
    findSetting("DataImage.maxBuf", Setting::INT, false)->_int = 1048576;
    findSetting("DataImage.hashCount", Setting::INT, false)->_int = 8;
}

}  // namespace
