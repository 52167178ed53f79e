// The storage layer: blocks and their framing, values, the archive file and plain files.
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"
#include "tests/support/LzTestData.h"

#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/FileWriter.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReadBuffer.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriteBuffer.h"
#include "archive/storage/StgWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

Bytes fileBytes(const std::string& path) {
    return Bytes(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
}

// A new file each time: a file truncated and rewritten in place is flushed on close.
void putFile(const std::string& path, const Bytes& b) {
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// An archive file of type 20, version 10, opened for writing.
struct Opened : StgFile {
    explicit Opened(const std::string& path) : StgFile(path, 20, 10) { open(); }
};

// One block of coder output as the coder would hand it over.
struct TestBlock {
    Bytes data;  // whole bytes, plus the partial last byte when bits % 8 != 0
    uint8_t flags = 0;
    uint32_t bits = static_cast<uint32_t>(data.size() * 8);
};

void putBlocks(StgWriteBuffer& w, const std::vector<TestBlock>& blocks) {
    for (size_t i = 0; i < blocks.size(); ++i) {
        uint8_t flags = blocks[i].flags;
        if (i + 1 == blocks.size()) flags |= stg::LAST_BLOCK;
        w.setFlags(flags);
        w.putBits(blocks[i].data.data(), blocks[i].bits);
    }
}

// A content item written straight to the file; returns its position (and its end in *end).
uint64_t writeContent(StgFile& f, const std::vector<TestBlock>& blocks, uint64_t* end = nullptr) {
    StgWriteBuffer w(&f, stg::FILE_CONTENT);
    w.beginItem(f);
    putBlocks(w, blocks);
    w.endItem(f);
    if (end) *end = w.itemEnd();
    return w.itemStart();
}

// A record stream built in memory, written behind the content items and committed.
void writeSequence(StgFile& f, const std::vector<TestBlock>& blocks) {
    StgWriteBuffer w(nullptr, stg::TXN_SEQUENCE);
    putBlocks(w, blocks);
    w.beginItem(f);
    w.writeBuffered(f);
    w.endItem(f);
    f.commit();
}

Bytes drainBlock(StgReadBuffer& r) {
    Bytes b;
    for (uint8_t c; r.get(c) != 0;)
        b.push_back(c);
    return b;
}

std::vector<Bytes> readAll(StgFile& f, uint64_t pos, uint32_t mode) {
    StgReadBuffer r(f, pos, mode);
    r.start();
    std::vector<Bytes> out;
    do
        out.push_back(drainBlock(r));
    while (r.next());
    return out;
}

// A content item of one block right after the reserved link, data at 36; the file's bytes.
Bytes oneBlockItem(const std::string& path, const Bytes& data, uint32_t bits, uint8_t flags = 0) {
    std::filesystem::remove(path);
    Opened f(path);
    writeContent(f, {{data, flags, bits}});
    f.commit();
    return fileBytes(path);
}

// The fast paths of the CRC agree with the definition, bit by bit, at every length and
// alignment round their thresholds, fed whole or in two pieces.
TEST(Crc32, EveryLengthAndAlignmentGivesTheBitwiseValue) {
    EXPECT_EQ(crc32::of("123456789", 9), 0xCBF43926u);
    const Bytes data = lztest::randomBytes(70000, 3);
    for (size_t n = 0; n < 1100; n += n < 300 ? 1 : 37)
        for (size_t at : {0, 1, 13}) {
            uint32_t want = 0x12345678u;
            for (size_t i = 0; i < n; ++i) {
                want ^= data[at + i];
                for (int k = 0; k < 8; ++k)
                    want = (want & 1) ? (want >> 1) ^ 0xEDB88320u : want >> 1;
            }
            EXPECT_EQ(crc32::update(0x12345678u, data.data() + at, n), want) << n << " at " << at;
            const uint32_t split = crc32::update(0x12345678u, data.data() + at, n / 3);
            EXPECT_EQ(crc32::update(split, data.data() + at + n / 3, n - n / 3), want) << n;
        }
}

// Escapes follow the mark on disk, straddle every page boundary when read back in chunks, and
// the last byte keeps its valid bits and the block its flags.
TEST(StgBlocks, DataIsEscapedOnDiskAndReadBackInAnyChunksOrByIndexedBlock) {
    TestDir d;
    // After "$$/" the mark's last byte and the escape are escaped; a third dollar breaks the match.
    const std::pair<Bytes, Bytes> cases[] = {
        {{0x24, 0x24, 0x2F, 0x2F}, {0x24, 0x24, 0x2F, 0x5C, 0x2F}},
        {{0x24, 0x24, 0x2F, 0x5C}, {0x24, 0x24, 0x2F, 0x5C, 0x5C}},
        {{0x24, 0x24, 0x2F, 0x2F, 0x24, 0x24, 0x2F, 0x2F},
         {0x24, 0x24, 0x2F, 0x5C, 0x2F, 0x24, 0x24, 0x2F, 0x5C, 0x2F}},
        {{0x24, 0x24, 0x24, 0x2F, 0x2F}, {0x24, 0x24, 0x24, 0x2F, 0x2F}},
        {{0x24, 0x24, 0x2F, 0x41, 0x2F}, {0x24, 0x24, 0x2F, 0x41, 0x2F}},
    };
    for (const auto& [data, stored] : cases) {
        Bytes file = oneBlockItem(d / "a.trsm", data, static_cast<uint32_t>(data.size() * 8));
        EXPECT_EQ(Bytes(file.begin() + 36, file.end() - 5), stored);
    }
    Bytes data = lztest::alphabetText(30000, "\x24\x2F\x5C\x41", 11);
    data.back() &= 0x1F;
    oneBlockItem(d / "a.trsm", data, static_cast<uint32_t>(data.size() * 8 - 3), 0xA4);
    for (uint32_t chunk : {1u, 4096u, 100000u}) {
        Opened f(d / "a.trsm");
        StgReadBuffer r(f, 22, stg::FILE_CONTENT | stg::CHECK_CRC);
        r.start();
        EXPECT_EQ(r.blockFlags(), 0xA5);
        Bytes got(chunk), all;
        int valid = 0;
        while (uint32_t k = r.getBytes(got.data(), chunk, valid)) {
            all.insert(all.end(), got.begin(), got.begin() + k);
            EXPECT_EQ(valid, all.size() == data.size() ? 5 : 8) << chunk;
        }
        EXPECT_EQ(all, data) << chunk;
    }

    // Indexed content seeks any block, reading each page once.
    Opened f(d / "i.trsm");
    std::vector<TestBlock> blocks;
    for (int i = 0; i < 4; ++i)
        blocks.push_back({lztest::randomBytes(i == 3 ? 100 : 65536, i), uint8_t(i << 1)});
    uint64_t pos = writeContent(f, blocks);
    writeSequence(f, {TestBlock{{1}}});
    StgReadBuffer r(f, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS);
    r.start();
    ASSERT_EQ(r.blockIndex().size(), 4u);
    for (uint32_t i : {2u, 0u, 3u, 1u}) {
        FaultOs calls;
        ASSERT_TRUE(r.seekBlock(i));
        EXPECT_EQ(drainBlock(r), blocks[i].data) << i;
        EXPECT_EQ(r.blockFlags(), (i << 1) | (i == 3 ? 1 : 0));
        EXPECT_LE(calls.count(FaultOs::Call::Pread), 18) << i;  // page by page, nothing twice
    }
    EXPECT_FALSE(r.seekBlock(4));
    // A block length below 4 would keep the index walk in place.
    Bytes b = fileBytes(f.path());
    stg::encodeGroup(3u << 8, b.data() + r.blockIndex()[1], 4);
    f.close();
    putFile(d / "i.trsm", b);
    Opened g(d / "i.trsm");
    EXPECT_EQ(codeOf([&] { readAll(g, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS); }), 3207);

    // A block of nothing but marks fills the write buffer to its last byte.
    Bytes marks;
    for (int i = 0; i < 65536 / 4; ++i)
        marks.insert(marks.end(), {0x24, 0x24, 0x2F, 0x2F});
    uint64_t end, start = writeContent(g, {TestBlock{marks}}, &end);
    EXPECT_EQ(end - start, 10u + StgWriteBuffer::BUFFER_SIZE + 5);
    EXPECT_EQ(readAll(g, start, stg::FILE_CONTENT)[0], marks);
}

// A record stream of two transactions over several chunks, with a content item between.
// Offsets: link 12, sequence header 22, first block 32 (5004 bytes with its header).
TEST(StgBlocks, DamagedFramingGivesItsMessage) {
    TestDir d;
    {
        Opened f(d / "a.trsm");
        writeSequence(f, {TestBlock{lztest::periodic(5000, 251, 1)}, TestBlock{{1, 2, 3}}});
        writeContent(f, {TestBlock{{9, 9}}});
        writeSequence(f, {TestBlock{{4, 5}}});
    }
    const Bytes good = fileBytes(d / "a.trsm");
    auto group = [](size_t at, uint32_t v, int n) {
        return [=](Bytes& b) { stg::encodeGroup(v, b.data() + at, n); };
    };
    auto set = [](size_t at, uint8_t v) { return [=](Bytes& b) { b[at] = v; }; };
    const size_t crcAt = 32 + 5004 + 7;  // the CRC of the first transaction's record stream
    const std::pair<std::function<void(Bytes&)>, int> cases[] = {
        {group(17, 12, 5), 3203},        // link backwards
        {group(17, 21, 5), 3203},        // link onto itself
        {group(17, 1u << 30, 5), 3202},  // beyond the end
        {set(12, 0x25), 3203},           // link mark, type and value
        {set(16, 0x82), 3204},
        {set(19, 0x00), 3205},
        {set(24, 0x25), 3203},  // sequence header mark and type
        {set(26, 0x83), 3204},
        {set(34, 0x00), 3209},  // block header
        {group(32, 3u << 8, 4), 3209},
        {group(32, 100000u << 8, 4), 3211},  // a length beyond the file's end
        {[](Bytes& b) { b.resize(4200); }, 3211},
        {[](Bytes& b) { b.resize(40); }, 3210},
        {[](Bytes& b) { b.resize(34); }, 3208},
        {[](Bytes& b) { std::copy_n("$$//", 4, b.begin() + 40); }, 3200},  // a chunk before the CRC
        {[](Bytes& b) { std::copy_n("$$/\\", 4, b.begin() + 5032); }, 3201},  // escape ends block
        {set(crcAt + 2, 0x10), 3213},
        {[=](Bytes& b) { b[crcAt] ^= 0x01; }, 3214},
        // A file that goes on beyond its last transaction cannot be read to the end.
        {[](Bytes& b) { b.insert(b.end(), 10, 0); }, 3203},
        {[](Bytes& b) { b.push_back(0x24); }, 3202},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Bytes b = good;
        cases[i].first(b);
        putFile(d / "x.trsm", b);
        int code = codeOf([&] {
            Opened f(d / "x.trsm");
            readAll(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
        });
        EXPECT_EQ(code, cases[i].second) << "case " << i;
    }
}

void saveRecords(StgFile& f, const std::function<void(StgWriter&)>& write) {
    StgWriter w(nullptr, stg::TXN_SEQUENCE);
    w.begin();
    write(w);
    w.finish();
    w.writeTo(f);
    f.commit();
}

TEST(StgValues, RecordStreamsReadBackAcrossTransactionsUpToTheLastByte) {
    TestDir d;
    Opened f(d / "a.trsm");
    // The number encoding is shared with object files and tested there.
    saveRecords(f, [&](StgWriter& w) { w.writeWord(0x12345678); });
    // Then pointers over two blocks, an empty stream, plain random bytes, a number with a fifth
    // leading byte, and a last record held entirely in a pointer copy.
    Bytes first = lztest::alphabetText(65537, "abcd", 5), second = lztest::randomBytes(65536, 5);
    Bytes third(300, 'x');
    for (int i = 0; i < 100; ++i)
        third[i] = third[200 + i] = static_cast<uint8_t>('a' + i % 26);
    const Bytes tooLong = {0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};
    for (const Bytes& b : std::vector<Bytes>{first, {}, second, tooLong, third})
        saveRecords(f, [&](StgWriter& w) { w.writeBytes(b); });
    f.close();
    f.open();
    StgReader r(f, 12, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    EXPECT_EQ(r.readWord(), 0x12345678u);
    auto readAndCompare = [&](const Bytes& want) {
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_FALSE(r.eof()) << i;
            ASSERT_EQ(r.readByte(), want[i]) << i;
        }
    };
    readAndCompare(first);
    readAndCompare(second);
    EXPECT_EQ(r.readNumber(), 0);
    EXPECT_EQ(codeOf([&] { r.readNumber(); }), 3100);
    readAndCompare(third);
    EXPECT_TRUE(r.eof());
    EXPECT_EQ(codeOf([&] { r.readByte(); }), 4204);  // nothing beyond the end
}

// Created, written, rolled back, committed, reopened; a writer excludes every other opener,
// readers share, and a file renamed over the name while one waited is the one it opens. The
// header is checked position by position, and writes stop at the size limit.
TEST(StgFile, CommittedLengthLastsOpenersShareOrWaitAndHeaderAndSizeAreChecked) {
    TestDir d;
    auto openCode = [](const std::string& p) { return codeOf([&] { StgFile(p, 20, 10).open(); }); };
    StgFile f(d / "a.trsm", 20, 10);
    f.rollback();  // closed: nothing happens
    {
        FaultOs calls;
        f.open();
        EXPECT_EQ(calls.count(FaultOs::Call::Fsync), 1);  // the folder, so the new name lasts
    }
    EXPECT_EQ(d.read("a.trsm"), "$$**20201010");
    {
        LockPatience brief(50);
        for (auto access : {StgFile::Access::Write, StgFile::Access::Read}) {
            StgFile second(d / "a.trsm", 20, 10);
            try {
                second.open(access);
                ADD_FAILURE() << "opened beside a writer";
            } catch (const Error& e) {
                EXPECT_TRUE(e.code == 3000 && e.cause && e.cause->code == 3018) << e.chainText();
            }
            EXPECT_FALSE(second.isOpen());
        }
    }
    f.append(std::string(1000, 'k').data(), 1000);
    EXPECT_EQ(fs::file_size(d / "a.trsm"), 1012u);
    f.rollback();
    EXPECT_EQ(f.end(), 12u);
    EXPECT_EQ(fs::file_size(d / "a.trsm"), 12u);
    char buf[4];
    EXPECT_EQ(f.read(5000, buf, 4), 0u);
    EXPECT_EQ(f.read(10, buf, 4), 2u);
    f.append("0123456789", 10);
    f.commit();
    f.close();
    d.write("a.trsm", "$$**20201010abcdefghijk");  // another program appended
    f.open();
    EXPECT_TRUE(f.grown());
    f.rollback();  // never below what open found
    EXPECT_EQ(fs::file_size(d / "a.trsm"), 23u);
    f.close();
    d.write("a.trsm", "$$**20201010abc");
    EXPECT_EQ(codeOf([&] { f.open(); }), 3003);
    EXPECT_TRUE(f.isOpen());  // until close
    f.close();
    EXPECT_EQ(openCode(d / "a.trsm"), 0);

    StgFile r1(d / "a.trsm", 20, 10), r2(d / "a.trsm", 20, 10), late(d / "a.trsm", 20, 10);
    r1.open(StgFile::Access::Read);
    r2.open(StgFile::Access::Read);
    d.write("b.trsm", "$$**20201010" + std::string(30, 'n'));
    std::atomic<bool> waiting = false;
    LockPatience patient(5000, [&](const char*) { waiting = true; });
    std::thread writer([&] { late.open(); });
    while (!waiting)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    fs::rename(d / "b.trsm", d / "a.trsm");
    r1.close();
    r2.close();
    writer.join();
    EXPECT_EQ(late.committedSize(), 42u);  // the file now under the name

    const std::pair<std::string, int> cases[] = {
        {"$$**2020", 3011},          // too short
        {"$$**2020101x", 3012},      // last digit a letter
        {"$$*x20201010", 3013},      // fourth byte not an asterisk
        {"$x**2020101x", 3013},      // the first bad position decides
        {"$$**20211010", 3014},      // another type
        {"$$**20201011", 3015},      // storage part newer
        {"$$**20201110", 3015},      // caller part newer
        {"$$**20200005", 0},         // older parts are read
        {"$$**20201010trailing", 0}  // what follows is the transactions' business
    };
    for (const auto& [header, code] : cases) {
        d.write("h.trsm", header);
        EXPECT_EQ(openCode(d / "h.trsm"), code) << header;
    }
    d.write("v.trsm", "$$**20200910");
    Opened g(d / "v.trsm");
    EXPECT_EQ(g.version(), 910);
    // Writes stop at the size limit; a sparse file stands for a full one.
    const uint64_t limit = StgFile::SIZE_LIMIT;
    d.write("big.trsm", "$$**20201010");
    fs::resize_file(d / "big.trsm", limit - 8);
    Opened big(d / "big.trsm");
    EXPECT_EQ(codeOf([&] { big.append("0123456789", 10); }), 3008);
    EXPECT_EQ(fs::file_size(d / "big.trsm"), limit - 8);
    big.append("01234567", 8);
    big.commit();
    big.close();
    EXPECT_EQ(openCode(d / "big.trsm"), 0);
    fs::resize_file(d / "big.trsm", limit + 1);
    EXPECT_EQ(openCode(d / "big.trsm"), 3002);
}

std::string readAll(FileReader& r) {
    std::string s;
    for (uint8_t b; r.getByte(b);)
        s += static_cast<char>(b);
    return s;
}

void setTime(const std::string& path, time_t sec, long nsec) {
    const struct timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

TEST(FileReader, DeliversEveryByteWithItsCrcAndTimeRefusesWhatItCannotReadAndSeesChanges) {
    TestDir dir;
    dir.write("ten", "0123456789");
    setTime(dir / "ten", -2, 500000000);  // 1.5 s before 1970, truncated toward zero
    std::vector<os::DirEntry> listing;    // the scan must see the same time
    ASSERT_EQ(os::sys().listDir(dir.path().c_str(), listing), 0);
    EXPECT_EQ(listing.at(0).mtime, -1);
    FileReader r(dir / "ten", 4);
    r.open();
    EXPECT_EQ(r.mtime(), -1);
    auto window = [&] { return std::string(reinterpret_cast<const char*>(r.buffer()), r.len()); };
    for (auto [n, want] : {std::pair{0, "0123"}, {3, "3456"}, {4, "789"}, {0, "789"}, {3, ""}}) {
        r.shift(static_cast<size_t>(n));
        EXPECT_EQ(window(), want) << n;
    }
    EXPECT_EQ(r.close(), crc32::of("0123456789", 10));

    // Open is refused for what is not a plain file, is held by another or passes a gibibyte.
    dir.write("big", "");
    for (off_t size : {off_t{1073741824}, off_t{1073741825}}) {
        ASSERT_EQ(::truncate((dir / "big").c_str(), size), 0);  // sparse: no disk space used
        FileReader r(dir / "big", 16);
        EXPECT_EQ(codeOf([&] { r.open(); }), size == 1073741824 ? 0 : 3602);
    }
    dir.write("f", "content");
    dir.mkdirs("sub");
    ASSERT_EQ(::symlink((dir / "f").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    for (const char* name : {"missing", "sub", "link", "fifo"})
        EXPECT_EQ(codeOf([&] { FileReader(dir / name, 4).open(); }), 3600) << name;
    int dirFd =
        ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);  // nor is a link written through
    EXPECT_EQ(codeOf([&] { FileWriter(dirFd, "link", 4).open(); }), 3500);
    ::close(dirFd);

    FileReader first(dir / "f", 4);
    first.open();
    EXPECT_EQ(codeOf([&] { FileWriter(dir / "f", 4).open(); }), 3500);
    EXPECT_EQ(dir.read("f"), "content");  // the refused writer emptied nothing
    FaultOs fault;
    fault.failAt(FaultOs::Call::Read, 1, EIO);
    EXPECT_EQ(codeOf([&] { readAll(first); }), 3604);

    // Only the size seen at open is read; a change is reported until the last byte is read.
    auto midRead = [&](const std::function<void(const std::string&)>& change, size_t bufSize) {
        dir.write("g", "0123456789", 1000);
        FileReader r(dir / "g", bufSize);
        r.open();
        change(dir / "g");
        std::string got = readAll(r);
        return std::pair{got, r.changedWhileRead()};
    };
    auto append = [](const std::string& p) { std::ofstream(p, std::ios::app) << "abc"; };
    EXPECT_EQ(midRead(append, 4), std::pair(std::string("0123456789"), true));
    EXPECT_EQ(midRead(append, 16), std::pair(std::string("0123456789"), false));
    auto shrink = [](const std::string& p) { EXPECT_EQ(::truncate(p.c_str(), 6), 0); };
    EXPECT_EQ(midRead(shrink, 4), std::pair(std::string("012345"), true));
    // A rewrite of equal size that puts the old time back is still seen (its change time).
    auto rewrite = [](const std::string& p) {
        std::fstream(p, std::ios::in | std::ios::out) << "ABCDEFGHIJ";
        setTime(p, 1000, 0);
    };
    // Let the coarse file-system clock move past the creation first.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(midRead(rewrite, 4), std::pair(std::string("0123EFGHIJ"), true));
}

// The time set before close is checked by the export scenario.
TEST(FileWriter, WritesPiecesOfEverySizeOverAnOlderContent) {
    TestDir dir;
    dir.write("f", "an older and longer content");
    const std::string data = "abcdefghijklm";
    FileWriter w(dir / "f", 4);
    w.open();
    // Pieces smaller than, equal to, straddling and larger than the buffer, and an empty one.
    size_t cut[] = {0, 1, 1, 5, 9, 12};
    for (size_t i = 0; i + 1 < std::size(cut); ++i)
        w.write({reinterpret_cast<const uint8_t*>(data.data()) + cut[i], cut[i + 1] - cut[i]});
    w.putByte('m');
    EXPECT_EQ(w.close(), crc32::of(data.data(), data.size()));
    EXPECT_EQ(dir.read("f"), data);
}

}  // namespace
