#include "stg_test_util.h"
#include "support/FaultOs.h"
#include "support/TestDir.h"

#include "archive/storage/StgFile.h"
#include "archive/support/msg.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string bytesOf(const std::string& path) {
    Bytes b = fileBytes(path);
    return std::string(b.begin(), b.end());
}

int openCode(const std::string& path) {
    return errorCode([&] {
        StgFile f(path, 20, 10);
        f.open();
        f.close();
    });
}

TEST(StgFile, CreateRollbackAndReopenKeepTheCommittedLength) {
    TestDir d;
    StgFile f(d / "a.trsm", 20, 10);
    f.rollback();  // closed: nothing happens
    {
        FaultOs calls;
        f.open();
        EXPECT_EQ(calls.count(FaultOs::Call::Fsync), 1);  // the folder, so the new name lasts
    }
    EXPECT_EQ(f.committedSize(), 12u);
    EXPECT_EQ(bytesOf(d / "a.trsm"), "$$**20201010");
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
    d.write("a.trsm", "$$**20201010abcdefghij");  // same length, other bytes: not noticed
    f.open();
    f.close();
    d.write("a.trsm", "$$**20201010abcdefghijk");
    EXPECT_EQ(errorCode([&] { f.open(); }), 3003);
    EXPECT_TRUE(f.isOpen());  // until close
    f.close();
    EXPECT_EQ(openCode(d / "a.trsm"), 0);
}

TEST(StgFile, HeaderIsCheckedPositionByPosition) {
    TestDir d;
    const std::pair<std::string, int> cases[] = {
        {"$$**2020", 3011},          // too short
        {"$$**2020101x", 3012},      // last digit a letter
        {"$$*x20201010", 3013},      // fourth byte not an asterisk
        {"$x**2020101x", 3013},      // the first bad position decides
        {"$$**20211010", 3014},      // another type
        {"$$**20201011", 3015},      // storage part newer
        {"$$**20201110", 3015},      // caller part newer
        {"$$**20201009", 0},         // older parts are read
        {"$$**20200005", 0},         //
        {"$$**20201010trailing", 0}  // what follows is the transactions' business
    };
    for (const auto& [header, code] : cases) {
        d.write("h.trsm", header);
        EXPECT_EQ(openCode(d / "h.trsm"), code) << header;
    }
    d.write("v.trsm", "$$**20200910");
    StgFile g(d / "v.trsm", 20, 10);
    g.open();
    EXPECT_EQ(g.version(), 910);
}

TEST(StgFile, SecondOpenerIsRefusedWhileFirstHoldsFile) {
    TestDir d;
    StgFile first(d / "a.trsm", 20, 10);
    first.open();
    StgFile second(d / "a.trsm", 20, 10);
    try {
        second.open();
        ADD_FAILURE() << "opened twice";
    } catch (const Error& e) {
        EXPECT_EQ(e.code, 3000);
        EXPECT_TRUE(e.cause && e.cause->code == 9000);
    }
    EXPECT_FALSE(second.isOpen());
    pid_t pid = fork();  // another process is refused as well
    if (pid == 0) _exit(openCode(d / "a.trsm") == 3000 ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    first.close();
    EXPECT_EQ(openCode(d / "a.trsm"), 0);
}

TEST(StgFile, WritesStopAtSizeLimitOnSparseFile) {
    TestDir d;
    const uint64_t limit = StgFile::SIZE_LIMIT;
    d.write("big.trsm", "$$**20201010");
    fs::resize_file(d / "big.trsm", limit - 8);
    StgFile f(d / "big.trsm", 20, 10);
    f.open();
    EXPECT_EQ(errorCode([&] { f.append("0123456789", 10); }), 3008);
    EXPECT_EQ(fs::file_size(d / "big.trsm"), limit - 8);
    EXPECT_EQ(f.end(), limit - 8);
    f.append("01234567", 8);
    f.commit();
    f.close();
    EXPECT_EQ(openCode(d / "big.trsm"), 0);
    fs::resize_file(d / "big.trsm", limit + 1);
    EXPECT_EQ(openCode(d / "big.trsm"), 3002);
}

TEST(StgFile, CommitSyncsItemsBeforeLinkAndLengthAfter) {
    TestDir d;
    FaultOs calls;
    StgFile f(d / "a.trsm", 20, 10);
    f.open();
    f.reserveLink();
    f.append("items", 5);
    uint8_t link[10] = {'$', '$', '/', '/', 0x80, 0x96, 0x80, 0x80, 0x80, 0x80};
    f.writeLink(link);
    calls.recordUnder(d.path());
    f.commit();
    std::string got;
    for (const FaultOs::Op& op : calls.ops())
        got += std::to_string(int(op.kind)) + " " + std::to_string(op.off) + " " +
               std::to_string(op.data.size()) + ",";
    EXPECT_EQ(got, "3 0 0,1 12 10,2 27 0,3 0 0,");  // sync, link write, truncate, sync
    f.close();
    EXPECT_EQ(bytesOf(d / "a.trsm").substr(12, 10), std::string(link, link + 10));
}

TEST(StgFile, FailedWriteOrSyncLeavesCommittedPrefix) {
    TestDir d;
    {
        StgFile f(d / "a.trsm", 20, 10);
        f.open();
        writeSequence(f, {block({1, 2, 3})});
        f.close();
    }
    const std::string committed = bytesOf(d / "a.trsm");
    Bytes big(70000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    // A save of two transactions: the first run counts its calls, each later one fails one of
    // them, and a save after the failures succeeds again.
    auto save = [&]() -> std::string {
        StgFile f(d / "a.trsm", 20, 10);
        f.open();
        std::string failure;
        try {
            writeContent(f, {block(big), block(big), block({9})});
            writeSequence(f, {block({4, 5}), block({6})});
        } catch (const Error& e) {
            failure = std::to_string(e.code) + (e.cause ? "/" + std::to_string(e.cause->code) : "");
            f.rollback();
        }
        f.close();
        return failure;
    };
    fs::copy_file(d / "a.trsm", d / "keep.trsm");
    int pwrites;
    {
        FaultOs counter;
        ASSERT_EQ(save(), "");
        pwrites = counter.count(FaultOs::Call::Pwrite);
        ASSERT_EQ(counter.count(FaultOs::Call::Fdatasync), 2);
    }
    ASSERT_GT(pwrites, 5);
    EXPECT_GT(bytesOf(d / "a.trsm").size(), committed.size());
    for (int i = 1; i <= pwrites + 2; ++i) {
        fs::remove(d / "a.trsm");
        fs::copy_file(d / "keep.trsm", d / "a.trsm");
        FaultOs fault;
        if (i <= pwrites)
            fault.failAt(FaultOs::Call::Pwrite, i, i % 2 ? ENOSPC : EIO);
        else
            fault.failAt(FaultOs::Call::Fdatasync, i - pwrites, EIO);
        std::string failure = save();
        EXPECT_TRUE(failure == "3010/9000" || failure == "3005/9000") << i << ": " << failure;
        EXPECT_EQ(bytesOf(d / "a.trsm"), committed) << "call " << i;
    }
    EXPECT_EQ(save(), "");
    EXPECT_GT(bytesOf(d / "a.trsm").size(), committed.size());
}

}  // namespace
