#include "support/MemBase.h"
#include "support/MemValues.h"
#include "support/TestDir.h"

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaDecoder.h"
#include "archive/delta/DeltaEncoder.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes slice(const Bytes& v, size_t from, size_t to) {
    return Bytes(v.begin() + static_cast<ptrdiff_t>(from), v.begin() + static_cast<ptrdiff_t>(to));
}

Bytes restore(const Bytes& delta, MemBase& base, uint32_t maxOut) {
    MemValueReader in(delta);
    Bytes out;
    delta::applyDelta(in, base, maxOut, [&](uint8_t b) { out.push_back(b); });
    EXPECT_TRUE(in.eof());
    return out;
}

// Stores `content` as a delta against `base` with a reader buffer (and search window) of
// `window` bytes; when the delta is kept, restores and compares it. Returns the number of
// commands, or -1 when the delta was abandoned.
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
    EXPECT_FALSE(reader.changedWhileRead());
    EXPECT_EQ(reader.close(), crc32::of(content.data(), content.size()));
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

TEST(Delta, SmallEditsAnywhereRoundTripAsSmallDeltas) {
    const Bytes base = randomBytes(20000, 1);
    const Bytes extra = randomBytes(300, 2);
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
    // A window of 1000 bytes makes the search cross many buffer refills.
    for (uint32_t window : {DataImage::WINDOW, 1000u}) {
        for (size_t i = 0; i < std::size(edits); ++i) {
            Bytes content = base;
            edits[i](content);
            int commands = roundTrip(base, content, window);
            // One window holds the whole file: at most a copy, an add and a copy.
            EXPECT_GE(commands, 1) << "edit " << i << " window " << window;
            EXPECT_LE(commands, window == DataImage::WINDOW ? 3 : 30) << "edit " << i;
        }
    }
    EXPECT_EQ(roundTrip(base, base), 1);
}

TEST(Delta, BudgetsAbandonDeltasThatDoNotPay) {
    EXPECT_EQ(roundTrip(randomBytes(8000, 3), randomBytes(8000, 4)), -1);

    // 4096 bytes allow 8 commands. A changed first byte costs an add before the first copy,
    // every other changed byte an add and a copy after it.
    Bytes base = randomBytes(4096, 7);
    Bytes eight = base, nine = base;
    for (size_t at : {0, 1000, 2000, 3000})
        eight[at] ^= 0xFF;
    for (size_t at : {500, 1500, 2500, 3500})
        nine[at] ^= 0xFF;
    EXPECT_EQ(roundTrip(base, eight), 8);
    EXPECT_EQ(roundTrip(base, nine), -1);

    EXPECT_EQ(delta::budgetFor(4096, -1.0, std::nan("")).segments, 0);
    EXPECT_EQ(delta::budgetFor(4096, -1.0, std::nan("")).newBytes, 0);
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
    // Copies may overlap and go backwards; no more output than the version's size, whatever
    // the counts say; past the base or the delta, the source's own errors.
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
