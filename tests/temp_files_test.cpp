#include "support/TestDir.h"

#include "archive/TempFileList.h"
#include "archive/cfg.h"
#include "archive/msg.h"
#include "archive/os.h"
#include "archive/paths.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Fails the Nth unlink (counting from 1) or every rmdir, with a chosen errno; forwards the rest.
class FaultOs : public os::Os {
  public:
    int failUnlinkAt = 0;
    int unlinkErrno = EACCES;
    bool failRmdir = false;
    int unlinks = 0;

    int unlink(const char* path) override {
        if (++unlinks == failUnlinkAt) {
            errno = unlinkErrno;
            return -1;
        }
        return Os::real().unlink(path);
    }
    int rmdir(const char* path) override {
        if (failRmdir) {
            errno = EBUSY;
            return -1;
        }
        return Os::real().rmdir(path);
    }
};

struct Installed {
    explicit Installed(os::Os* o) { os::install(o); }
    ~Installed() { os::install(nullptr); }
};

class Recorder : public Presenter {
  public:
    MsgList msgs;
    void showError(const Error&) override {}
    void showMsgs(const MsgList& list) override {
        msgs.insert(msgs.end(), list.begin(), list.end());
    }
    void verifyFailed(const char*, int, const char*) override {}
};

Error catchError(const std::function<void()>& fn) {
    try {
        fn();
    } catch (Error& e) {
        return std::move(e);
    }
    ADD_FAILURE() << "no error thrown";
    return Error();
}

TEST(DelDir, RemovesTheTreeButNeverFollowsALink) {
    TestDir dir;
    dir.write("tree/a.txt", "a");
    dir.write("tree/sub/deeper/b.txt", "b");
    dir.mkdirs("tree/empty");
    dir.write("outside/keep.txt", "keep");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/sub/link").c_str()), 0);
    delDir((dir / "tree").c_str());
    EXPECT_FALSE(fs::exists(dir / "tree"));
    EXPECT_EQ(dir.read("outside/keep.txt"), "keep");
}

TEST(DelDir, FirstFailureEndsTheRemovalAndNamesTheFile) {
    TestDir dir;
    dir.write("t/1.txt", "");
    dir.write("t/2.txt", "");
    dir.write("t/3.txt", "");
    FaultOs fault;
    fault.failUnlinkAt = 2;
    Error e;
    {
        Installed on(&fault);
        e = catchError([&] { delDir((dir / "t").c_str()); });
    }
    // delFile's own error, not wrapped: the caller adds its context.
    EXPECT_EQ(e.code, 5000) << e.chainText();
    EXPECT_EQ(e.text, "Could not delete file " + (dir / "t/2.txt"));
    ASSERT_NE(e.cause, nullptr);
    EXPECT_EQ(e.cause->code, 9000);
    EXPECT_EQ(e.cause->text, "Permission denied");
    EXPECT_FALSE(fs::exists(dir / "t/1.txt"));
    EXPECT_TRUE(fs::exists(dir / "t/2.txt"));
    EXPECT_TRUE(fs::exists(dir / "t/3.txt"));
}

TEST(DelDir, FolderThatCannotBeRemovedGives5004WithTheSystemText) {
    TestDir dir;
    dir.write("t/sub/x", "");
    FaultOs fault;
    fault.failRmdir = true;
    Error e;
    {
        Installed on(&fault);
        e = catchError([&] { delDir((dir / "t").c_str()); });
    }
    EXPECT_EQ(e.code, 5004);
    EXPECT_EQ(e.text, "Could not remove folder " + (dir / "t/sub"));
    ASSERT_NE(e.cause, nullptr);
    EXPECT_EQ(e.cause->text, "Device or resource busy");
    EXPECT_FALSE(fs::exists(dir / "t/sub/x"));

    // A missing folder lists as empty and then fails to be removed.
    e = catchError([&] { delDir((dir / "none").c_str()); });
    EXPECT_EQ(e.code, 5004);
    EXPECT_EQ(e.cause->text, "No such file or directory");
}

TEST(DelDir, PathLengthLimitsGiveTheirOwnMessages) {
    // The search pattern "<path>/*.*" must fit MAX_PATH with its NUL: 255 bytes of path do.
    std::string fits = "/" + std::string(254, 'p');
    EXPECT_EQ(catchError([&] { delDir(fits.c_str()); }).code, 5004);
    std::string tooLong = fits + "q";
    Error e = catchError([&] { delDir(tooLong.c_str()); });
    EXPECT_EQ(e.code, 5001);
    EXPECT_EQ(e.text, "Folder path too long: " + tooLong);

    TestDir dir;
    std::string base = dir / "t";
    // An entry whose full path needs MAX_PATH bytes without the NUL does not fit.
    std::string name(MAX_PATH - base.size() - 1, 'f');
    ASSERT_LE(name.size(), 255u);
    dir.write("t/" + name, "");
    e = catchError([&] { delDir(base.c_str()); });
    EXPECT_EQ(e.code, 5003);
    EXPECT_EQ(e.text, "Path too long: File " + name + " in folder " + base);
    fs::remove(base + "/" + name);
    dir.mkdirs("t/" + name);
    e = catchError([&] { delDir(base.c_str()); });
    EXPECT_EQ(e.code, 5002);
    EXPECT_EQ(e.text, "Path too long: Subfolder " + name + " of folder " + base);
    // One byte shorter fits, and the tree goes.
    fs::remove(base + "/" + name);
    dir.write("t/" + name.substr(1), "");
    delDir(base.c_str());
    EXPECT_FALSE(fs::exists(base));
}

class TempFiles : public ::testing::Test {
  protected:
    void TearDown() override { findSetting("tempSub", Setting::STRING, false)->_string = "Tresmo"; }
    static std::string tempDir() { return std::string(std::getenv("TMPDIR")) + "/Tresmo"; }
};

TEST_F(TempFiles, CopiesOfOneNameAreNumberedInTheTempSubfolder) {
    TempFileList list;
    const char* first = list.add("report.doc");
    ASSERT_NE(first, nullptr);
    std::string firstPath = first;
    EXPECT_EQ(firstPath, tempDir() + "/report_001.doc");
    EXPECT_TRUE(isDirectory(tempDir().c_str()));
    // A name counts as taken once a file exists under it.
    ASSERT_EQ(close(creat(first, 0600)), 0);
    const char* second = list.add("report.doc");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(second), tempDir() + "/report_002.doc");
    ASSERT_EQ(close(creat(second, 0600)), 0);
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(list.add("/some/where/README"), nullptr);
    EXPECT_EQ(std::string(list.at(2)), tempDir() + "/README_001");
    // The first path stays valid while the list grows.
    EXPECT_EQ(std::string(first), firstPath);

    list.clear();
    EXPECT_FALSE(fs::exists(firstPath));
    EXPECT_FALSE(fs::exists(tempDir() + "/report_002.doc"));
    EXPECT_EQ(list.size(), 22u);
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list.at(i), nullptr);
}

TEST_F(TempFiles, UniqueNamesRunOutAfterMaxCount) {
    TestDir dir;
    dir.write("a_1.txt", "");
    dir.write("a_2.txt", "");
    char buf[MAX_PATH];
    ASSERT_TRUE(makeUniquePath(buf, sizeof buf, dir.path().c_str(), "a.txt", "%s_%d", 3));
    EXPECT_EQ(std::string(buf), dir / "a_3.txt");
    dir.write("a_3.txt", "");
    EXPECT_FALSE(makeUniquePath(buf, sizeof buf, dir.path().c_str(), "a.txt", "%s_%d", 3));
    // Too long for the buffer is a failure too, never a truncated name.
    EXPECT_FALSE(
        makeUniquePath(buf, dir.path().size() + 8, dir.path().c_str(), "b.txt", "%s_%d", 3));
    EXPECT_TRUE(
        makeUniquePath(buf, dir.path().size() + 9, dir.path().c_str(), "b.txt", "%s_%d", 3));
}

TEST_F(TempFiles, TempSubfolderSettingDecidesTheFolder) {
    std::string& sub = findSetting("tempSub", Setting::STRING, false)->_string;
    char buf[MAX_PATH];
    sub = "";
    ASSERT_TRUE(getTempDir(buf, sizeof buf));
    EXPECT_EQ(std::string(buf), std::getenv("TMPDIR"));
    // A file in the way of the subfolder makes the temporary folder unusable.
    sub = "blocked";
    std::string blocked = std::string(std::getenv("TMPDIR")) + "/blocked";
    ASSERT_EQ(close(creat(blocked.c_str(), 0600)), 0);
    EXPECT_FALSE(getTempDir(buf, sizeof buf));
    TempFileList list;
    EXPECT_EQ(list.add("x.txt"), nullptr);
    EXPECT_EQ(list.size(), 0u);
    unlink(blocked.c_str());
}

TEST_F(TempFiles, FileThatCannotBeDeletedIsReportedThenTriedOnceMore) {
    TempFileList list;
    std::string a = list.add("a.txt"), b;
    ASSERT_EQ(close(creat(a.c_str(), 0600)), 0);
    b = list.add("b.txt");
    ASSERT_EQ(close(creat(b.c_str(), 0600)), 0);
    list.add("never-created.txt");
    Recorder rec;
    installPresenter(&rec);
    FaultOs fault;
    fault.failUnlinkAt = 2;  // b.txt, the first time
    fault.unlinkErrno = EBUSY;
    {
        Installed on(&fault);
        list.clear();
    }
    installPresenter(nullptr);
    ASSERT_EQ(rec.msgs.size(), 1u);
    EXPECT_EQ(rec.msgs[0].code, 5005);
    EXPECT_EQ(rec.msgs[0].text, "Could not delete temporary file " + b);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));  // the second try succeeded
    for (size_t i = 0; i < list.size(); ++i)
        EXPECT_EQ(list.at(i), nullptr);
}

}  // namespace
