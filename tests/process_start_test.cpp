#include "support/CliRun.h"
#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/objects/ToolConfig.h"
#include "archive/support/cfg.h"
#include "archive/support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

namespace {

const std::string DUMP_TOOL = TRESMO_TOOL_argv_dump;

TEST(StartProcess, ArgumentsAndFileNamesArriveExactlyAndNoShellRunsThem) {
    TestDir dir;
    std::string dump = dir / "argv", canary = dir / "CANARY";
    ScopedEnv env("ARGV_DUMP_FILE", dump);
    std::string line = "\"" + DUMP_TOOL + "\" \"two words\" \"say \\\"hi\\\"\" ; \"$(touch " +
                       canary + ")\" `touch " + canary + "` -rf \"back\\\\\" a\\\\\\\"q |&>*?~";
    ASSERT_TRUE(startProcess(line.c_str()));
    Args args = waitForArgv(dump);
    EXPECT_EQ(args, (Args{DUMP_TOOL, "two words", "say \"hi\"", ";", "$(touch " + canary + ")",
                          "`touch", canary + "`", "-rf", "back\\", "a\\\"q", "|&>*?~"}));
    std::string hostile = dir / "-x\" --evil \"$(touch CANARY);\\\"\n.txt";
    // The template is split before the files go in, and a placeholder in a file stays as it is.
    ASSERT_TRUE(startProcess(expandCommandTemplate(
        "\"" + DUMP_TOOL + "\" --title %1 \"%2\" --l=%1,%2 %3 %%", hostile, "-rf%1")));
    EXPECT_EQ(waitForArgv(dump), (Args{DUMP_TOOL, "--title", hostile, "-rf%1",
                                       "--l=" + hostile + ",-rf%1", "%3", "%%"}));
    EXPECT_FALSE(fs::exists(canary));
    // A started program that ends is reaped then, not left a zombie until the next start.
    auto zombies = [] {
        int n = 0;
        for (const auto& e : fs::directory_iterator("/proc")) {
            std::ifstream stat(e.path() / "stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            char state;
            pid_t parent;
            n += (rest >> state >> parent) && state == 'Z' && parent == ::getpid();
        }
        return n;
    };
    for (int i = 0; i < 200 && zombies() > 0; ++i)
        ::usleep(10000);
    EXPECT_EQ(zombies(), 0);
    EXPECT_FALSE(startProcess("/nonexistent/program arg"));
}

TEST(ToolConfig, ExtensionListsAreCheckedAndCompareWithoutCase) {
    for (const char* ok : {"txt", "txt,log,ini", " txt , log ,ini ", "A1,b2"})
        EXPECT_TRUE(ToolConfig::validList(ok)) << ok;
    for (const char* bad : {"", " ", "txt;log", ".txt", "txt,", "t-x", "xxxxxxxxxxxxxxxxxxxx"})
        EXPECT_FALSE(ToolConfig::validList(bad)) << bad;
    ToolConfig c("T1");
    c.count();
    c.add("/usr/bin/less", "", "txt, log");
    c.add("/usr/bin/gz", "", "gz");
    EXPECT_FALSE(c.isValidExtList("LOG", -1));
    EXPECT_TRUE(c.isValidExtList("LOG,txt", 0));  // its own entry does not count
    EXPECT_FALSE(c.isValidExtList("gz", 0));
    for (auto [path, want] :
         {std::pair{"/x/README", -1}, {"/x/notes.LOG", 0}, {"/x/a.tar.gz", 1}, {"/x.txt/f", -1}})
        EXPECT_EQ(c.find(path), want) << path;
    c.remove(0);  // stored at once, and the later entries move up
    ToolConfig again("T1");
    ASSERT_EQ(again.count(), 1);
    EXPECT_EQ(again.program(0), "/usr/bin/gz");
    writeRegString("T2.itemCount", "2000000000");  // a damaged count reads 1,000 rows at most
    EXPECT_EQ(ToolConfig("T2").count(), ToolConfig::MAX_TOOLS);
}

TEST(ToolConfig, CommandsQuoteWhatTheOptionsDoNotPlaceAndArgumentsKeepNamesWhole) {
    ToolConfig c("T3");
    c.count();
    c.add("/opt/view er", "", "txt");
    c.add("/opt/diff", "/title %1 /wait", "txt");
    c.add("/opt/twice", "%1 %1", "txt");
    c.add("/opt/d2", "--left=%1 %2", "txt");
    char out[1000];
    ASSERT_TRUE(c.viewerCommand(out, sizeof out, 0, "/tmp/a.txt"));
    EXPECT_STREQ(out, "\"/opt/view er\"  \"/tmp/a.txt\"");
    ASSERT_TRUE(c.diffCommand(out, sizeof out, 1, "x", "y"));
    EXPECT_STREQ(out, "\"/opt/diff\" /title x /wait \"y\"");
    EXPECT_FALSE(c.viewerCommand(out, sizeof out, 0, std::string(990, 'n')));
    const std::string evil = "/tmp/a\" --evil \"b $(touch x);|.txt";
    EXPECT_EQ(c.viewerArgv(2, evil), (Args{"/opt/twice", evil, evil}));
    EXPECT_EQ(c.diffArgv(3, "/t/old %2.txt", evil),
              (Args{"/opt/d2", "--left=/t/old %2.txt", evil}));
}

TEST(ShellOpen, HandsTheOnePathToXdgOpen) {
    TestDir dir;
    dir.mkdirs("bin");
    ASSERT_EQ(symlink(DUMP_TOOL.c_str(), (dir / "bin/xdg-open").c_str()), 0);
    ScopedEnv path("PATH", dir / "bin");
    ScopedEnv dumpFile("ARGV_DUMP_FILE", dir / "argv");
    std::string file = dir / "a b; $(x).txt";
    ASSERT_TRUE(shellOpen(file.c_str()));
    EXPECT_EQ(waitForArgv(dir / "argv"), (Args{"xdg-open", file}));
    ASSERT_TRUE(shellOpen("-rf"));
    EXPECT_EQ(waitForArgv(dir / "argv"), (Args{"xdg-open", "./-rf"}));
}

}  // namespace
