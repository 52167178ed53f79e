#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/os/os.h"
#include "archive/support/TempFileList.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Removes the tree, never through a link; the first failure ends the removal and names the path.
TEST(DelDir, RemovesTheTreeButNeverFollowsALinkAndStopsAtTheFirstFailure) {
    TestDir dir;
    dir.write("tree/a.txt", "a");
    dir.write("tree/sub/deeper/b.txt", "b");
    dir.mkdirs("tree/empty");
    dir.write("outside/keep.txt", "keep");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/sub/link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nothing").c_str(), (dir / "tree/dangling").c_str()), 0);
    EXPECT_FALSE(isDirectory((dir / "tree/sub/link").c_str()));
    EXPECT_TRUE(pathExists((dir / "tree/dangling").c_str()));
    delDir((dir / "tree").c_str());
    EXPECT_FALSE(fs::exists(dir / "tree"));
    EXPECT_EQ(dir.read("outside/keep.txt"), "keep");

    for (const char* f : {"t/1", "t/2", "t/sub/x"})
        dir.write(f, "");
    auto failure = [&] {
        try {
            delDir((dir / "t").c_str());
        } catch (Error& e) {
            return std::move(e);
        }
        ADD_FAILURE() << "no error";
        return Error();
    };
    FaultOs fault;
    fault.failAt(FaultOs::Call::Unlink, 2, EACCES);
    Error e = failure();
    // delFile's own error, not wrapped: the caller adds its context.
    EXPECT_EQ(e.code, 5000);
    EXPECT_EQ(e.text + "|" + e.cause->text,
              "Could not delete file " + (dir / "t/2") + "|Permission denied");
    EXPECT_FALSE(fs::exists(dir / "t/1"));
    EXPECT_TRUE(fs::exists(dir / "t/sub/x"));
    fault.failAt(FaultOs::Call::Rmdir, 1, EBUSY);
    e = failure();
    EXPECT_EQ(e.code, 5004);
    EXPECT_EQ(e.text, "Could not remove folder " + (dir / "t/sub"));
}

class TempFiles : public ::testing::Test {
  protected:
    void TearDown() override { tempSub() = "Tresmo"; }
    static std::string& tempSub() {
        return findSetting("tempSub", Setting::STRING, false)->_string;
    }
    static std::string tmp() { return std::getenv("TMPDIR"); }
};

TEST_F(TempFiles, CopiesAreNumberedAndAFileThatWouldNotGoIsReportedAndTriedOnceMore) {
    TempFileList list;
    std::string first = list.add("report.doc");
    std::ofstream(first).put('x');  // a name is taken once a file exists under it
    std::string second = list.add("report.doc");
    EXPECT_EQ(second, tmp() + "/Tresmo/report_002.doc");
    std::ofstream(second).put('x');
    const char* kept = list.at(0);
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(list.add("/some/where/README"), nullptr);
    EXPECT_EQ(std::string(list.at(2)), tmp() + "/Tresmo/README_001");
    EXPECT_EQ(kept, list.at(0));  // returned paths stay valid while the list grows
    RecordingPresenter rec;
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Unlink, 2, EBUSY);  // the second copy, the first time
        list.clear();
    }
    ASSERT_EQ(rec.warnings.size(), 1u);
    EXPECT_EQ(rec.warnings[0].text, "Could not delete temporary file " + second);
    EXPECT_FALSE(fs::exists(second));  // the second try succeeded
    EXPECT_EQ(list.at(21), nullptr);
}

TEST_F(TempFiles, UniqueNamesRunOutAfterMaxCount) {
    TestDir dir;
    const char* d = dir.path().c_str();
    dir.write("a_1.txt", "");
    dir.write("a_2.txt", "");
    char buf[MAX_PATH];
    ASSERT_TRUE(makeUniquePath(buf, sizeof buf, d, "a.txt", "%s_%d", 3));
    EXPECT_EQ(std::string(buf), dir / "a_3.txt");
    dir.write("a_3.txt", "");
    EXPECT_FALSE(makeUniquePath(buf, sizeof buf, d, "a.txt", "%s_%d", 3));
}

TEST_F(TempFiles, SubfolderSettingDecidesTheFolder) {
    char buf[MAX_PATH];
    tempSub() = "";
    ASSERT_TRUE(getTempDir(buf, sizeof buf));
    EXPECT_EQ(std::string(buf), tmp());
    // A file in the way of the subfolder, or a subfolder others may write to, makes it unusable.
    tempSub() = "blocked";
    std::ofstream(tmp() + "/blocked").put('x');
    EXPECT_FALSE(getTempDir(buf, sizeof buf));
    EXPECT_EQ(TempFileList().add("x.txt"), nullptr);
    tempSub() = "shared";
    fs::create_directory(tmp() + "/shared");
    fs::permissions(tmp() + "/shared", fs::perms::all);
    EXPECT_FALSE(getTempDir(buf, sizeof buf));
}

}  // namespace
