// The golden archives, taken apart block by block and written again through the block writer:
// every byte of framing (links, item headers, block headers, escaping, CRCs) must come out the
// same.
#include "stg_test_util.h"
#include "support/TestDir.h"

#include "archive/StgFile.h"
#include "archive/StgItem.h"
#include "archive/StgReadBuffer.h"
#include "archive/StgWriteBuffer.h"
#include "archive/msg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> goldenArchives() {
    std::vector<std::string> out;
    for (const char* sub : {"single", "history"})
        for (const auto& e : fs::directory_iterator(std::string(TRESMO_GOLDEN_DIR) + "/" + sub))
            if (e.path().extension() == ".trsm") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

TestBlock asWritten(const ReadBlock& b) {
    uint32_t bits = b.data.empty() ? 0 : static_cast<uint32_t>(b.data.size() - 1) * 8 + b.lastBits;
    // The writer adds LAST_BLOCK itself.
    return {b.data, bits, static_cast<uint8_t>(b.flags & ~stg::LAST_BLOCK)};
}

struct Txn {
    std::vector<std::pair<uint32_t, std::vector<TestBlock>>> items;  // type, blocks
    std::vector<TestBlock> sequence;
};

// Every transaction's items, in file order, read through the block reader with CRC checks.
std::vector<Txn> takeApart(StgFile& f, const Bytes& raw) {
    std::vector<Txn> txns;
    uint64_t link = 12;
    while (link < f.committedSize()) {
        Txn t;
        uint32_t seq;
        EXPECT_TRUE(stg::decodeGroup(raw.data() + link + 5, 5, seq));
        uint64_t pos = link + 10;
        while (pos < seq) {
            uint32_t type = raw[pos + 4] & 0x7F;
            StgReadBuffer r(f, pos, type | stg::CHECK_CRC | stg::INDEX_BLOCKS);
            r.start();
            std::vector<TestBlock> blocks;
            do
                blocks.push_back(asWritten(drainBlock(r)));
            while (r.next());
            EXPECT_EQ(r.blockIndex().size(), blocks.size());
            EXPECT_EQ(r.blockIndex().back(), r.blockPos());
            t.items.emplace_back(type, blocks);
            pos = r.blockPos() + r.blockLength() + 5;
        }
        EXPECT_EQ(pos, seq);
        StgReadBuffer r(f, link, stg::TXN_SEQUENCE | stg::CHECK_CRC);
        r.start();
        for (;;) {
            t.sequence.push_back(asWritten(drainBlock(r)));
            if (r.blockFlags() & stg::LAST_BLOCK) break;
            r.next();
        }
        link = r.blockPos() + r.blockLength() + 5;
        txns.push_back(std::move(t));
    }
    EXPECT_EQ(link, f.committedSize());
    return txns;
}

TEST(StgGolden, FramingOfEveryGoldenArchiveIsWrittenByteForByte) {
    std::vector<std::string> files = goldenArchives();
    ASSERT_EQ(files.size(), 17u);
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        Bytes want = fileBytes(path);
        TestDir d;
        fs::copy_file(path, d / "in.trsm");
        StgFile in(d / "in.trsm", 20, 10);
        in.open();
        std::vector<Txn> txns;
        try {
            txns = takeApart(in, want);
        } catch (const Error& e) {
            FAIL() << e.chainText();
        }
        in.close();
        ASSERT_FALSE(txns.empty());

        StgFile out(d / "out.trsm", 20, 10);
        out.open();
        for (const Txn& t : txns) {
            for (const auto& [type, blocks] : t.items)
                writeContent(out, blocks, type);
            writeSequence(out, t.sequence);
        }
        out.close();
        Bytes got = fileBytes(d / "out.trsm");
        ASSERT_EQ(got.size(), want.size());
        auto diff = std::mismatch(got.begin(), got.end(), want.begin());
        EXPECT_TRUE(diff.first == got.end())
            << "first difference at " << (diff.first - got.begin());
    }
}

}  // namespace
