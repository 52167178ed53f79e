#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/objects/ToolConfig.h"
#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

// Waits for the stand-in tool's argument file and returns the arguments after the program.
std::vector<std::string> argsSeen(const std::string& file) {
    for (int i = 0; i < 500 && !fs::exists(file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string all;
    if (FILE* f = std::fopen(file.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            all.append(buf, n);
        std::fclose(f);
    }
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

// An archive with two versions of one file whose name holds what a shell would act on.
struct Opened {
    TestDir dir;
    FileSel sel;
    Tresmo a;
    RecordingPresenter shown;
    const std::string name = "a \"b\" $(touch canary); c.txt";
    int64_t t1 = T0 + 100, t2 = T0 + 200;

    Opened() {
        sel.setFolder(dir / "w");
        a.setPath(dir / "w.trsm");
        dir.write("w/" + name, "version one", T0);
        EXPECT_TRUE(a.refresh(sel, t1));
        EXPECT_TRUE(a.save());
        dir.write("w/" + name, "version two", T0 + 150);
        EXPECT_TRUE(a.refresh(sel, t2));
        EXPECT_TRUE(a.save());
        EXPECT_TRUE(a.refresh(sel, t2 + 1));
        setenv("ARGV_DUMP_FILE", (dir / "argv").c_str(), 1);
    }
    ~Opened() { unsetenv("ARGV_DUMP_FILE"); }
    void select(int64_t from, int64_t to) {
        a.setRange(from, to);
        a.updateFolderInfo();
        a.selectFile(a.root()->firstChild, true);
    }
};

TEST(OpenVersion, ViewerGetsTheWorkingFileOrARestoredCopyAsOneArgument) {
    Opened o;
    ToolConfig& viewers = viewerConfig();
    viewers.count();
    viewers.add(TRESMO_TOOL_argv_dump, "--view", "txt");
    // The range ends now: the working file itself.
    o.select(o.a.now(), o.a.now());
    ASSERT_TRUE(o.a.canOpenFile(false));
    EXPECT_FALSE(o.a.canOpenFile(true));  // unchanged since the last save
    o.a.openFile(false);
    EXPECT_EQ(argsSeen(o.dir / "argv"),
              (std::vector<std::string>{"--view", o.dir / ("w/" + o.name)}));
    // A range in the past: the version of that time, restored into a temporary file.
    o.select(o.t1, o.t1);
    o.a.openFile(false);
    std::vector<std::string> args = argsSeen(o.dir / "argv");
    ASSERT_EQ(args.size(), 2u);
    EXPECT_NE(args[1].find("_001.txt"), std::string::npos) << args[1];
    EXPECT_EQ(o.dir.read(fs::relative(args[1], o.dir.path()).string()), "version one");
    EXPECT_FALSE(fs::exists("canary"));
    viewers.remove(viewers.count() - 1);
}

TEST(OpenVersion, DiffComparesTheVersionBeforeTheRangeWithItsEnd) {
    Opened o;
    ToolConfig& diffs = diffToolConfig();
    diffs.count();
    diffs.add(TRESMO_TOOL_argv_dump, "-u %1 %2", "txt");
    o.select(o.t2, o.t2);
    ASSERT_TRUE(o.a.canOpenFile(true));
    o.a.openFile(true);
    std::vector<std::string> args = argsSeen(o.dir / "argv");
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[0], "-u");
    EXPECT_EQ(o.dir.read(fs::relative(args[1], o.dir.path()).string()), "version one");
    EXPECT_EQ(o.dir.read(fs::relative(args[2], o.dir.path()).string()), "version two");
    // Nothing before the first version: the command is disabled and does nothing.
    o.select(o.t1, o.t1);
    EXPECT_FALSE(o.a.canOpenFile(true));
    diffs.remove(diffs.count() - 1);
    // The temporary copies go with the archive.
    o.a.clear();
    EXPECT_FALSE(fs::exists(args[1]));
}

}  // namespace
