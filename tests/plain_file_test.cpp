#include "support/FaultOs.h"
#include "support/TestDir.h"

#include "archive/Crc32.h"
#include "archive/FileReader.h"
#include "archive/FileWriter.h"
#include "archive/msg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

int codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& e) {
        EXPECT_TRUE(e.hasCode(9000)) << e.chainText();
        return e.code;
    }
    return 0;
}

std::string readAll(FileReader& r) {
    std::string s;
    uint8_t b;
    while (r.getByte(b))
        s += static_cast<char>(b);
    return s;
}

void setTime(const std::string& path, time_t sec, long nsec) {
    const struct timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
}

void append(const std::string& path, const std::string& data) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

uint32_t crc32Of(const std::string& s) {
    return crc32::of(s.data(), s.size());
}

struct stat statOf(const std::string& path) {
    struct stat st = {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st;
}

TEST(FileReader, EmptyFileEndsAtOnceWithCrcZero) {
    TestDir dir;
    dir.write("e", "", 1000);
    FileReader r(dir / "e", 16);
    r.open();
    uint8_t b;
    EXPECT_FALSE(r.getByte(b));
    EXPECT_EQ(r.size(), 0u);
    EXPECT_EQ(r.mtime(), 1000);
    EXPECT_FALSE(r.changedWhileRead());
    EXPECT_EQ(r.close(), 0u);
}

TEST(FileReader, SmallBufferDeliversEveryByteInOrderWithTheFileCrc) {
    TestDir dir;
    dir.write("d", "123456789");
    FileReader r(dir / "d", 4);
    r.open();
    EXPECT_EQ(readAll(r), "123456789");
    EXPECT_FALSE(r.changedWhileRead());
    EXPECT_EQ(r.close(), 0xCBF43926u);

    dir.write("ten", "0123456789");
    FileReader r10(dir / "ten", 4);
    r10.open();
    EXPECT_EQ(readAll(r10), "0123456789");
}

TEST(FileReader, ShiftDropsFromTheFrontAndRefills) {
    TestDir dir;
    dir.write("ten", "0123456789");
    FileReader r(dir / "ten", 4);
    r.open();
    auto window = [&] { return std::string(reinterpret_cast<const char*>(r.buffer()), r.len()); };
    EXPECT_EQ(window(), "0123");
    r.shift(0);
    EXPECT_EQ(window(), "0123");
    r.shift(3);
    EXPECT_EQ(window(), "3456");
    r.shift(4);
    EXPECT_EQ(window(), "789");
    r.shift(0);
    EXPECT_EQ(window(), "789");
    r.shift(3);
    EXPECT_EQ(r.len(), 0u);
    EXPECT_FALSE(r.changedWhileRead());
    EXPECT_EQ(r.close(), crc32Of("0123456789"));
}

TEST(FileReader, TimeIsTruncatedTowardZero) {
    TestDir dir;
    dir.write("f", "x");
    setTime(dir / "f", 1700000000, 999999999);
    FileReader r(dir / "f", 4);
    r.open();
    EXPECT_EQ(r.mtime(), 1700000000);
    r.close();
    // 1.5 s before 1970 is tv_sec -2 plus half a second: truncated it is -1, not -2.
    setTime(dir / "f", -2, 500000000);
    FileReader before(dir / "f", 4);
    before.open();
    EXPECT_EQ(before.mtime(), -1);
}

TEST(FileReader, SizeLimitIsOneGibibyte) {
    TestDir dir;
    for (off_t size : {off_t{1073741824}, off_t{1073741825}}) {
        int fd = ::open((dir / "big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, size), 0);  // sparse: no disk space used
        ::close(fd);
        FileReader r(dir / "big", 16);
        int code = codeOf([&] { r.open(); });
        if (size == 1073741824) {
            EXPECT_EQ(code, 0);
            EXPECT_EQ(r.size(), 1073741824u);
            EXPECT_EQ(r.len(), 16u);
        } else {
            EXPECT_EQ(code, 3602);
        }
    }
}

TEST(FileReader, OpenFailuresAreReported) {
    TestDir dir;
    EXPECT_EQ(codeOf([&] { FileReader(dir / "missing", 4).open(); }), 3600);
    dir.mkdirs("sub");
    EXPECT_EQ(codeOf([&] { FileReader(dir / "sub", 4).open(); }), 3600);
    dir.write("target", "secret");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(codeOf([&] { FileReader(dir / "link", 4).open(); }), 3600);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
    EXPECT_EQ(codeOf([&] { FileReader(dir / "fifo", 4).open(); }), 3600);
}

TEST(FileReader, SecondOpenerIsRefusedAndWriterLeavesTheFileAlone) {
    TestDir dir;
    dir.write("f", "content");
    FileReader first(dir / "f", 4);
    first.open();
    EXPECT_EQ(codeOf([&] { FileReader(dir / "f", 4).open(); }), 3600);
    EXPECT_EQ(codeOf([&] { FileWriter(dir / "f", 4).open(); }), 3500);
    EXPECT_EQ(dir.read("f"), "content");
    first.close();
    FileReader again(dir / "f", 4);
    EXPECT_EQ(codeOf([&] { again.open(); }), 0);
}

TEST(FileReader, ReadErrorIsReported) {
    TestDir dir;
    dir.write("f", "0123456789");
    FileReader r(dir / "f", 4);
    r.open();
    FaultOs fault;
    fault.failAt(FaultOs::Call::Read, 1, EIO);
    EXPECT_EQ(codeOf([&] { readAll(r); }), 3604);
}

// A file that grows after open: the bytes beyond the measured size are never delivered. When
// it grows before the last byte was read, the copy may be torn, and that is reported; when
// every byte was in before it grew, the copy is whole.
TEST(FileReader, GrowthIsNotReadAndReportedOnlyWhenItHappensMidRead) {
    TestDir dir;
    dir.write("f", "0123456789", 1000);
    FileReader r(dir / "f", 4);
    r.open();
    append(dir / "f", "abcde");
    EXPECT_EQ(readAll(r), "0123456789");
    EXPECT_EQ(r.size(), 10u);
    EXPECT_TRUE(r.changedWhileRead());
    EXPECT_EQ(r.close(), crc32Of("0123456789"));

    dir.write("g", "0123456789", 1000);
    FileReader whole(dir / "g", 16);
    whole.open();
    append(dir / "g", "abcde");
    EXPECT_EQ(readAll(whole), "0123456789");
    EXPECT_FALSE(whole.changedWhileRead());
}

TEST(FileReader, ShrinkingMidReadEndsEarlyAndIsReported) {
    TestDir dir;
    dir.write("f", "0123456789");
    FileReader r(dir / "f", 4);
    r.open();
    ASSERT_EQ(::truncate((dir / "f").c_str(), 6), 0);
    EXPECT_EQ(readAll(r), "012345");
    EXPECT_TRUE(r.changedWhileRead());
}

TEST(FileReader, RewriteMidReadIsReportedEvenWithTheOldTimePutBack) {
    TestDir dir;
    for (bool restoreTime : {false, true}) {
        dir.write("f", "0123456789", 1000);
        // Let the coarse file-system clock move on, so the rewrite's change time differs.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        FileReader r(dir / "f", 4);
        r.open();
        int fd = ::open((dir / "f").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "ABCDEFGHIJ", 10, 0), 10);
        ::close(fd);
        if (restoreTime) setTime(dir / "f", 1000, 0);
        std::string got = readAll(r);
        EXPECT_EQ(got, "0123EFGHIJ");  // a torn copy, which must not be stored
        EXPECT_TRUE(r.changedWhileRead()) << restoreTime;
    }
}

TEST(FileWriter, WritesTheBytesAndTheTimeAfterTheLastWrite) {
    TestDir dir;
    dir.write("f", "an older and longer content");
    FileWriter w(dir / "f", 4);
    w.open();
    w.setFileTime(1000000000);
    for (char c : std::string("123456789"))
        w.putByte(static_cast<uint8_t>(c));
    EXPECT_EQ(w.close(), 0xCBF43926u);
    EXPECT_EQ(dir.read("f"), "123456789");
    EXPECT_EQ(statOf(dir / "f").st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(statOf(dir / "f").st_mtim.tv_nsec, 0);

    FileWriter empty(dir / "e", 4);
    empty.open();
    EXPECT_EQ(empty.close(), 0u);
    EXPECT_EQ(statOf(dir / "e").st_size, 0);
}

TEST(FileWriter, FullBufferIsWrittenByTheNextByteAndTheRestAtClose) {
    TestDir dir;
    FaultOs fault;
    FileWriter w(dir / "f", 1024);
    w.open();
    for (int i = 0; i < 1024; ++i)
        w.putByte(static_cast<uint8_t>(i));
    EXPECT_EQ(fault.count(FaultOs::Call::Write), 0);
    w.putByte(0xAA);
    EXPECT_EQ(fault.count(FaultOs::Call::Write), 1);
    EXPECT_EQ(statOf(dir / "f").st_size, 1024);
    w.close();
    EXPECT_EQ(fault.count(FaultOs::Call::Write), 2);
    EXPECT_EQ(statOf(dir / "f").st_size, 1025);
}

TEST(FileWriter, ShortWritesAreContinuedAndFailuresReported) {
    TestDir dir;
    {
        FaultOs fault;
        fault.shortWrites(3);
        FileWriter w(dir / "short", 64);
        w.open();
        for (char c : std::string("continued in pieces"))
            w.putByte(static_cast<uint8_t>(c));
        w.close();
        EXPECT_EQ(dir.read("short"), "continued in pieces");
    }
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Write, 2, ENOSPC);
        FileWriter w(dir / "full", 4);
        w.open();
        EXPECT_EQ(codeOf([&] {
                      for (int i = 0; i < 12; ++i)
                          w.putByte('x');
                  }),
                  3501);
    }
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Futimens, 1, EPERM);
        FileWriter w(dir / "time", 4);
        w.open();
        w.setFileTime(5);
        EXPECT_EQ(codeOf([&] { w.close(); }), 3501);
    }
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Open, 1, EACCES);
        EXPECT_EQ(codeOf([&] { FileWriter(dir / "denied", 4).open(); }), 3500);
    }
}

TEST(FileWriter, RelativeOpenNeverFollowsALink) {
    TestDir dir;
    dir.mkdirs("target");
    dir.write("canary", "keep");
    ASSERT_EQ(::symlink((dir / "canary").c_str(), (dir / "target/link").c_str()), 0);
    int dirFd = ::open((dir / "target").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    EXPECT_EQ(codeOf([&] { FileWriter(dirFd, "link", 4).open(); }), 3500);
    EXPECT_EQ(dir.read("canary"), "keep");

    FileWriter w(dirFd, "new", 4);
    w.open();
    w.putByte('n');
    w.close();
    ::close(dirFd);
    EXPECT_EQ(dir.read("target/new"), "n");
}

}  // namespace
