#include "support/FaultOs.h"
#include "support/TestDir.h"

#include "archive/objects/ObjIo.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

int codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}

void writeSample(const std::string& path) {
    ObjFileWriter w(1010, 1010);
    w.open(path);
    w.writeString("ab");
    w.writeBool(true);
    w.writeNumber(-1);
    w.close();
}

TEST(ObjFile, ValuesFollowTheHeaderBackToBack) {
    TestDir dir;
    writeSample(dir / "o");
    EXPECT_EQ(dir.read("o"), std::string("$$**10101010ab\0t\xC0", 17));

    ObjFileReader r(1010, 1010);
    r.open(dir / "o");
    EXPECT_EQ(r.readString(260), "ab");
    EXPECT_TRUE(r.readBool());
    EXPECT_EQ(r.readNumber(), -1);
    r.end();
    EXPECT_EQ(codeOf([&] { r.readBool(); }), 3406);
}

TEST(ObjFile, HeaderChecksNameTheFirstOffendingPosition) {
    TestDir dir;
    auto openWith = [&](const std::string& bytes, int32_t type = 1010, int32_t vers = 1010) {
        dir.write("h", bytes);
        ObjFileReader r(type, vers);
        return codeOf([&] { r.open(dir / "h"); });
    };
    EXPECT_EQ(openWith("$$**1010101"), 3409);  // 11 bytes
    EXPECT_EQ(openWith("$$**10x01010"), 3410);
    EXPECT_EQ(openWith("$$*x1010101x"), 3411);  // the '*' comes first
    EXPECT_EQ(openWith("$$**10201010"), 3412);
    EXPECT_EQ(openWith("$$**10101011"), 3413);  // newer minor part
    EXPECT_EQ(openWith("$$**10101110"), 3413);  // newer major part
    EXPECT_EQ(openWith("$$**10101009"), 0);     // older versions are read
    dir.write("h", "$$**10101011");
    ObjFileReader r(1010, 1010);
    try {
        r.open(dir / "h");
        FAIL();
    } catch (const Error& e) {
        EXPECT_EQ(e.text, "Invalid object file version: 1011");
    }
}

TEST(ObjFile, StringsAndNumbersAreBoundedByTheirFormats) {
    TestDir dir;
    auto reader = [&](const std::string& body, ObjFileReader& r) {
        dir.write("s", "$$**10101010" + body);
        r.open(dir / "s");
    };
    {
        ObjFileReader r(1010, 1010);
        reader(std::string("abc\0", 4), r);
        EXPECT_EQ(codeOf([&] { r.readString(3); }), 3402);
    }
    {
        ObjFileReader r(1010, 1010);
        reader("ab", r);
        EXPECT_EQ(codeOf([&] { r.readString(3); }), 3403);
    }
    {
        ObjFileReader r(1010, 1010);
        reader(std::string("\0\0\0\0\x80", 5), r);
        EXPECT_EQ(r.readNumber(), 0);
    }
    {
        ObjFileReader r(1010, 1010);
        reader(std::string("\0\0\0\0\0", 5), r);
        EXPECT_EQ(codeOf([&] { r.readNumber(); }), 3404);
    }
    {
        ObjFileReader r(1010, 1010);
        reader(std::string("\x7F\x7F", 2), r);
        EXPECT_EQ(codeOf([&] { r.readNumber(); }), 3405);
    }
}

TEST(ObjFile, LargeFilesReadAcrossBufferRefills) {
    TestDir dir;
    const int32_t samples[] = {0, 1, 63, 64, 127, 128, -1, -64, -65, 2147483647, -2147483647 - 1};
    {
        ObjFileWriter w(1010, 1010);
        w.open(dir / "big");
        for (int i = 0; i < 700; ++i) {
            w.writeString(std::string(i % 7, static_cast<char>('a' + i % 26)));
            w.writeNumber(samples[i % 11] ^ i);
        }
        w.close();
    }
    EXPECT_GT(std::filesystem::file_size(dir / "big"), 3000u);
    ObjFileReader r(1010, 1010);
    r.open(dir / "big");
    for (int i = 0; i < 700; ++i) {
        ASSERT_EQ(r.readString(20), std::string(i % 7, static_cast<char>('a' + i % 26)));
        ASSERT_EQ(r.readNumber(), samples[i % 11] ^ i);
    }
    r.end();
}

TEST(ObjFile, ASecondOpenerIsRefusedWhileTheFirstHoldsTheFile) {
    TestDir dir;
    writeSample(dir / "o");
    ObjFileReader first(1010, 1010);
    first.open(dir / "o");
    ObjFileReader second(1010, 1010);
    EXPECT_EQ(codeOf([&] { second.open(dir / "o"); }), 3400);
    first.close();
    second.open(dir / "o");
}

TEST(ObjFile, AFailedRewriteLeavesTheOldFileWholeAndNoTemporaryFile) {
    TestDir dir;
    writeSample(dir / "o");
    const std::string old = dir.read("o");
    for (FaultOs::Call call :
         {FaultOs::Call::Write, FaultOs::Call::Fdatasync, FaultOs::Call::Rename}) {
        FaultOs fault;
        fault.failAt(call, 1, call == FaultOs::Call::Write ? ENOSPC : EIO);
        ObjFileWriter w(1010, 1010);
        int code = codeOf([&] {
            w.open(dir / "o");
            w.writeString(std::string(5000, 'x'));
            w.close();
        });
        EXPECT_EQ(code, 3301);
        EXPECT_EQ(dir.read("o"), old);
    }
    // Abandoning a writer without close() keeps the old file too.
    {
        ObjFileWriter w(1010, 1010);
        w.open(dir / "o");
        w.writeString("new");
    }
    EXPECT_EQ(dir.read("o"), old);
    EXPECT_FALSE(std::filesystem::exists(dir / "o.tmp~"));
    // Short writes are continued, not failures.
    FaultOs fault;
    fault.shortWrites(3);
    writeSample(dir / "o");
    EXPECT_EQ(dir.read("o"), old);
}

}  // namespace
