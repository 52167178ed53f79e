#include "support/ArchiveCheck.h"
#include "support/CliRun.h"
#include "support/RecordingPresenter.h"
#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/objects/ToolConfig.h"
#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

// Two versions of one file whose name holds what a shell would act on.
TEST(OpenVersion, ViewerAndDiffGetTheWorkingFileOrRestoredCopiesEachAsOneArgument) {
    TestDir dir;
    FileSel sel;
    Tresmo a;
    RecordingPresenter shown;
    const std::string name = "a \"b\" $(touch canary); c.txt", argv = dir / "argv";
    const int64_t t1 = 1600000100, t2 = 1600000200;
    sel.setFolder(dir / "w");
    a.setPath(dir / "w.trsm");
    dir.write("w/" + name, "version one", t1 - 100);
    ASSERT_TRUE(a.refresh(sel, t1) && a.save());
    dir.write("w/" + name, "version two", t1 + 50);
    ASSERT_TRUE(a.refresh(sel, t2) && a.save() && a.refresh(sel, t2 + 1));
    ScopedEnv dump("ARGV_DUMP_FILE", argv);
    auto select = [&](int64_t t) {
        a.setRange(t, t);
        a.updateFolderInfo();
        a.selectFile(a.root()->firstChild, true);
    };
    ToolConfig& viewers = viewerConfig();
    ToolConfig& diffs = diffToolConfig();
    viewers.count();  // loads the stored tools before one is added
    diffs.count();
    viewers.add(TRESMO_TOOL_argv_dump, "--view", "txt");
    diffs.add(TRESMO_TOOL_argv_dump, "-u %1 %2", "txt");
    // The range ends now: the working file itself.
    select(a.now());
    EXPECT_TRUE(a.openFile(false));
    std::vector<std::string> args = waitForArgv(argv);
    EXPECT_EQ(std::vector<std::string>(args.begin() + 1, args.end()),
              (std::vector<std::string>{"--view", dir / ("w/" + name)}));
    // A range in the past: the version of that time, restored into a temporary file.
    select(t1);
    a.openFile(false);
    args = waitForArgv(argv);
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(check::fileBytes(args[2]), "version one");
    // The diff compares the version before the range with its end.
    select(t2);
    a.openFile(true);
    args = waitForArgv(argv);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[1], "-u");
    EXPECT_EQ(check::fileBytes(args[2]) + check::fileBytes(args[3]), "version oneversion two");
    EXPECT_FALSE(fs::exists("canary"));
    viewers.remove(viewers.count() - 1);
    diffs.remove(diffs.count() - 1);
    {  // Without a tool for the type and without the desktop's opener, nothing starts: said.
        ScopedEnv noPath("PATH", dir / "nothing-here");
        EXPECT_TRUE(!a.openFile(false) && !a.openFile(true));
    }
    a.clear();  // the temporary copies and their folder go with the archive
    EXPECT_FALSE(fs::exists(fs::path(args[2]).parent_path()));
}
