#include "archive/paths.h"

#include "support/TestDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

using Fn = std::function<bool(char*, size_t)>;

// Runs fn into a buffer of exactly `size` bytes; "<fail>" when it reports no fit.
std::string run(const Fn& fn, size_t size = MAX_PATH) {
    std::string buf(size, '#');
    return fn(buf.data(), size) ? std::string(buf.c_str()) : "<fail>";
}

// The result must fit a buffer of its length + 1 and not one of its length.
void expectExactFit(const Fn& fn, const std::string& expected) {
    EXPECT_EQ(run(fn, expected.size() + 1), expected);
    EXPECT_EQ(run(fn, expected.size()), "<fail>") << expected;
}

TEST(Paths, EveryBuilderFitsSizeMinusOneAndNotSize) {
    expectExactFit([](char* b, size_t n) { return buildFilePath(b, n, "/a", "b"); }, "/a/b");
    expectExactFit([](char* b, size_t n) { return buildFilePath(b, n, "/a", "b", "c"); }, "/a/b.c");
    expectExactFit([](char* b, size_t n) { return copyPart(b, n, "abcdef", nullptr); }, "abcdef");
    expectExactFit([](char* b, size_t n) { return getFileName(b, n, "/x/name"); }, "name");
    expectExactFit([](char* b, size_t n) { return getFileTitle(b, n, "/x/t.tar.gz"); }, "t.tar");
    expectExactFit([](char* b, size_t n) { return getFileExt(b, n, "/x/t.tar.gz"); }, "gz");
    expectExactFit([](char* b, size_t n) { return getParentPath(b, n, "/ab/c"); }, "/ab");
    expectExactFit([](char* b, size_t n) { return getDirPath(b, n, "/ab/c"); }, "/ab");
    expectExactFit([](char* b, size_t n) { return firstComponent(b, n, "abc/d"); }, "abc");
    expectExactFit([](char* b, size_t n) { return formatTo(b, n, "%s-%d", "x", 42); }, "x-42");
    expectExactFit(
        [](char* b, size_t n) {
            std::strcpy(b, "/a");
            return appendPath(b, n, "bc");
        },
        "/a/bc");
    expectExactFit(
        [](char* b, size_t n) {
            std::strcpy(b, "ab");
            return appendFormat(b, n, "%03d", 7);
        },
        "ab007");
    expectExactFit(
        [](char* b, size_t n) { return relocatePath(b, n, "/p/src", "/p/a.sel", "/w/p/a.sel"); },
        "/w/p/src");
    // A full path of MAX_PATH - 1 bytes is the longest there is.
    std::string dir(MAX_PATH - 3, 'd');
    EXPECT_NE(run([&](char* b, size_t n) { return buildFilePath(b, n, dir.c_str(), "x"); }),
              "<fail>");
    EXPECT_EQ(run([&](char* b, size_t n) { return buildFilePath(b, n, dir.c_str(), "xy"); }),
              "<fail>");
}

TEST(Paths, SourceMayBeTheResultBuffer) {
    char buf[MAX_PATH] = "/a/b/c";
    ASSERT_TRUE(getParentPath(buf, sizeof buf, buf));
    EXPECT_STREQ(buf, "/a/b");
    ASSERT_TRUE(buildFilePath(buf, sizeof buf, buf, "x", "y"));
    EXPECT_STREQ(buf, "/a/b/x.y");
    ASSERT_TRUE(getFileName(buf, sizeof buf, buf));
    EXPECT_STREQ(buf, "x.y");
}

TEST(Paths, RootTakesTheDriveRootsPlace) {
    auto bfp = [](const char* d, const char* n) {
        return run([=](char* b, size_t s) { return buildFilePath(b, s, d, n); });
    };
    EXPECT_EQ(bfp("/", "x"), "/x");
    EXPECT_EQ(bfp("/a", "x"), "/a/x");
    EXPECT_EQ(bfp("", "x"), "x");
    EXPECT_EQ(run([](char* b, size_t s) { return buildFilePath(b, s, "", "n", "e"); }), "/n.e");
    EXPECT_EQ(run([](char* b, size_t s) {
                  b[0] = 0;
                  return appendPath(b, s, "x");
              }),
              "/x");

    auto parent = [](const char* p) {
        return run([=](char* b, size_t s) { return getParentPath(b, s, p); });
    };
    EXPECT_EQ(parent("/"), "");
    EXPECT_EQ(parent("/a"), "/");
    EXPECT_EQ(parent("/a/b"), "/a");
    EXPECT_EQ(parent("/a/"), "/a");
    EXPECT_EQ(parent("a/b"), "a");
    EXPECT_EQ(parent("x"), "<fail>");
    auto dirPath = [](const char* p) {
        return run([=](char* b, size_t s) { return getDirPath(b, s, p); });
    };
    EXPECT_EQ(dirPath("/"), "<fail>");
    EXPECT_EQ(dirPath("/a/"), "<fail>");
    EXPECT_EQ(dirPath("/a"), "/");
    EXPECT_EQ(run([](char* b, size_t s) { return firstComponent(b, s, "/a/b"); }), "/");
    EXPECT_TRUE(isDriveRoot("/"));
    EXPECT_FALSE(isDriveRoot("/a"));
    EXPECT_FALSE(isDriveRoot(""));
}

TEST(Paths, TitleAndExtensionComeFromTheLastComponentOnly) {
    auto title = [](const char* p) {
        return run([=](char* b, size_t s) { return getFileTitle(b, s, p); });
    };
    auto ext = [](const char* p) {
        return run([=](char* b, size_t s) { return getFileExt(b, s, p); });
    };
    EXPECT_EQ(title("/a/README"), "README");
    EXPECT_EQ(ext("/a/README"), "");
    EXPECT_EQ(title("/a.b/c"), "c");
    EXPECT_EQ(ext("/a.b/c"), "");
    EXPECT_EQ(title("/a/.profile"), "");
    EXPECT_EQ(ext("/a/.profile"), "profile");
    EXPECT_EQ(run([](char* b, size_t s) { return getFileName(b, s, "/a/"); }), "");
}

TEST(Paths, ComponentsCountTheRootAsItsOwn) {
    const char* p = "/ab//c/";
    const char *s, *e;
    std::vector<std::string> parts;
    while (nextComponent(p, s, e))
        parts.emplace_back(s, e);
    EXPECT_EQ(parts, (std::vector<std::string>{"/", "ab", "c"}));

    EXPECT_EQ(comparePaths("/A", "/a/b"), -1);
    EXPECT_EQ(comparePaths("/a/b", "/A"), 1);
    EXPECT_EQ(comparePaths("/a/x", "/a/y"), -2);
    EXPECT_EQ(comparePaths("/a/y", "/A/X"), 2);
    EXPECT_EQ(comparePaths("/ab/", "/AB"), 0);
    EXPECT_EQ(comparePaths("/a", "/ab"), -2);  // "a" ends first inside the component
    EXPECT_NE(comparePaths("/a", "a"), 0);     // absolute and relative never match

    const char* a = "/Proj/src/x";
    const char* b = "/proj/SRC/y/z";
    EXPECT_EQ(commonComponents(a, b), 3);
    EXPECT_STREQ(a, "/x");
    EXPECT_STREQ(b, "/y/z");
    a = "x/y";
    b = "z/y";
    EXPECT_EQ(commonComponents(a, b), 0);
    EXPECT_STREQ(a, "x/y");

    EXPECT_EQ(compareComponent("/abc/x", "ABC"), 0);
    EXPECT_EQ(compareComponent("ab", "abc/"), -1);
    EXPECT_EQ(compareComponent("b", "a"), 1);
}

TEST(Paths, CaseFoldingCoversLatin1ButNotTheDivisionSign) {
    EXPECT_EQ(compareNoCase("/\xE9t\xE9", "/\xC9T\xC9"), 0);
    EXPECT_EQ(compareNoCase("\xFE", "\xDE"), 0);
    EXPECT_NE(compareNoCase("\xF7", "\xD7"), 0);
    EXPECT_NE(compareNoCase("\xFF", "\xDF"), 0);
    EXPECT_EQ(compareNoCase("a", "B"), -1);
    EXPECT_EQ(compareNoCase("ab", "A"), 1);
    // Bytes compare unsigned: a Latin-1 letter sorts after every ASCII letter.
    EXPECT_EQ(compareNoCase("\xE9", "z"), 1);
}

TEST(Paths, RelocateKeepsTheFolderWhereItWasRelativeToTheReference) {
    auto rel = [](const char* f, const char* o, const char* n) {
        return run([=](char* b, size_t s) { return relocatePath(b, s, f, o, n); });
    };
    EXPECT_EQ(rel("/proj/src", "/proj/a.sel", "/work/proj/a.sel"), "/work/proj/src");
    EXPECT_EQ(rel("/proj/src/deep", "/proj/sub/a.sel", "/x/y/a.sel"), "/x/src/deep");
    EXPECT_EQ(rel("/proj", "/proj/a.sel", "/w/a.sel"), "/w");
    // Only the root in common is not enough.
    EXPECT_EQ(rel("/x/src", "/y/a.sel", "/w/y/a.sel"), "<fail>");
    // The new reference must keep the root and one folder of its own.
    EXPECT_EQ(rel("/proj/src", "/proj/a.sel", "/a.sel"), "<fail>");
}

TEST(Paths, ValidPathsAreAbsoluteWithNameCharactersOnly) {
    for (const char* good : {"/", "/a", "/a b/c.d", "/a./ b", "/\xC3\xA9t\xC3\xA9", "/a\x80\x9F"})
        EXPECT_TRUE(isValidPath(good)) << good;
    for (const char* bad : {"", "a", "a/b", "//", "/a//b", "/a/", "/a/./b", "/a/..", "/..", "/a\tb",
                            "/a\x7F", "/a\nb"})
        EXPECT_FALSE(isValidPath(bad)) << bad;
    EXPECT_TRUE(isNameChar(' '));
    EXPECT_TRUE(isNameChar('\\'));
    EXPECT_TRUE(isNameChar(':'));
    EXPECT_TRUE(isNameChar('\xFF'));
    EXPECT_FALSE(isNameChar('\x1F'));
    EXPECT_FALSE(isNameChar('/'));
    EXPECT_FALSE(isNameChar('\x7F'));
}

TEST(Paths, ReplaceAllNeverRescansAndStopsBeforeTheBufferIsFull) {
    char buf[16] = "x%s";
    EXPECT_EQ(replaceAll(buf, sizeof buf, "%s", "%s %s"), 1);
    EXPECT_STREQ(buf, "x%s %s");
    // "aaa" -> each "a" becomes "bb": 6 bytes need 7 with the NUL.
    char small[7] = "aaa";
    EXPECT_EQ(replaceAll(small, 7, "a", "bb"), 3);
    EXPECT_STREQ(small, "bbbbbb");
    char tight[6] = "aaa";
    EXPECT_EQ(replaceAll(tight, 6, "a", "bb"), -1);
    EXPECT_STREQ(tight, "bbbba");  // the two that fitted stay
    char shrink[8] = "abcabc";
    EXPECT_EQ(replaceAll(shrink, 8, "bc", ""), 2);
    EXPECT_STREQ(shrink, "aa");
    EXPECT_EQ(replaceAll(shrink, 8, "", "x"), 0);

    char s[] = "a/b/c";
    replaceChar(s, '/', '|');
    EXPECT_STREQ(s, "a|b|c");
    EXPECT_TRUE(endsWith("file.trsm", ".trsm"));
    EXPECT_FALSE(endsWith("sm", ".trsm"));
}

TEST(Paths, LinksAreSeenAsThemselves) {
    TestDir dir;
    dir.mkdirs("real");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nothing").c_str(), (dir / "dangling").c_str()), 0);
    EXPECT_TRUE(isDirectory((dir / "real").c_str()));
    EXPECT_FALSE(isDirectory((dir / "link").c_str()));
    EXPECT_TRUE(pathExists((dir / "link").c_str()));
    EXPECT_TRUE(pathExists((dir / "dangling").c_str()));
    EXPECT_FALSE(pathExists((dir / "nothing").c_str()));
}

}  // namespace
