#include "archive/support/paths.h"

#include "archive/support/TempFileList.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// fn(buf, size, args...) into a buffer of exactly `size` bytes; "<fail>" when it does not fit.
#define CALL_SIZED(size, fn, ...)                                                    \
    [&](size_t n) {                                                                  \
        std::string buf(n, '#');                                                     \
        return fn(buf.data(), n, __VA_ARGS__) ? std::string(buf.c_str()) : "<fail>"; \
    }(size)
#define CALL(fn, ...) CALL_SIZED(MAX_PATH, fn, __VA_ARGS__)
// A result fits a buffer of its length + 1 and not one of its length.
#define EXPECT_EXACT_FIT(expected, fn, ...)                                         \
    do {                                                                            \
        std::string e = expected;                                                   \
        EXPECT_EQ(CALL_SIZED(e.size() + 1, fn, __VA_ARGS__), e);                    \
        EXPECT_EQ(CALL_SIZED(e.size(), fn, __VA_ARGS__), "<fail>") << #fn " " << e; \
    } while (0)

bool appendTo(char* buf, size_t size, const char* start, const char* name) {
    std::strcpy(buf, start);
    return appendPath(buf, size, name);
}

TEST(Paths, EveryBuilderFitsSizeMinusOneAndNotSize) {
    EXPECT_EXACT_FIT("/a/b", buildFilePath, "/a", "b");
    EXPECT_EXACT_FIT("/a/b.c", buildFilePath, "/a", "b", "c");
    EXPECT_EXACT_FIT("/a/bc", appendTo, "/a", "bc");
    const char* src = "abcdef";
    EXPECT_EXACT_FIT("abc", copyPart, src, src + 3);
    EXPECT_EXACT_FIT("abcdef", copyPart, src, nullptr);
    EXPECT_EXACT_FIT("name", getFileName, "/x/name");
    EXPECT_EXACT_FIT("t.tar", getFileTitle, "/x/t.tar.gz");
    EXPECT_EXACT_FIT("gz", getFileExt, "/x/t.tar.gz");
    EXPECT_EXACT_FIT("/ab", getParentPath, "/ab/c");
    EXPECT_EXACT_FIT("/ab", getDirPath, "/ab/c");
    EXPECT_EXACT_FIT("abc", firstComponent, "abc/d");
    EXPECT_EXACT_FIT("x-42", formatTo, "%s-%d", "x", 42);
    EXPECT_EXACT_FIT("/w/p/src", relocatePath, "/p/src", "/p/a.sel", "/w/p/a.sel");
    EXPECT_EXACT_FIT("/none/b_1.txt", makeUniquePath, "/none", "b.txt", "%s_%d", 3);
    char buf[6] = "ab";
    EXPECT_TRUE(appendFormat(buf, 6, "%03d", 7));
    EXPECT_FALSE(appendFormat(buf, 6, "x"));
    // The source may be the result buffer itself.
    char path[MAX_PATH] = "/a/b/c";
    ASSERT_TRUE(getParentPath(path, sizeof path, path));
    ASSERT_TRUE(buildFilePath(path, sizeof path, path, "x", "y"));
    EXPECT_STREQ(path, "/a/b/x.y");
}

TEST(Paths, RootTakesTheDriveRootsPlaceComponentsCountItAndValidPathsAreAbsolute) {
    EXPECT_EQ(CALL(buildFilePath, "/", "x") + CALL(buildFilePath, "", "n", "e"), "/x/n.e");
    EXPECT_EQ(CALL(appendTo, "", "x"), "/x");
    EXPECT_EQ(CALL(getParentPath, "/") + "|" + CALL(getParentPath, "/a"), "|/");
    EXPECT_EQ(CALL(getParentPath, "x"), "<fail>");
    EXPECT_EQ(CALL(getDirPath, "/a/"), "<fail>");
    EXPECT_EQ(CALL(getDirPath, "/a"), "/");
    EXPECT_EQ(CALL(firstComponent, "/a/b"), "/");
    // The title and extension come from the last component only.
    EXPECT_EQ(CALL(getFileTitle, "/a/README") + CALL(getFileExt, "/a/README"), "README");
    EXPECT_EQ(CALL(getFileTitle, "/a.b/c") + CALL(getFileExt, "/a.b/c"), "c");
    EXPECT_EQ(CALL(getFileExt, "/a/.profile"), "profile");

    const char* p = "/ab//c/";
    const char *s, *e;
    std::vector<std::string> parts;
    while (nextComponent(p, s, e))
        parts.emplace_back(s, e);
    EXPECT_EQ(parts, (std::vector<std::string>{"/", "ab", "c"}));

    EXPECT_EQ(comparePaths("/a/y", "/A/X"), 2);  // the depth where they differ, signed
    EXPECT_EQ(comparePaths("/ab/", "/AB"), 0);
    const char* a = "/Proj/src/x";
    const char* b = "/proj/SRC/y/z";
    EXPECT_EQ(commonComponents(a, b), 3);
    EXPECT_STREQ(b, "/y/z");
    EXPECT_EQ(CALL(relocatePath, "/proj/src/deep", "/proj/sub/a.sel", "/x/y/a.sel"), "/x/src/deep");
    // The root alone in common is not enough, and the new reference must keep a folder.
    EXPECT_EQ(CALL(relocatePath, "/x/src", "/y/a.sel", "/w/y/a.sel"), "<fail>");
    EXPECT_EQ(CALL(relocatePath, "/proj/src", "/proj/a.sel", "/a.sel"), "<fail>");
    // Valid paths are absolute, with name characters only.
    for (const char* good : {"/", "/a", "/a b/c.d", "/a./ b", "/\xC3\xA9t\xC3\xA9", "/a\x80:\\"})
        EXPECT_TRUE(isValidPath(good)) << good;
    for (const char* bad :
         {"", "a/b", "//", "/a//b", "/a/", "/a/./b", "/a/..", "/a\tb", "/a\x7F", "/a\nb"})
        EXPECT_FALSE(isValidPath(bad)) << bad;
    // replaceAll never rescans what it put in and stops before the buffer is full.
    char buf[16] = "x%s";
    EXPECT_EQ(replaceAll(buf, sizeof buf, "%s", "%s %s"), 1);
    EXPECT_STREQ(buf, "x%s %s");
    // Each "a" becomes "bb": the third needs 7 bytes with the NUL.
    char fits[7] = "aaa", tight[6] = "aaa";
    EXPECT_EQ(replaceAll(fits, 7, "a", "bb"), 3);
    EXPECT_EQ(replaceAll(tight, 6, "a", "bb"), -1);
    EXPECT_STREQ(tight, "bbbba");  // the two that fitted stay
    char shrink[8] = "abcabc";
    EXPECT_EQ(replaceAll(shrink, 8, "bc", ""), 2);
    EXPECT_STREQ(shrink, "aa");
}

}  // namespace
