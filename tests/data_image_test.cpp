#include "support/MemBase.h"

#include "archive/delta/DataImage.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slice(const Bytes& v, size_t from, size_t to) {
    return Bytes(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
}

struct Match {
    bool found;
    uint32_t pos, start, end;
    bool operator==(const Match&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Match& m) {
    return o << m.found << " pos " << m.pos << " [" << m.start << ", " << m.end << ")";
}

TEST(DataImage, MatchesAtTheBoundariesOfDataAndBase) {
    const Bytes r1024 = randomBytes(1024, 1);
    // Inserted in the middle: the match before ends at the last equal byte; the next search
    // reaches back from section 8 over the rest of section 7 to the inserted bytes.
    Bytes inserted = r1024;
    inserted.insert(inserted.begin() + 500, 10, static_cast<uint8_t>(r1024[499] ^ 1));
    Bytes front = r1024;  // bytes before the base's first: no backward check at all
    front.insert(front.begin(), {1, 2, 3, 4, 5});
    Bytes changed = r1024;  // section 0 no longer matches: byte 0 is not even looked at
    changed[0] ^= 0xFF;
    const uint32_t W = DataImage::WINDOW;
    const Bytes r1000 = randomBytes(1000, 3), r63 = randomBytes(63, 5), w = randomBytes(2 * W, 7);
    struct Case {
        Bytes base, data;
        Match want;
        std::optional<std::vector<uint32_t>> seeks;
    } cases[] = {
        {r1024, r1024, {true, 0, 0, 1024}, {}},
        {r1024, slice(r1024, 0, 64), {false, 0, 0, 0}, {}},
        {r1024, slice(r1024, 0, 65), {true, 0, 0, 65}, {}},
        {r1024, randomBytes(1000, 2), {false, 936, 0, 0}, {}},
        {r1024, inserted, {true, 0, 0, 500}, {}},
        {r1024, slice(inserted, 500, inserted.size()), {true, 10, 500, 1024}, {}},
        {r1024, front, {true, 5, 0, 1024}, {{0}}},
        {r1024, changed, {true, 1, 1, 1024}, {{1, 64}}},
        // The unindexed tail of a base is still reached by the byte-wise forward check.
        {r1000, r1000, {true, 0, 0, 1000}, {}},
        {r63, randomBytes(126, 5), {false, 62, 0, 0}, {}},  // no section at all
        // Every section equal: the first of the longest runs wins.
        {Bytes(1024, 0), Bytes(3000, 0), {true, 0, 0, 1024}, {}},
        // A full window of equal data fits the hash cache.
        {w, slice(w, 4096, 4096 + W), {true, 0, 4096, 4096 + W}, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        MemBase base(c.base);
        DataImage image(base, static_cast<uint32_t>(c.base.size()));
        image.buildIndex();
        EXPECT_EQ(base.starts, c.base.size() < 64 ? 0 : 1) << "case " << i;
        base.seeks.clear();
        Match m{false, 0xDEAD, 0, 0};
        m.found = image.findMatch(c.data.data(), static_cast<uint32_t>(c.data.size()), m.pos,
                                  m.start, m.end);
        if (!m.found) m.start = m.end = 0;
        EXPECT_EQ(m, c.want) << "case " << i;
        EXPECT_TRUE(!c.seeks || base.seeks == *c.seeks) << "case " << i;
    }
    MemBase damaged(randomBytes(100, 6));
    DataImage claimsMore(damaged, 1024);
    EXPECT_THROW(claimsMore.buildIndex(), Error);
}

TEST(DataImage, ParametersOutsideTheWorkingRangeFallBackToDefaults) {
    MemBase base(randomBytes(1024, 8));
    // The section size doubles once the index would pass its memory; nothing is read before
    // buildIndex.
    EXPECT_EQ(DataImage(base, 4194367).sectSize(), 64u);
    EXPECT_EQ(DataImage(base, 4194368).sectSize(), 128u);
    EXPECT_EQ(base.starts, 0);
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
    uint32_t pos, start, end;
    EXPECT_FALSE(noMemory.findMatch(base.bytes.data(), 1024, pos, start, end));

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
