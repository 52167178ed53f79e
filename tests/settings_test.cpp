#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

// Registered like an owner file would, during static initialisation.
const int32_t* testInt = intSetting("test.cfg.int", 7);
const double* testDouble = doubleSetting("test.cfg.double", 1.5);
const std::string* testString = stringSetting("test.cfg.string", "default");
const int32_t* testRanged = intSetting("test.cfg.ranged", 64, 1, 1000);

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(storePath().c_str());
        // One process may run every test: give back the defaults an earlier test loaded over.
        findSetting("test.cfg.int", Setting::INT, false)->_int = 7;
        findSetting("test.cfg.double", Setting::DOUBLE, false)->_double = 1.5;
        findSetting("test.cfg.string", Setting::STRING, false)->_string = "default";
        findSetting("test.cfg.ranged", Setting::INT, false)->_int = 64;
    }
    void TearDown() override { std::remove(storePath().c_str()); }

    void load(const std::string& text) {
        std::ofstream(storePath(), std::ios::binary | std::ios::trunc) << text;
        loadSettings();
    }
    std::string readStore() {
        std::ifstream in(storePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(Settings, StoreValuesOverrideDefaultsWithinTheirRangeAndBadLinesAreIgnoredButKept) {
    load("test.cfg.string=two words\n");
    EXPECT_EQ(*testString, "two words");
    // Text -> the int, the double and the int limited to 1-1000 it sets.
    const std::tuple<std::string, int32_t, double, int32_t> cases[] = {
        {"abc", 0, 0, 64},          {"12abc", 12, 12, 12},
        {"0x10", 0, 16, 64},        {"-99999999999", INT32_MIN, -99999999999.0, 64},
        {"1000", 1000, 1000, 1000}, {"1001", 1001, 1001, 64},
        {"nan", 0, 1.5, 64}};  // no number setting can use NaN
    for (const auto& [text, i, d, ranged] : cases) {
        SetUp();
        load("test.cfg.int=" + text + "\ntest.cfg.double=" + text + "\ntest.cfg.ranged=" + text);
        EXPECT_EQ(std::tuple(*testInt, *testDouble, *testRanged), std::tuple(i, d, ranged)) << text;
    }
    // Long and damaged lines are ignored, and kept when the store is rewritten.
    SetUp();
    load("test.cfg.string=" + std::string(100, 'w') + "\n");
    EXPECT_EQ(*testString, "default");  // 99 bytes is the longest value
    char buf[101];
    EXPECT_TRUE(readRegString("test.cfg.string", buf, 101));
    EXPECT_FALSE(readRegString("test.cfg.string", buf, 100));
    SetUp();
    std::string damaged = std::string("no equals sign\n") + "=no name\n" + "bad\\q=escape\n" +
                          "test.cfg.int=\\\n" + "test.cfg.string=nul" + '\0' + "byte\n";
    load(damaged + "test.cfg.int=5\r\n" + "test.cfg.int=6");
    // The last line of a name wins; a CR LF line end is tolerated.
    EXPECT_EQ(*testInt, 6);
    EXPECT_EQ(*testString, "default");

    ASSERT_EQ(writeRegString("test.cfg.int", "9"), 0);
    ASSERT_EQ(writeRegString("new=name\n", "a\\b\nc"), 0);
    EXPECT_EQ(readStore(),
              damaged + "test.cfg.int=5\r\ntest.cfg.int=9\nnew\\=name\\n=a\\\\b\\nc\n");
    char small[8];
    ASSERT_TRUE(readRegString("new=name\n", small, sizeof small));
    EXPECT_STREQ(small, "a\\b\nc");
}

TEST_F(Settings, TwoProcessesWritingAtOnceLoseNoValue) {
    constexpr int PER_CHILD = 40;
    auto name = [](int c, int i) { return "race." + std::to_string(c) + "." + std::to_string(i); };
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            for (int i = 0; i < PER_CHILD; ++i)
                failures += writeRegString(name(c, i).c_str(), std::to_string(i).c_str()) != 0;
            _exit(failures);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(parseStore(readStore()).size(), 2u * PER_CHILD);
}

TEST(SettingsStore, FolderComesFromTheOverrideOrXdg) {
    TestDir dir;
    ScopedEnv cfg("TRESMO_CONFIG_DIR", dir / "a/b"), xdg("XDG_CONFIG_HOME", dir.path());
    EXPECT_EQ(writeRegString("k", "v"), 0);  // creates the missing folders
    EXPECT_EQ(dir.read("a/b/Tresmo.conf"), "k=v\n");
    unsetenv("TRESMO_CONFIG_DIR");
    EXPECT_EQ(storePath(), dir / "Norvik Software/Tresmo.conf");
}

}  // namespace
