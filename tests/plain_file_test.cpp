#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/FileWriter.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

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

TEST(FileReader, DeliversEveryByteAcrossRefillsWithItsCrcAndTime) {
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
}

TEST(FileReader, OpenIsRefusedForWhatIsNotAPlainFileOrIsHeldByAnotherOrPassesAGibibyte) {
    TestDir dir;
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
}

// Only the size seen at open is read; a change is reported until the last byte is read.
TEST(FileReader, ChangesDuringTheReadAreReported) {
    TestDir dir;
    auto midRead = [&](const std::function<void(const std::string&)>& change, size_t bufSize) {
        dir.write("f", "0123456789", 1000);
        FileReader r(dir / "f", bufSize);
        r.open();
        change(dir / "f");
        std::string got = readAll(r);
        return std::pair{got, r.changedWhileRead()};
    };
    auto append = [](const std::string& p) {
        int fd = ::open(p.c_str(), O_WRONLY | O_APPEND);
        EXPECT_EQ(::write(fd, "abc", 3), 3);
        ::close(fd);
    };
    EXPECT_EQ(midRead(append, 4), std::pair(std::string("0123456789"), true));
    EXPECT_EQ(midRead(append, 16), std::pair(std::string("0123456789"), false));
    auto shrink = [](const std::string& p) { EXPECT_EQ(::truncate(p.c_str(), 6), 0); };
    EXPECT_EQ(midRead(shrink, 4), std::pair(std::string("012345"), true));
    // A rewrite of equal size that puts the old time back is still seen (its change time).
    auto rewrite = [](const std::string& p) {
        int fd = ::open(p.c_str(), O_WRONLY);
        EXPECT_EQ(::pwrite(fd, "ABCDEFGHIJ", 10, 0), 10);
        ::close(fd);
        setTime(p, 1000, 0);
    };
    // Let the coarse file-system clock move past the creation first.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(midRead(rewrite, 4), std::pair(std::string("0123EFGHIJ"), true));
}

TEST(FileWriter, WritesPiecesOfEverySizeAndTheTimeAtClose) {
    TestDir dir;
    dir.write("f", "an older and longer content");
    const std::string data = "abcdefghijklm";
    FileWriter w(dir / "f", 4);
    w.open();
    w.setFileTime(1000000000);
    // Pieces smaller than, equal to, straddling and larger than the buffer, and an empty one.
    size_t cut[] = {0, 1, 1, 5, 9, 12};
    for (size_t i = 0; i + 1 < std::size(cut); ++i)
        w.write({reinterpret_cast<const uint8_t*>(data.data()) + cut[i], cut[i + 1] - cut[i]});
    w.putByte('m');
    EXPECT_EQ(w.close(), crc32::of(data.data(), data.size()));
    EXPECT_EQ(dir.read("f"), data);
    struct stat st = {};
    ASSERT_EQ(::stat((dir / "f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

}  // namespace
