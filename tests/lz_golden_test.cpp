// The compressed blocks inside the golden single-file archives, taken out of their storage
// framing here by a small reader of their own: our encoder must write exactly these blocks and
// our reader must restore the file from them.
#include "tests/support/LzTestData.h"
#include "tests/support/TestDir.h"

#include "archive/codec/LzReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

// The archives and the script that rebuilds their contents, kept in the repository.
std::string goldenDir() {
    const std::string d = TRESMO_GOLDEN_DIR;
    return std::filesystem::exists(d + "/single/one-byte.trsm") ? d : std::string();
}

std::vector<uint8_t> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t group(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v |= uint32_t{p[i] & 0x7Fu} << (7 * i);
    return v;
}

// The blocks of the first item after the transaction link: 4-byte header (flags, length with
// header, pad bits), then data escaped after "$$/" with a backslash.
std::vector<MemBlock> contentBlocks(const std::vector<uint8_t>& file) {
    std::vector<MemBlock> blocks;
    size_t p = 12 + 10;
    if (file.size() < p + 10 || file[p + 4] != 0x82) return blocks;
    p += 10;
    for (;;) {
        uint32_t h = group(&file[p], 4);
        MemBlock b;
        b.flags = h & 0xFF;
        uint32_t len = (h >> 8) & 0x1FFFF;
        int pad = static_cast<int>(h >> 25) & 7;
        static const uint8_t mark[] = {'$', '$', '/', '/'};
        int k = 0;
        for (size_t i = p + 4; i < p + len; ++i) {
            uint8_t c = file[i];
            if (k == 3 && c == '\\') {
                b.bytes.push_back(file[++i]);
                k = 0;
                continue;
            }
            b.bytes.push_back(c);
            k = c == mark[k] ? k + 1 : 0;
        }
        b.lastBits = 8 - pad;
        blocks.push_back(std::move(b));
        p += len;
        if (blocks.back().flags & lz::LAST_BLOCK) return blocks;
    }
}

class LzGolden : public ::testing::TestWithParam<const char*> {};

TEST_P(LzGolden, EncoderWritesAndReaderRestoresTheArchivedBlocks) {
    std::string golden = goldenDir();
    if (golden.empty()) GTEST_SKIP() << "no golden archives here";
    std::string dir = golden + "/single";
    TestDir tmp;
    std::string cmd = "python3 " + golden + "/make_folder.py '" + tmp.path() + "' single " +
                      GetParam() + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::vector<uint8_t> data = slurp(tmp / "data.bin");
    std::vector<MemBlock> want = contentBlocks(slurp(dir + "/" + GetParam() + ".trsm"));
    ASSERT_FALSE(want.empty());

    std::vector<MemBlock> got = lztest::encode(data);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].flags, want[i].flags) << "block " << i;
        EXPECT_EQ(got[i].bitCount(), want[i].bitCount()) << "block " << i;
        EXPECT_TRUE(got[i].bytes == want[i].bytes) << "block " << i;
    }

    MemBlockReader src(want);
    LzReader r(src);
    r.setExpectedSize(data.size());
    r.open();
    std::vector<uint8_t> back(data.size());
    r.read(std::span(back));
    EXPECT_TRUE(back == data);
    EXPECT_TRUE(r.blockExhausted());
}

INSTANTIATE_TEST_SUITE_P(Single, LzGolden,
                         ::testing::Values("one-byte", "two-equal", "three-equal", "six-newlines",
                                           "abc-1000", "text-65536", "text-65537", "text-200k",
                                           "acgt-100k", "zeros-300k", "random-70k", "marks"),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (c == '-') c = '_';
                             return s;
                         });

}  // namespace
