#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/objects/ToolConfig.h"
#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

// Waits for the stand-in tool's argument file and returns the arguments after the program.
std::vector<std::string> argsSeen(const std::string& file) {
    for (int i = 0; i < 500 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(file, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t p = 0; p < all.size();) {
        size_t e = all.find('\0', p);
        args.push_back(all.substr(p, e - p));
        p = e + 1;
    }
    if (!args.empty()) args.erase(args.begin());
    fs::remove(file);
    return args;
}

}  // namespace

TEST(OpenVersion, ViewerAndDiffGetTheWorkingFileOrRestoredCopiesEachAsOneArgument) {
    // Two versions of one file whose name holds what a shell would act on.
    TestDir dir;
    FileSel sel;
    Tresmo a;
    RecordingPresenter shown;
    const std::string name = "a \"b\" $(touch canary); c.txt";
    const int64_t t1 = T0 + 100, t2 = T0 + 200;
    sel.setFolder(dir / "w");
    a.setPath(dir / "w.trsm");
    dir.write("w/" + name, "version one", T0);
    ASSERT_TRUE(a.refresh(sel, t1) && a.save());
    dir.write("w/" + name, "version two", T0 + 150);
    ASSERT_TRUE(a.refresh(sel, t2) && a.save() && a.refresh(sel, t2 + 1));
    setenv("ARGV_DUMP_FILE", (dir / "argv").c_str(), 1);
    auto select = [&](int64_t t) {
        a.setRange(t, t);
        a.updateFolderInfo();
        a.selectFile(a.root()->firstChild, true);
    };
    auto read = [&](const std::string& path) {
        return dir.read(fs::relative(path, dir.path()).string());
    };
    ToolConfig& viewers = viewerConfig();
    ToolConfig& diffs = diffToolConfig();
    viewers.count();  // loads the stored tools before one is added
    diffs.count();
    viewers.add(TRESMO_TOOL_argv_dump, "--view", "txt");
    diffs.add(TRESMO_TOOL_argv_dump, "-u %1 %2", "txt");
    // The range ends now: the working file itself; unchanged since the last save, so no diff.
    select(a.now());
    ASSERT_TRUE(a.canOpenFile(false));
    EXPECT_FALSE(a.canOpenFile(true));
    a.openFile(false);
    EXPECT_EQ(argsSeen(dir / "argv"), (std::vector<std::string>{"--view", dir / ("w/" + name)}));
    // A range in the past: the version of that time, restored into a temporary file.
    select(t1);
    EXPECT_FALSE(a.canOpenFile(true));  // nothing before the first version
    a.openFile(false);
    std::vector<std::string> view = argsSeen(dir / "argv");
    ASSERT_EQ(view.size(), 2u);
    EXPECT_NE(view[1].find("_001.txt"), std::string::npos) << view[1];
    EXPECT_EQ(read(view[1]), "version one");
    // The diff compares the version before the range with its end.
    select(t2);
    ASSERT_TRUE(a.canOpenFile(true));
    a.openFile(true);
    std::vector<std::string> args = argsSeen(dir / "argv");
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[0], "-u");
    EXPECT_EQ(read(args[1]), "version one");
    EXPECT_EQ(read(args[2]), "version two");
    EXPECT_FALSE(fs::exists("canary"));
    viewers.remove(viewers.count() - 1);
    diffs.remove(diffs.count() - 1);
    // The temporary copies go with the archive.
    a.clear();
    EXPECT_FALSE(fs::exists(args[1]));
    unsetenv("ARGV_DUMP_FILE");
}
