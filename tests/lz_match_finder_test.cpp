// The binary-tree search against the plain chain walk: both must cut every block into the
// same items, with either number of hash bits.
#include "tests/support/LzReference.h"
#include "tests/support/LzTestData.h"

#include "archive/codec/LzMatchFinder.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Recorder {
    std::vector<LzItem>& items;
    void literal(uint8_t b) { items.push_back({0, 1, b}); }
    void pointer(uint32_t d, uint32_t l) { items.push_back({d, l, 0}); }
};

std::vector<std::vector<LzItem>> fastItems(const std::vector<uint8_t>& data, int hashBits = 16) {
    LzMatchFinder f(hashBits);
    std::vector<std::vector<LzItem>> blocks;
    size_t at = 0;
    do {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(lz::BLOCK_SIZE, data.size() - at));
        blocks.emplace_back();
        f.parse(data.data() + at, n, Recorder{blocks.back()});
        at += n;
    } while (at < data.size());
    return blocks;
}

void expectSameItems(const std::vector<uint8_t>& data, const char* what) {
    auto ref = std::make_unique<RefParser>();
    for (uint8_t b : data)
        ref->put(b);
    ref->finish();
    for (int hashBits : {16, 15}) {
        auto fast = fastItems(data, hashBits);
        ASSERT_EQ(fast.size(), ref->blocks.size()) << what;
        for (size_t b = 0; b < fast.size(); ++b) {
            const auto& f = fast[b];
            const auto& r = ref->blocks[b];
            size_t i = 0;
            while (i < f.size() && i < r.size() && f[i] == r[i])
                ++i;
            ASSERT_TRUE(i == f.size() && i == r.size())
                << what << ", " << hashBits << " hash bits: block " << b << " item " << i << " of "
                << r.size() << " differs";
        }
    }
}

TEST(LzMatchFinder, LongRunIsMatchedAgainstItsStart) {
    std::vector<uint8_t> data(1000, 'z');
    auto items = fastItems(data)[0];
    ASSERT_GE(items.size(), 4u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(items[i], (LzItem{0, 1, 'z'}));
    // Positions inside the run are not indexed: every pointer goes back to position 0.
    uint32_t pos = 3;
    for (size_t i = 3; i < items.size(); ++i) {
        EXPECT_EQ(items[i].distance, pos);
        EXPECT_EQ(items[i].length, std::min<uint32_t>(255, 1000 - pos));
        pos += items[i].length;
    }
    EXPECT_EQ(pos, 1000u);
}

TEST(LzMatchFinder, AgreesWithFullChainWalkOnOrdinaryData) {
    expectSameItems(lztest::wordText(150000, 1), "word text over three blocks");
    expectSameItems(lztest::randomBytes(70000, 2), "random bytes");
    auto mixed = lztest::wordText(30000, 3);
    auto noise = lztest::randomBytes(5000, 4);
    mixed.insert(mixed.begin() + 10000, noise.begin(), noise.end());
    mixed.insert(mixed.end(), mixed.begin(), mixed.begin() + 20000);
    expectSameItems(mixed, "text, noise and a long repeat");
}

TEST(LzMatchFinder, AgreesWithFullChainWalkOnAdversarialData) {
    expectSameItems(lztest::alphabetText(40000, "ACGT", 5), "four letters");
    expectSameItems(lztest::alphabetText(30000, "01", 6), "two letters");
    // Bytes that share their low 5 bits fall into the same chains without matching.
    expectSameItems(lztest::alphabetText(30000, std::string_view("\x01\x21\x41\x61\x81\xA1", 6), 7),
                    "letters sharing the hash bits");
    for (size_t p : {2, 3, 5, 17, 255, 256, 300})
        expectSameItems(lztest::periodic(20000, p, p), "periodic");
    expectSameItems(lztest::numberList(66000, 1000000), "sorted numbers");
    auto runs = lztest::alphabetText(20000, "ab", 8);
    for (size_t i = 0; i + 40 < runs.size(); i += 97)
        std::fill_n(runs.begin() + i, 40, 'a');
    expectSameItems(runs, "runs inside two letters");
    std::vector<uint8_t> edge(65536 + 300, 'q');
    edge[65536 - 5] = 'r';
    expectSameItems(edge, "a run across the block end");
}

TEST(LzMatchFinder, AgreesOnShortStreams) {
    lztest::Rng r(9);
    for (int i = 0; i < 300; ++i) {
        size_t n = r.below(600);
        auto data = lztest::alphabetText(n, i % 2 ? "ab" : "abc", i);
        expectSameItems(data, "short");
    }
}

}  // namespace
