#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/support/TempFileList.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <gtest/gtest.h>

#include <array>
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
    list.add("report.doc");
    std::string second = list.add("report.doc");
    const std::string dir = list.dir();
    EXPECT_EQ(second, dir + "/report_002.doc");
    const char* kept = list.at(0);
    for (int i = 0; i < 20; ++i)
        ASSERT_NE(list.add("/some/where/README"), nullptr);
    EXPECT_EQ(std::string(list.at(2)), dir + "/README_001");
    EXPECT_EQ(kept, list.at(0));  // returned paths stay valid while the list grows
    char buf[MAX_PATH];           // unique names run out after the given count
    EXPECT_FALSE(makeUniquePath(buf, sizeof buf, dir.c_str(), "report.doc", "%s_%03d", 2));
    ASSERT_TRUE(makeUniquePath(buf, sizeof buf, dir.c_str(), "report.doc", "%s_%03d", 3));
    EXPECT_EQ(std::string(buf), dir + "/report_003.doc");
    std::ofstream(dir + "/.~lock.report_001.doc#").put('x');  // what a viewer leaves beside
    RecordingPresenter rec;
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Unlink, 2, EBUSY);  // the second copy, the first time
        list.clear();
    }
    ASSERT_EQ(rec.warnings.size(), 1u);
    EXPECT_EQ(rec.warnings[0].text, "Could not delete temporary file " + second);
    EXPECT_FALSE(fs::exists(dir));  // the second try succeeded, and the folder went too
    EXPECT_EQ(list.at(21), nullptr);
}

// "tempSub" names the private folders; a link in one is never followed (see also CliScenario).
// Folders that ended processes left are removed by the next list that makes one; one of a
// running process and one of another name stay (a recent one: see CliScenario).
TEST_F(TempFiles, EachListMakesAPrivateFolderSweepsStaleOnesAndNeverFollowsALink) {
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    const std::pair<std::string, bool> stale[] = {
        {"Tresmo-999999999-abcdef", false},
        {"Tresmo-" + std::to_string(getpid()) + "-abcdef", true},
        {"Other-999999997-abcdef", true}};
    for (const auto& [name, stays] : stale) {
        fs::create_directories(tmp() + "/" + name + "/sub");
        fs::last_write_time(tmp() + "/" + name, old);
    }
    TestDir dir;
    dir.write("victim.txt", "mine");
    dir.mkdirs("xdg");
    const std::string pid = "-" + std::to_string(getpid()) + "-", xdgDir = dir / "xdg";
    for (auto [setting, xdg, prefix] :
         std::vector<std::array<std::string, 3>>{{"Tresmo", "", "Tresmo"},
                                                 {"", "", "Tresmo"},
                                                 {"mine", xdgDir, "mine"},
                                                 {"../up", xdgDir, "Tresmo"}}) {
        tempSub() = setting;
        ScopedEnv runtime("XDG_RUNTIME_DIR", xdg);
        TempFileList list;
        ASSERT_NE(list.add("report.doc"), nullptr) << setting;
        fs::path folder = list.dir();
        EXPECT_EQ(folder.parent_path(), xdg.empty() ? tmp() : xdg);
        EXPECT_EQ(folder.filename().string().rfind(prefix + pid, 0), 0u) << folder;
        EXPECT_EQ(fs::symlink_status(folder).permissions(), fs::perms::owner_all);
        fs::create_symlink(dir / "victim.txt", folder / "report_002.doc");
        EXPECT_EQ(std::string(list.add("report.doc")), (folder / "report_003.doc").string());
        list.clear();
        EXPECT_FALSE(fs::exists(folder));
    }
    EXPECT_EQ(dir.read("victim.txt"), "mine");
    for (const auto& [name, stays] : stale)
        EXPECT_EQ(fs::exists(tmp() + "/" + name), stays) << name;
}

}  // namespace
