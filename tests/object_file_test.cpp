// Object files (a checked header, then values back to back) and the file selection in one.
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/objects/FileSel.h"
#include "archive/objects/ObjIo.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <tuple>

namespace {

void writeSample(const std::string& path) {
    ObjFileWriter w(1010, 1010);
    w.open(path);
    w.writeString("ab");
    w.writeBool(true);
    w.writeNumber(-1);
    w.close();
}

TEST(ObjFile, ValuesFollowACheckedHeaderBackToBackAcrossBufferRefills) {
    TestDir dir;
    writeSample(dir / "o");
    EXPECT_EQ(dir.read("o"), std::string("$$**10101010ab\0t\xC0", 17));
    const int32_t samples[] = {0, 1, 63, 64, 127, 128, -1, -64, -65, 2147483647, -2147483647 - 1};
    {
        ObjFileWriter w(1010, 1010);
        w.open(dir / "big");
        for (int i = 0; i < 700; ++i) {
            w.writeString(std::string(i % 7, static_cast<char>('a' + i % 26)));
            w.writeBool(i % 3 == 0);
            w.writeNumber(samples[i % 11] ^ i);
        }
        w.close();
    }
    ObjFileReader r(1010, 1010);
    r.open(dir / "big");
    for (int i = 0; i < 700; ++i) {
        ASSERT_EQ(r.readString(20), std::string(i % 7, static_cast<char>('a' + i % 26)));
        ASSERT_EQ(r.readBool(), i % 3 == 0);
        ASSERT_EQ(r.readNumber(), samples[i % 11] ^ i);
    }
    r.end();
    EXPECT_EQ(codeOf([&] { r.readBool(); }), 3406);

    // Header and value checks name the first offence. Bytes, what is read after the header ('s' a
    // string of at most 3 bytes, 'n' a number), the code.
    const std::tuple<std::string, char, int> cases[] = {
        {"$$**1010101", 0, 3409},  // 11 bytes
        {"$$**10x01010", 0, 3410},
        {"$$*x1010101x", 0, 3411},  // the '*' comes first
        {"$$**10201010", 0, 3412},
        {"$$**10101011", 0, 3413},  // newer minor part
        {"$$**10101110", 0, 3413},  // newer major part
        {"$$**10101009", 0, 0},     // older versions are read
        {std::string("$$**10101010abc\0", 16), 's', 3402},
        {"$$**10101010ab", 's', 3403},
        {std::string("$$**10101010\0\0\0\0\x80", 17), 'n', 0},
        {std::string("$$**10101010\0\0\0\0\0", 17), 'n', 3404},
        {"$$**10101010\x7F\x7F", 'n', 3405},
    };
    for (const auto& [bytes, read, code] : cases) {
        dir.write("h", bytes);
        ObjFileReader h(1010, 1010);
        try {
            h.open(dir / "h");
            if (read == 's') h.readString(3);
            if (read == 'n') h.readNumber();
            EXPECT_EQ(code, 0) << bytes;
        } catch (const Error& e) {
            EXPECT_EQ(e.code, code) << bytes;
        }
    }
}

// Readers share, a writer waits for them and for other writers: whatever runs at once, every
// read finds one writer's whole file.
TEST(ObjFile, ReadersShareWritersTakeTurnsAndAnAbandonedRewriteLeavesTheOldFileWhole) {
    TestDir dir;
    writeSample(dir / "o");
    const std::string old = dir.read("o");
    {
        LockPatience brief(50);
        ObjFileReader first(1010, 1010), second(1010, 1010);
        first.open(dir / "o");
        second.open(dir / "o");
        ObjFileWriter w(1010, 1010);
        EXPECT_EQ(codeOf([&] { w.open(dir / "o"); }), 3300);
    }
    std::atomic<int> failures = 0;
    auto writer = [&](const char* word) {
        for (int i = 0; i < 40; ++i) {
            try {
                ObjFileWriter w(1010, 1010);
                w.open(dir / "o");
                w.writeString(word);
                w.close();
            } catch (const Error&) {
                ++failures;
            }
        }
    };
    std::thread a(writer, "alpha"), b(writer, "beta");
    for (int i = 0; i < 40; ++i) {
        try {
            ObjFileReader r(1010, 1010);
            r.open(dir / "o");
            std::string s = r.readString(10);
            failures += s != "ab" && s != "alpha" && s != "beta";
        } catch (const Error&) {
            ++failures;
        }
    }
    a.join();
    b.join();
    EXPECT_EQ(failures, 0);
    writeSample(dir / "o");
    {
        ObjFileWriter w(1010, 1010);  // abandoned without close()
        w.open(dir / "o");
        w.writeString("new");
    }
    EXPECT_EQ(dir.read("o"), old);
    EXPECT_FALSE(std::filesystem::exists(dir / "o.tmp~"));
}

TEST(FileSel, StoredWithItsFieldsRebasedWhenMovedWithItsFolderAndNotReplacedByAForeignFile) {
    TestDir dir;
    FileSel fresh;
    fresh.setFile(dir / "a.sel");
    ASSERT_TRUE(fresh.write());
    EXPECT_EQ(dir.read("a.sel"), "$$**10101010" + dir / "a.sel" + std::string("\0\0t\0tf", 6));

    // Fields are read back by every command after init; here the folder moves with the file.
    dir.mkdirs("old/proj/src");
    FileSel sel;
    sel.setFile(dir / "old/proj/a.sel");
    sel.setFolder(dir / "old/proj/src");
    for (const char* type : {"TXT", "DOC", "DOC", "doc"})  // case-sensitive, each once
        sel.setListed(type, type[0] != 'd');
    ASSERT_TRUE(sel.write());
    ASSERT_EQ(std::rename((dir / "old").c_str(), (dir / "new").c_str()), 0);
    FileSel back;
    back.setFile(dir / "new/proj/a.sel");
    ASSERT_TRUE(back.read());
    EXPECT_EQ(back.folder(), dir / "new/proj/src");
    EXPECT_EQ(back.types(), (std::vector<std::string>{"TXT", "DOC"}));
    // Without the folder the selection reads back with none, and without failure.
    ASSERT_EQ(std::rename((dir / "new/proj/src").c_str(), (dir / "gone").c_str()), 0);
    ASSERT_TRUE(back.read());
    EXPECT_EQ(back.folder(), "");

    // A foreign file is reported with its cause and leaves the selection as it was.
    RecordingPresenter shown;
    dir.write("foreign.sel", "$$**20201010");
    FileSel foreign;
    foreign.setFile(dir / "foreign.sel");
    foreign.setFolder("/kept");
    EXPECT_FALSE(foreign.read());
    EXPECT_EQ(foreign.folder(), "/kept");
    ASSERT_EQ(shown.errors.size(), 1u);
    EXPECT_EQ(shown.errors[0].code, 2101);
    EXPECT_EQ(shown.errors[0].cause->code, 3412);
}

}  // namespace
