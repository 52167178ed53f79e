// The golden archives, read back item by item through the value reader and written again
// through the value writer: every byte (compressed blocks, links, item and block headers,
// escaping, CRCs) must come out the same, and each single-file archive must hold the file that
// the folder script makes.
#include "stg_test_util.h"
#include "support/TestDir.h"

#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> goldenArchives() {
    std::vector<std::string> out;
    for (const char* sub : {"single", "history"})
        for (const auto& e : fs::directory_iterator(std::string(TRESMO_GOLDEN_DIR) + "/" + sub))
            if (e.path().extension() == ".trsm") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

struct ValueTxn {
    std::vector<std::pair<uint32_t, Bytes>> items;  // type, uncompressed content
    Bytes records;
};

Bytes readItem(StgFile& f, uint64_t pos, uint32_t mode) {
    StgReader r(f, pos, mode);
    r.start();
    Bytes out;
    while (!r.eof())
        out.push_back(r.readByte());
    return out;
}

// Every transaction's items, decompressed.
std::vector<ValueTxn> readValues(StgFile& f, const Bytes& raw) {
    std::vector<ValueTxn> txns;
    uint64_t link = 12;
    while (link < f.committedSize()) {
        ValueTxn t;
        uint32_t seq;
        EXPECT_TRUE(stg::decodeGroup(raw.data() + link + 5, 5, seq));
        uint64_t pos = link + 10;
        while (pos < seq) {
            uint32_t type = raw[pos + 4] & 0x7F;
            uint32_t mode = type == stg::FILE_CONTENT ? type | stg::INDEX_BLOCKS : type;
            t.items.emplace_back(type, readItem(f, pos, mode));
            StgReadBuffer r(f, pos, type | stg::INDEX_BLOCKS);
            r.start();
            r.seekBlock(static_cast<uint32_t>(r.blockIndex().size() - 1));
            pos = r.blockPos() + r.blockLength() + 5;
        }
        // The chain reader runs on into the next transaction; stop at this one's end.
        StgReader r(f, link, stg::TXN_SEQUENCE | stg::CHECK_CRC);
        r.start();
        while (!(r.lzReader().blockExhausted() && (r.readBuffer().blockFlags() & stg::LAST_BLOCK)))
            t.records.push_back(r.readByte());
        link = r.readBuffer().blockPos() + r.readBuffer().blockLength() + 5;
        txns.push_back(std::move(t));
    }
    return txns;
}

TEST(StgGolden, ArchivesReadBackAndAreWrittenAgainByteForByte) {
    for (const std::string& path : goldenArchives()) {
        SCOPED_TRACE(path);
        Bytes want = fileBytes(path);
        TestDir d;
        fs::copy_file(path, d / "in.trsm");
        StgFile in(d / "in.trsm", 20, 10);
        in.open();
        std::vector<ValueTxn> txns;
        Bytes chain;
        try {
            txns = readValues(in, want);
            chain = readItem(in, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
        } catch (const Error& e) {
            FAIL() << e.chainText();
        }
        in.close();
        Bytes joined;
        for (const ValueTxn& t : txns)
            joined.insert(joined.end(), t.records.begin(), t.records.end());
        EXPECT_EQ(chain, joined);

        std::string name = fs::path(path).stem().string();
        if (fs::path(path).parent_path().filename() == "single" && name != "empty") {
            std::string cmd = "python3 " + std::string(TRESMO_GOLDEN_DIR) + "/make_folder.py " +
                              d.path() + "/g single " + name + " >/dev/null";
            ASSERT_EQ(std::system(cmd.c_str()), 0);
            ASSERT_EQ(txns.size(), 1u);
            ASSERT_EQ(txns[0].items.size(), 1u);
            EXPECT_EQ(txns[0].items[0].second, fileBytes(d / "g/data.bin"));
        }

        StgFile out(d / "out.trsm", 20, 10);
        out.open();
        for (const ValueTxn& t : txns) {
            for (const auto& [type, content] : t.items) {
                StgWriter w(&out, type);
                w.begin();
                w.writeBytes(content);
                w.finish();
            }
            StgWriter w(nullptr, stg::TXN_SEQUENCE);
            w.begin();
            w.writeBytes(t.records);
            w.finish();
            w.writeTo(out);
            out.commit();
        }
        out.close();
        Bytes got = fileBytes(d / "out.trsm");
        auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
        EXPECT_TRUE(diff.first == got.end() && diff.second == want.end())
            << "first difference at " << (diff.first - got.begin()) << " of " << want.size();
    }
}

}  // namespace
