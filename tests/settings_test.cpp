#include "support/TestDir.h"

#include "archive/cfg.h"
#include "archive/os.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Registered like an owner file would, during static initialisation.
const int32_t* testInt = intSetting("test.cfg.int", 7);
const double* testDouble = doubleSetting("test.cfg.double", 1.5);
const std::string* testString = stringSetting("test.cfg.string", "default");
const std::string* testLatin = stringSetting("test.cfg.\xE9", "e");
const int32_t* testRanged = intSetting("test.cfg.ranged", 64, 1, 1000);
const double* testFraction = doubleSetting("test.cfg.fraction", 0.25, 0, 1);

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(storePath().c_str());
        // One process may run every test: give back the defaults an earlier test loaded over.
        findSetting("test.cfg.int", Setting::INT, false)->_int = 7;
        findSetting("test.cfg.double", Setting::DOUBLE, false)->_double = 1.5;
        findSetting("test.cfg.string", Setting::STRING, false)->_string = "default";
    }
    void TearDown() override { std::remove(storePath().c_str()); }

    void writeStore(const std::string& text) {
        std::ofstream(storePath(), std::ios::binary | std::ios::trunc) << text;
    }
    std::string readStore() {
        std::ifstream in(storePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(Settings, StoreValuesOverrideDefaultsByType) {
    writeStore("test.cfg.int=128\ntest.cfg.double=0.25\ntest.cfg.string=two words\n");
    loadSettings();
    EXPECT_EQ(*testInt, 128);
    EXPECT_EQ(*testDouble, 0.25);
    EXPECT_EQ(*testString, "two words");
    // Settings of the library's own files keep their defaults when the store does not name them.
    const Setting* sub = findSetting("tempSub", Setting::STRING, false);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(sub->_string, "Tresmo");
    EXPECT_EQ(*testLatin, "e");
}

TEST_F(Settings, TextThatIsNotANumberGivesItsLeadingNumberOrZero) {
    struct Case {
        const char* text;
        int32_t i;
        double d;
    } cases[] = {{"abc", 0, 0},
                 {"12abc", 12, 12},
                 {"  -3", -3, -3},
                 {"", 0, 0},
                 {"0x10", 0, 16},
                 {"99999999999", INT32_MAX, 99999999999.0},
                 {"-99999999999", INT32_MIN, -99999999999.0},
                 {"2.5e1x", 2, 25}};
    for (const Case& c : cases) {
        writeStore(std::string("test.cfg.int=") + c.text + "\ntest.cfg.double=" + c.text + "\n");
        loadSettings();
        EXPECT_EQ(*testInt, c.i) << c.text;
        EXPECT_EQ(*testDouble, c.d) << c.text;
    }
}

TEST_F(Settings, NumberOutsideTheSettingsRangeKeepsTheValue) {
    struct Case {
        const char* text;
        int32_t ranged;
        double fraction;
    } cases[] = {{"0", 64, 0},     {"1", 1, 1},    {"1000", 1000, 0.25}, {"1001", 64, 0.25},
                 {"-1", 64, 0.25}, {"abc", 64, 0}, {"nan", 64, 0.25},    {"0.5", 64, 0.5}};
    for (const Case& c : cases) {
        findSetting("test.cfg.ranged", Setting::INT, false)->_int = 64;
        findSetting("test.cfg.fraction", Setting::DOUBLE, false)->_double = 0.25;
        writeStore(std::string("test.cfg.ranged=") + c.text + "\ntest.cfg.fraction=" + c.text);
        loadSettings();
        EXPECT_EQ(*testRanged, c.ranged) << c.text;
        EXPECT_EQ(*testFraction, c.fraction) << c.text;
    }
    // Without a range even NaN is refused: no number setting can use it.
    writeStore("test.cfg.double=nan\n");
    loadSettings();
    EXPECT_EQ(*testDouble, 1.5);
}

TEST_F(Settings, ValueOfHundredBytesIsNotReadAndDefaultStays) {
    std::string v99(99, 'v'), v100(100, 'w');
    writeStore("test.cfg.string=" + v99 + "\n");
    loadSettings();
    EXPECT_EQ(*testString, v99);

    findSetting("test.cfg.string", Setting::STRING, false)->_string = "default";
    writeStore("test.cfg.string=" + v100 + "\n");
    loadSettings();
    EXPECT_EQ(*testString, "default");

    char buf[101];
    EXPECT_TRUE(readRegString("test.cfg.string", buf, 101));
    EXPECT_EQ(std::string(buf), v100);
    EXPECT_FALSE(readRegString("test.cfg.string", buf, 100));
    EXPECT_FALSE(readRegString("test.cfg.missing", buf, 101));
}

TEST_F(Settings, DamagedLinesAreIgnoredAndKeptOnRewrite) {
    std::string damaged = std::string("no equals sign\n") + "=no name\n" + "bad\\q=escape\n" +
                          "test.cfg.int=\\\n" + "test.cfg.string=nul" + '\0' + "byte\n";
    writeStore(damaged + "test.cfg.int=5\r\n" + "test.cfg.int=6");
    loadSettings();
    // The last line of a name wins; a CR LF line end is tolerated.
    EXPECT_EQ(*testInt, 6);
    EXPECT_EQ(*testString, "default");

    ASSERT_EQ(writeRegString("test.cfg.int", "9"), 0);
    std::string after = readStore();
    EXPECT_EQ(after.substr(0, damaged.size()), damaged);
    EXPECT_EQ(after.substr(damaged.size()), "test.cfg.int=5\r\ntest.cfg.int=9\n");
}

TEST_F(Settings, EscapedNamesAndValuesRoundTrip) {
    const char* name = "odd=name\\with\nnewline";
    const char* value = "line1\nline2\\\r=end";
    ASSERT_EQ(writeRegString(name, value), 0);
    ASSERT_EQ(writeRegString("plain", "x"), 0);
    char buf[100];
    ASSERT_TRUE(readRegString(name, buf, sizeof buf));
    EXPECT_STREQ(buf, value);
    // One line per value whatever the value holds.
    std::string text = readStore();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_EQ(parseStore(formatStoreLine(name, value))[0].value, value);
}

TEST_F(Settings, StoreLivesInTheOverriddenOrXdgFolder) {
    TestDir dir;
    std::string saved = std::getenv("TRESMO_CONFIG_DIR");
    setenv("TRESMO_CONFIG_DIR", (dir / "a/b").c_str(), 1);
    EXPECT_EQ(writeRegString("k", "v"), 0);  // creates the missing folders
    EXPECT_EQ(dir.read("a/b/Tresmo.conf"), "k=v\n");
    unsetenv("TRESMO_CONFIG_DIR");
    setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(storePath(), dir / "Norvik Software/Tresmo.conf");
    unsetenv("XDG_CONFIG_HOME");
    setenv("TRESMO_CONFIG_DIR", saved.c_str(), 1);
}

// Fails every rename with EXDEV, as a synced folder on another device might.
class FailRename : public os::Os {
  public:
    int rename(const char*, const char*) override {
        errno = EXDEV;
        return -1;
    }
};

TEST_F(Settings, FailedRewriteLeavesTheOldStoreWhole) {
    ASSERT_EQ(writeRegString("a", "1"), 0);
    FailRename fail;
    os::install(&fail);
    int rc = writeRegString("b", "2");
    os::install(nullptr);
    EXPECT_EQ(rc, EXDEV);
    EXPECT_EQ(readStore(), "a=1\n");
    char buf[8];
    EXPECT_FALSE(readRegString("b", buf, sizeof buf));
}

TEST_F(Settings, TwoProcessesWritingAtOnceLoseNoValue) {
    constexpr int PER_CHILD = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            int failures = 0;
            for (int i = 0; i < PER_CHILD; ++i) {
                std::string name = "race." + std::to_string(c) + "." + std::to_string(i);
                failures += writeRegString(name.c_str(), std::to_string(i).c_str()) != 0;
            }
            _exit(failures);
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<StoreLine> lines = parseStore(readStore());
    EXPECT_EQ(lines.size(), 2u * PER_CHILD);
    char buf[8];
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < PER_CHILD; ++i) {
            std::string name = "race." + std::to_string(c) + "." + std::to_string(i);
            ASSERT_TRUE(readRegString(name.c_str(), buf, sizeof buf)) << name;
            EXPECT_EQ(std::string(buf), std::to_string(i));
        }
    }
}

TEST(SettingsList, IsOrderedByUnsignedBytes) {
    int count = 0;
    for (const Setting* p = firstSetting(); p && p->_next; p = p->_next, ++count)
        EXPECT_LT(p->_name, p->_next->_name);
    EXPECT_GT(count, 10);
    // 0xE9 sorts after every ASCII name, so the Latin-1 name comes after "test.cfg.string".
    EXPECT_EQ(findSetting("test.cfg.string", Setting::STRING, false)->_next,
              findSetting("test.cfg.\xE9", Setting::STRING, false));
}

TEST(SettingsDeathTest, SecondRegistrationOrOtherTypeIsAVerificationFailure) {
    EXPECT_EXIT(intSetting("test.cfg.int", 1), ::testing::ExitedWithCode(1),
                "p->_type == type && !create");
    EXPECT_EXIT(findSetting("test.cfg.int", Setting::STRING, false), ::testing::ExitedWithCode(1),
                "p->_type == type && !create");
}

}  // namespace
