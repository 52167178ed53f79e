#include "archive/objects/ToolConfig.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

namespace {

// Every test uses its own list name, so tests that share a store file never meet.
TEST(ToolConfig, EmptyStoreHasNoTools) {
    ToolConfig c("T0");
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.find("/a/b.txt"), -1);
}

TEST(ToolConfig, ExtensionListsAreCheckedAndCompareWithoutCase) {
    for (const char* ok : {"txt", "txt,log,ini", " txt , log ,ini ", "A1,b2"})
        EXPECT_TRUE(ToolConfig::validList(ok)) << ok;
    for (const char* bad : {"", " ", "txt;log", ".txt", "txt,", "t-x", "xxxxxxxxxxxxxxxxxxxx"})
        EXPECT_FALSE(ToolConfig::validList(bad)) << bad;
    EXPECT_TRUE(ToolConfig::validList(std::string(19, 'x')));

    ToolConfig c("T1");
    c.count();
    c.add("/usr/bin/less", "", "txt, log");
    c.add("/usr/bin/gz", "", "gz");
    EXPECT_FALSE(c.isValidExtList("LOG", -1));
    EXPECT_TRUE(c.isValidExtList("LOG,txt", 0));  // its own entry does not count
    EXPECT_FALSE(c.isValidExtList("gz", 0));
    EXPECT_EQ(c.find("/x/README"), -1);
    EXPECT_EQ(c.find("/x/notes.LOG"), 0);
    EXPECT_EQ(c.find("/x/archive.tar.gz"), 1);
    EXPECT_EQ(c.find("/x.txt/file"), -1);  // the folder's dot does not count
    EXPECT_EQ(c.find("/x/a.lo"), -1);      // extensions must have equal length
}

TEST(ToolConfig, ListIsStoredAndRemovalRenumbers) {
    {
        ToolConfig c("T2");
        c.count();
        c.add("/bin/a", "-a", "aa");
        c.add("/bin/b", "-b", "bb");
        c.add("/bin/c", "-c", "cc");
        c.remove(0);
        EXPECT_EQ(c.count(), 2);
    }
    ToolConfig again("T2");
    ASSERT_EQ(again.count(), 2);
    EXPECT_EQ(again.program(0), "/bin/b");
    EXPECT_EQ(again.extList(1), "cc");
    char buf[20];
    ASSERT_TRUE(readRegString("T2.itemCount", buf, sizeof buf));
    EXPECT_STREQ(buf, "2");
    // The old last index was overwritten with empty values and is ignored from now on.
    ASSERT_TRUE(readRegString("T2.program2", buf, sizeof buf));
    EXPECT_STREQ(buf, "");
}

TEST(ToolConfig, CommandLinesQuoteWhatTheOptionsDoNotPlace) {
    ToolConfig c("T3");
    c.count();
    c.add("/opt/view er", "", "txt");
    c.add("/opt/diff", "/title %1 /wait", "txt");
    c.add("/opt/twice", "%1 %1", "txt");
    char out[1000];
    ASSERT_TRUE(c.viewerCommand(out, sizeof out, 0, "/tmp/a.txt"));
    EXPECT_STREQ(out, "\"/opt/view er\"  \"/tmp/a.txt\"");
    ASSERT_TRUE(c.diffCommand(out, sizeof out, 1, "x", "y"));
    EXPECT_STREQ(out, "\"/opt/diff\" /title x /wait \"y\"");
    ASSERT_TRUE(c.viewerCommand(out, sizeof out, 2, "f"));
    EXPECT_STREQ(out, "\"/opt/twice\" f f");
    // A "%1" inside the substituted name is not replaced again.
    ASSERT_TRUE(c.viewerCommand(out, sizeof out, 2, "%1"));
    EXPECT_STREQ(out, "\"/opt/twice\" %1 %1");
    // The command line must fit its buffer.
    EXPECT_FALSE(c.viewerCommand(out, sizeof out, 0, std::string(990, 'n')));
    EXPECT_TRUE(c.viewerCommand(out, sizeof out, 0, std::string(980, 'n')));
}

TEST(ToolConfig, ArgumentsKeepEachFileNameWhole) {
    ToolConfig c("T4");
    c.count();
    c.add("/opt/view", "-n", "txt");
    c.add("/opt/diff", "--left=%1 %2", "txt");
    const std::string evil = "/tmp/a\" --evil \"b $(touch x);|.txt";
    EXPECT_EQ(c.viewerArgv(0, evil), (std::vector<std::string>{"/opt/view", "-n", evil}));
    EXPECT_EQ(c.diffArgv(1, "/t/old %2.txt", evil),
              (std::vector<std::string>{"/opt/diff", "--left=/t/old %2.txt", evil}));
}

}  // namespace
