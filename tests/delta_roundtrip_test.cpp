#include "support/MemBase.h"
#include "support/MemValues.h"
#include "support/TestDir.h"

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaDecoder.h"
#include "archive/delta/DeltaEncoder.h"
#include "archive/storage/FileReader.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <optional>
#include <tuple>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slice(const Bytes& v, size_t from, size_t to) {
    return Bytes(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
}

using Match = std::tuple<bool, uint32_t, uint32_t, uint32_t>;  // found, pos, [start, end)

TEST(DataImage, MatchesAtTheBoundariesAndParametersOutsideTheWorkingRangeFallBack) {
    const Bytes r1024 = randomBytes(1024, 1);
    // Inserted in the middle: the next search reaches back over section 7 to the inserted bytes.
    Bytes inserted = r1024;
    inserted.insert(inserted.begin() + 500, 10, static_cast<uint8_t>(r1024[499] ^ 1));
    Bytes front = r1024;  // bytes before the base's first: no backward check at all
    front.insert(front.begin(), {1, 2, 3, 4, 5});
    Bytes changed = r1024;  // section 0 no longer matches: byte 0 is not even looked at
    changed[0] ^= 0xFF;
    const uint32_t W = DataImage::WINDOW;
    const Bytes r1000 = randomBytes(1000, 3), r63 = randomBytes(63, 5), w = randomBytes(2 * W, 7);
    // Base, data -> the match, and the base positions read by the backward check when given.
    const std::tuple<Bytes, Bytes, Match, std::optional<std::vector<uint32_t>>> cases[] = {
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
        const auto& [bytes, data, want, seeks] = cases[i];
        Match m{false, 0xDEAD, 0, 0};
        MemBase base(bytes);
        DataImage image(base, static_cast<uint32_t>(bytes.size()));
        image.buildIndex();
        EXPECT_EQ(base.starts, bytes.size() < 64 ? 0 : 1) << "case " << i;
        base.seeks.clear();
        auto& [found, pos, start, end] = m;
        found = image.findMatch(data.data(), uint32_t(data.size()), pos, start, end);
        if (!found) start = end = 0;
        EXPECT_EQ(m, want) << "case " << i;
        EXPECT_TRUE(!seeks || base.seeks == *seeks) << "case " << i;
    }
    MemBase damaged(randomBytes(100, 6));
    DataImage claimsMore(damaged, 1024);
    EXPECT_THROW(claimsMore.buildIndex(), Error);

    MemBase base(randomBytes(1024, 8));
    // {size, {sectSize, maxMem, maxBuf, hashCount}} -> section size, sections, hashed bytes,
    // cached sections (a window's worth); sections double once the index would pass its memory.
    const std::tuple<uint32_t, DataImage::Params, std::array<uint32_t, 4>> ranges[] = {
        {4194367, {}, {64, 65536, 8, 16384}},
        {4194368, {}, {128, 32768, 8, 8192}},
        {1024, {-5, -1, -1, -3}, {64, 16, 8, 16384}},
        {1024, {64, 1048576, 1048576, 65}, {64, 16, 8, 16384}},
        {1024, {4, 1048576, 1048576, 8}, {4, 256, 4, 262144}},
        {1024, {64, 1048576, 100, 8}, {64, 16, 8, 16384}},
        {1024, {3, 0, 1048576, 2}, {0, 0, 0, 0}},
    };
    for (const auto& [size, params, want] : ranges) {
        DataImage image(base, size, params);
        std::array<uint32_t, 4> got = {image.sectSize(), image.sectCount(), image.hashCount(),
                                       image.cacheCapacity()};
        if (want[1] == 0) got[0] = got[2] = got[3] = 0;
        EXPECT_EQ(got, want) << size << " " << params.sectSize;
    }
    EXPECT_EQ(base.starts, 0);  // nothing is read before buildIndex
    DataImage noMemory(base, 1024, {3, 0, 1048576, 2});
    noMemory.buildIndex();
    uint32_t pos, start, end;
    EXPECT_FALSE(noMemory.findMatch(base.bytes.data(), 1024, pos, start, end));
}

Bytes restore(const Bytes& delta, MemBase& base, uint32_t maxOut) {
    MemValueReader in(delta);
    Bytes out;
    delta::applyDelta(in, base, maxOut, [&](uint8_t b) { out.push_back(b); });
    EXPECT_TRUE(in.eof());
    return out;
}

// Stores `content` as a delta against `base` and restores it; the number of commands, or -1
// when the delta was abandoned. `window` is the reader's buffer and the search window.
int roundTrip(const Bytes& base, const Bytes& content, uint32_t window = DataImage::WINDOW) {
    TestDir dir;
    dir.write("f", std::string(content.begin(), content.end()));
    FileReader reader(dir / "f", window);
    reader.open();
    MemBase source(base);
    DataImage image(source, static_cast<uint32_t>(base.size()), {}, window);
    image.buildIndex();
    MemValueWriter out;
    auto size = static_cast<uint32_t>(content.size());
    size_t consumed = 0;
    if (!delta::encodeDelta(reader, image, out, delta::budgetFor(size, 0.001953125, 0.25),
                            [&](size_t n) { consumed += n; }))
        return -1;
    EXPECT_EQ(consumed, content.size());
    EXPECT_EQ(restore(out.bytes, source, size), content);
    int commands = 0;
    MemValueReader in(out.bytes);
    for (uint8_t op; (op = in.readByte()) != delta::OP_END; ++commands) {
        int32_t n = in.readNumber();
        for (int32_t i = 0; op == delta::OP_ADD && i < n; ++i)
            in.readByte();
        if (op == delta::OP_BASE) in.readNumber();
    }
    return commands;
}

// A window of 1000 bytes crosses many buffer refills. 4096 bytes allow 8 commands: a changed
// first byte costs an add before the first copy, any other an add and a copy.
TEST(Delta, EditsRoundTripAsSmallDeltasUntilTheBudgetIsSpent) {
    const Bytes base = randomBytes(20000, 1), extra = randomBytes(300, 2);
    const std::function<void(Bytes&)> edits[] = {
        [&](Bytes& v) { v.insert(v.begin(), extra.begin(), extra.end()); },
        [&](Bytes& v) { v.insert(v.begin() + 9999, extra.begin(), extra.end()); },
        [&](Bytes& v) { v.insert(v.end(), extra.begin(), extra.end()); },
        [](Bytes& v) { v.erase(v.begin(), v.begin() + 100); },
        [](Bytes& v) { v.erase(v.begin() + 7000, v.begin() + 7500); },
        [](Bytes& v) { v.resize(v.size() - 77); },
        [](Bytes& v) { v[0] ^= 1; },
        [](Bytes& v) { v[12345] ^= 1; },
        [](Bytes& v) { v.back() ^= 1; },
    };
    for (uint32_t window : {DataImage::WINDOW, 1000u})
        for (size_t i = 0; i < std::size(edits); ++i) {
            Bytes content = base;
            edits[i](content);
            int commands = roundTrip(base, content, window);
            EXPECT_TRUE(commands >= 1 && commands <= (window == DataImage::WINDOW ? 3 : 30))
                << "edit " << i << " window " << window << ": " << commands;
        }
    EXPECT_EQ(roundTrip(base, base), 1);
    EXPECT_EQ(roundTrip(randomBytes(8000, 3), randomBytes(8000, 4)), -1);
    Bytes small = randomBytes(4096, 7), eight = small, nine = small;
    for (size_t at : {0, 1000, 2000, 3000})
        eight[at] ^= 0xFF;
    for (size_t at : {500, 1500, 2500, 3500})
        nine[at] ^= 0xFF;
    EXPECT_EQ(roundTrip(small, eight), 8);
    EXPECT_EQ(roundTrip(small, nine), -1);
    auto none = delta::budgetFor(4096, -1.0, std::nan(""));  // nothing allowed, nothing crashes
    EXPECT_TRUE(none.segments == 0 && none.newBytes == 0);
}

Bytes ops(std::initializer_list<std::pair<char, std::vector<int32_t>>> list) {
    MemValueWriter w;
    for (const auto& [op, args] : list) {
        w.writeByte(static_cast<uint8_t>(op));
        for (int32_t a : args)
            w.writeNumber(a);
        for (int32_t i = 0; op == 'A' && i < args[0]; ++i)
            w.writeByte(static_cast<uint8_t>('a' + i));
    }
    return w.bytes;
}

TEST(Delta, CommandsRestoreOrFailCleanly) {
    // Copies overlap and go back; output stops at the version's size; past the base, its errors.
    const std::string bad = "Tresmo.exportFile.1";
    const std::tuple<Bytes, uint32_t, std::string> cases[] = {
        {ops({{'B', {100, 200}}, {'B', {150, 250}}, {'A', {3}}, {'B', {0, 50}}, {'C', {}}}), 1000,
         ""},
        {ops({{'B', {0, 20}}, {'C', {}}}), 20, ""},
        {ops({{'B', {0, 20}}, {'C', {}}}), 19, bad},
        {ops({{'A', {3}}, {'C', {}}}), 2, bad},
        {ops({{'D', {}}}), 1000, bad},
        {ops({{'A', {-2}}, {'C', {}}}), 1000, bad},
        {ops({{'B', {9, 5}}, {'C', {}}}), 1000, bad},
        {ops({{'B', {290, 310}}, {'C', {}}}), 1000, "LzReader.read.1"},
        {ops({{'B', {400, 410}}, {'C', {}}}), 1000, "LzReader.seek"},
        {ops({{'A', {2}}}), 1000, "LzReader.read.1"},
    };
    for (const auto& [delta, maxOut, failure] : cases) {
        MemBase base(randomBytes(300, 8));
        std::string got;
        try {
            restore(delta, base, maxOut);
        } catch (const Error& e) {
            got = e.id;
        }
        EXPECT_EQ(got, failure) << delta.size() << " bytes, " << maxOut;
    }
    MemBase base(randomBytes(300, 8));
    Bytes want = slice(base.bytes, 100, 200), tail = slice(base.bytes, 150, 250);
    want.insert(want.end(), tail.begin(), tail.end());
    want.insert(want.end(), {'a', 'b', 'c'});
    want.insert(want.end(), base.bytes.begin(), base.bytes.begin() + 50);
    EXPECT_EQ(restore(std::get<0>(cases[0]), base, 1000), want);
    EXPECT_EQ(base.seeks, (std::vector<uint32_t>{100, 150, 0}));
}

}  // namespace
