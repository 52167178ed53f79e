#include "support/MemBase.h"
#include "support/MemValues.h"
#include "support/TestDir.h"

#include "archive/Crc32.h"
#include "archive/DataImage.h"
#include "archive/DeltaDecoder.h"
#include "archive/DeltaEncoder.h"
#include "archive/FileReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

namespace {

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(gen());
    return v;
}

std::string str(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

struct Encoded {
    bool stored = false;
    std::vector<uint8_t> delta;
    int adds = 0, copies = 0;
    size_t newBytes = 0;
};

// Counts the operations of a delta, reading it as the decoder does.
void countOps(Encoded& e) {
    MemValueReader r(e.delta);
    for (;;) {
        uint8_t op = r.readByte();
        if (op == delta::OP_END) break;
        if (op == delta::OP_ADD) {
            int32_t n = r.readNumber();
            for (int32_t i = 0; i < n; ++i)
                r.readByte();
            ++e.adds;
            e.newBytes += static_cast<size_t>(n);
        } else {
            r.readNumber();
            r.readNumber();
            ++e.copies;
        }
    }
    EXPECT_TRUE(r.eof());
}

// Stores `content` as a delta against `baseBytes` (reader buffer and search window `window`)
// and, when the delta was kept, restores it and compares.
Encoded roundTrip(const std::vector<uint8_t>& baseBytes, const std::vector<uint8_t>& content,
                  uint32_t window = DataImage::WINDOW) {
    TestDir dir;
    dir.write("f", str(content));
    FileReader reader(dir / "f", window);
    reader.open();
    MemBase base(baseBytes);
    DataImage image(base, static_cast<uint32_t>(baseBytes.size()), {}, window);
    image.buildIndex();
    MemValueWriter out;
    Encoded e;
    auto size = static_cast<uint32_t>(content.size());
    e.stored = delta::encodeDelta(reader, image, out, delta::budgetFor(size, 0.001953125, 0.25));
    e.delta = out.bytes;
    if (!e.stored) return e;
    EXPECT_EQ(reader.len(), 0u);
    EXPECT_FALSE(reader.changedWhileRead());
    EXPECT_EQ(reader.close(), crc32::of(content.data(), content.size()));
    countOps(e);

    MemValueReader in(e.delta);
    MemBase restoreBase(baseBytes);
    std::vector<uint8_t> restored;
    delta::applyDelta(in, restoreBase, size, [&](uint8_t b) { restored.push_back(b); });
    EXPECT_EQ(restored, content);
    return e;
}

using Edit = std::function<void(std::vector<uint8_t>&)>;

TEST(Delta, SmallEditsAnywhereRoundTripAsSmallDeltas) {
    const auto base = randomBytes(20000, 1);
    const auto extra = randomBytes(300, 2);
    struct Case {
        const char* name;
        Edit edit;
    };
    const Case cases[] = {
        {"insert at start", [&](auto& v) { v.insert(v.begin(), extra.begin(), extra.end()); }},
        {"insert in middle",
         [&](auto& v) { v.insert(v.begin() + 9999, extra.begin(), extra.end()); }},
        {"append", [&](auto& v) { v.insert(v.end(), extra.begin(), extra.end()); }},
        {"delete at start", [](auto& v) { v.erase(v.begin(), v.begin() + 100); }},
        {"delete in middle", [](auto& v) { v.erase(v.begin() + 7000, v.begin() + 7500); }},
        {"delete at end", [](auto& v) { v.resize(v.size() - 77); }},
        {"change at start", [](auto& v) { v[0] ^= 1; }},
        {"change in middle", [](auto& v) { v[12345] ^= 1; }},
        {"change at end", [](auto& v) { v.back() ^= 1; }},
        {"unchanged", [](auto&) {}},
    };
    // A window of 1000 bytes makes the search cross many buffer refills.
    for (uint32_t window : {DataImage::WINDOW, 1000u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " window " + std::to_string(window));
            auto content = base;
            c.edit(content);
            Encoded e = roundTrip(base, content, window);
            EXPECT_TRUE(e.stored);
            EXPECT_LE(e.newBytes, extra.size());
            EXPECT_GE(e.copies, 1);
            EXPECT_LT(e.delta.size(), 800u);
        }
    }
}

TEST(Delta, UnchangedContentIsOneCopy) {
    const auto base = randomBytes(5000, 3);
    Encoded e = roundTrip(base, base);
    EXPECT_TRUE(e.stored);
    EXPECT_EQ(e.adds, 0);
    EXPECT_EQ(e.copies, 1);
}

TEST(Delta, CompleteRewriteIsAbandonedForNewBytes) {
    Encoded e = roundTrip(randomBytes(8000, 4), randomBytes(8000, 5));
    EXPECT_FALSE(e.stored);
    // A quarter of the file in new bytes is still a delta.
    auto base = randomBytes(8000, 6);
    auto content = base;
    auto fresh = randomBytes(2000, 7);
    std::copy(fresh.begin(), fresh.end(), content.begin() + 3000);
    e = roundTrip(base, content);
    EXPECT_TRUE(e.stored);
    EXPECT_LE(e.newBytes, 2000u);
}

// In a 4096-byte file, eight commands are allowed. Each changed byte away from the start costs
// an add and a copy after the first copy; a changed first byte costs an add before it.
TEST(Delta, FourKilobyteFileAllowsEightSegments) {
    const auto base = randomBytes(4096, 8);
    auto eight = base;
    for (size_t at : {0, 1000, 2000, 3000})
        eight[at] ^= 0xFF;
    Encoded e = roundTrip(base, eight);
    EXPECT_TRUE(e.stored);
    EXPECT_EQ(e.adds + e.copies, 8);

    auto nine = base;
    for (size_t at : {500, 1500, 2500, 3500})
        nine[at] ^= 0xFF;
    e = roundTrip(base, nine);
    EXPECT_FALSE(e.stored);

    EXPECT_EQ(delta::budgetFor(4096, 0.001953125, 0.25).segments, 8);
    EXPECT_EQ(delta::budgetFor(4096, 0.001953125, 0.25).newBytes, 1024);
    EXPECT_EQ(delta::budgetFor(1023, 0.001953125, 0.25).segments, 1);
    EXPECT_EQ(delta::budgetFor(1023, 0.001953125, 0.25).newBytes, 255);
    EXPECT_EQ(delta::budgetFor(4096, -1.0, std::nan("")).segments, 0);
    EXPECT_EQ(delta::budgetFor(4096, -1.0, std::nan("")).newBytes, 0);
}

TEST(Delta, ShortFileAgainstLongBaseAndTheReverse) {
    const auto base = randomBytes(30000, 9);
    std::vector<uint8_t> head(base.begin() + 10000, base.begin() + 14000);
    Encoded e = roundTrip(base, head);
    EXPECT_TRUE(e.stored);
    EXPECT_EQ(e.copies, 1);
    // A base too short to index: everything is new, which the budget refuses.
    e = roundTrip(std::vector<uint8_t>(base.begin(), base.begin() + 40), base);
    EXPECT_FALSE(e.stored);
}

std::vector<uint8_t> ops(std::initializer_list<std::pair<char, std::vector<int32_t>>> list) {
    MemValueWriter w;
    for (const auto& [op, args] : list) {
        w.writeByte(static_cast<uint8_t>(op));
        for (int32_t a : args)
            w.writeNumber(a);
        if (op == 'A')
            for (int32_t i = 0; i < args[0]; ++i)
                w.writeByte(static_cast<uint8_t>('a' + i));
    }
    return w.bytes;
}

std::vector<uint8_t> apply(const std::vector<uint8_t>& d, MemBase& base, uint32_t maxOut) {
    MemValueReader in(d);
    std::vector<uint8_t> out;
    delta::applyDelta(in, base, maxOut, [&](uint8_t b) { out.push_back(b); });
    return out;
}

TEST(Delta, CopiesMayOverlapAndGoBackwards) {
    MemBase base(randomBytes(300, 10));
    auto d = ops({{'B', {100, 200}}, {'B', {150, 250}}, {'A', {3}}, {'B', {0, 50}}, {'C', {}}});
    auto out = apply(d, base, 1000);
    std::vector<uint8_t> want(base.bytes.begin() + 100, base.bytes.begin() + 200);
    want.insert(want.end(), base.bytes.begin() + 150, base.bytes.begin() + 250);
    want.insert(want.end(), {'a', 'b', 'c'});
    want.insert(want.end(), base.bytes.begin(), base.bytes.begin() + 50);
    EXPECT_EQ(out, want);
    EXPECT_EQ(base.seeks, (std::vector<uint32_t>{100, 150, 0}));
}

std::string failure(const std::vector<uint8_t>& d, uint32_t maxOut = 1000) {
    MemBase base(randomBytes(300, 11));
    try {
        apply(d, base, maxOut);
    } catch (const Error& e) {
        return e.id;
    }
    return "none";
}

TEST(Delta, DamagedDeltasFailCleanly) {
    EXPECT_EQ(failure(ops({{'C', {}}})), "none");
    EXPECT_EQ(failure(ops({{'D', {}}})), "Tresmo.exportFile.1");
    EXPECT_EQ(failure(ops({{'B', {-1, 5}}, {'C', {}}})), "Tresmo.exportFile.1");
    EXPECT_EQ(failure(ops({{'B', {9, 5}}, {'C', {}}})), "Tresmo.exportFile.1");
    EXPECT_EQ(failure(ops({{'B', {0, 20}}, {'C', {}}}), 19), "Tresmo.exportFile.1");
    EXPECT_EQ(failure(ops({{'B', {0, 20}}, {'C', {}}}), 20), "none");
    EXPECT_EQ(failure(ops({{'A', {5}}, {'A', {5}}, {'C', {}}}), 9), "Tresmo.exportFile.1");
    // A huge count is refused before anything is read or written for it.
    MemValueWriter big;
    big.writeByte('A');
    big.writeNumber(INT32_MAX);
    EXPECT_EQ(failure(big.bytes, UINT32_MAX), "LzReader.read.1");
    big.bytes[0] = 'B';
    EXPECT_EQ(failure(big.bytes, UINT32_MAX), "LzReader.read.1");
    EXPECT_EQ(failure(ops({{'A', {-2}}, {'C', {}}})), "Tresmo.exportFile.1");
    EXPECT_EQ(failure(ops({{'B', {290, 310}}, {'C', {}}})), "LzReader.read.1");
    EXPECT_EQ(failure(ops({{'B', {400, 410}}, {'C', {}}})), "LzReader.seek");
    EXPECT_EQ(failure(ops({{'A', {2}}})), "LzReader.read.1");  // no end command
}

}  // namespace
