#include "support/FaultOs.h"
#include "support/TestDir.h"

#include "archive/scan/FileFinder.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Records what a scan reports, with each file's path relative to the scanned folder.
class Recorder : public FileFinder {
  public:
    Recorder(ScanFilter& f, std::string base) : FileFinder(f), _base(std::move(base)) {}
    std::vector<std::string> files, entered, skippedDirs;
    MsgList warnings;

  protected:
    std::string rel(const char* name) const {
        std::string d = dir();
        d = d.size() > _base.size() ? d.substr(_base.size() + 1) + "/" : "";
        return d + name;
    }
    void onEnterDir(const char* name) override { entered.push_back(name); }
    void found(const char* name, int64_t) override { files.push_back(rel(name)); }
    void skipped(Msg m) override { warnings.push_back(std::move(m)); }
    void skippedDir(const char* name) override { skippedDirs.push_back(rel(name)); }

  private:
    std::string _base;
};

struct Scan {
    ScanFilter filter;
    Recorder rec;
    Scan(const FileSel& sel) : filter(sel), rec(filter, sel.folder()) {
        rec.setDir(std::filesystem::path(sel.folder()).parent_path().c_str());
        rec.find();
    }
};

FileSel selectionOf(const TestDir& dir) {
    FileSel sel;
    sel.setFolder(dir / "w");
    return sel;
}

TEST(FileFinder, SubfoldersAndExceptionsAtEveryDepth) {
    TestDir dir;
    for (const char* f : {"w/top.txt", "w/bin/x.o", "w/src/BIN/y.o", "w/src/obj/z.o",
                          "w/src/ok/a.c", "w/obj /kept.c"})
        dir.write(f, "x");
    FileSel sel = selectionOf(dir);
    sel.setExceptions(" bin, obj");
    EXPECT_EQ(Scan(sel).rec.files,
              (std::vector<std::string>{"obj /kept.c", "src/ok/a.c", "top.txt"}));
    sel.setExceptions("bin ,obj");  // "bin " keeps its trailing blank and matches nothing
    EXPECT_EQ(Scan(sel).rec.files,
              (std::vector<std::string>{"bin/x.o", "obj /kept.c", "src/BIN/y.o", "src/ok/a.c",
                                        "top.txt"}));
    sel.setIncludeSubfolders(false);
    EXPECT_EQ(Scan(sel).rec.files, (std::vector<std::string>{"top.txt"}));
}

TEST(FileFinder, TypesAreCountedAndSelectedInUpperCase) {
    TestDir dir;
    for (const char* f : {"w/a.txt", "w/b.TxT", "w/c", "w/d.tar.gz", "w/sub/only.gz"})
        dir.write(f, "12345");
    FileSel sel = selectionOf(dir);
    sel.setExcludeTypes(false);
    sel.setListed("TXT", true);
    Scan s(sel);
    EXPECT_EQ(s.rec.files, (std::vector<std::string>{"a.txt", "b.TxT"}));
    // A folder holding only rejected files is never entered.
    EXPECT_EQ(s.rec.entered, (std::vector<std::string>{"w"}));
    std::vector<TypeStat> types = s.filter.sortedTypes();
    ASSERT_EQ(types.size(), 3u);
    EXPECT_EQ(types[0].type, "");
    EXPECT_FALSE(types[0].listed);
    EXPECT_EQ(types[1].type, "GZ");
    EXPECT_EQ(types[1].count, 2);
    EXPECT_EQ(types[1].bytes, 10);
    EXPECT_EQ(types[2].type, "TXT");
    EXPECT_TRUE(types[2].listed);
    EXPECT_EQ(s.filter.count("TXT"), 2);
    EXPECT_EQ(ScanFilter::typeOf(("x." + std::string(19, 'e')).c_str()), std::string(19, 'E'));
    EXPECT_EQ(ScanFilter::typeOf(("x." + std::string(20, 'e')).c_str()), "");
}

TEST(FileFinder, SizeLimitIsInclusive) {
    TestDir dir;
    Setting* limit = findSetting("FileFinder.maxSize", Setting::INT, false);
    ASSERT_NE(limit, nullptr);
    int32_t old = limit->_int;
    limit->_int = 100;
    dir.write("w/exact", std::string(100, 'x'));
    dir.write("w/over", std::string(101, 'x'));
    Scan s(selectionOf(dir));
    limit->_int = old;
    EXPECT_EQ(s.rec.files, (std::vector<std::string>{"exact"}));
    ASSERT_EQ(s.rec.warnings.size(), 1u);
    EXPECT_EQ(s.rec.warnings[0].code, 3701);
    EXPECT_EQ(s.rec.warnings[0].text,
              "File over in folder " + dir / "w" + " skipped - exceeds the size limit");
}

TEST(FileFinder, PathsAtTheLengthBoundary) {
    TestDir dir;
    const std::string w = dir / "w";
    // A name is skipped when folder length + name length + 10 reaches 260.
    size_t fits = 260 - 10 - w.size() - 1;
    dir.write("w/" + std::string(fits, 'f'), "x");
    dir.write("w/" + std::string(fits + 1, 'g'), "x");
    dir.mkdirs("w/" + std::string(fits + 1, 'd'));
    Scan s(selectionOf(dir));
    EXPECT_EQ(s.rec.files, (std::vector<std::string>{std::string(fits, 'f')}));
    ASSERT_EQ(s.rec.warnings.size(), 2u);
    EXPECT_EQ(s.rec.warnings[0].code, 3700);
    EXPECT_EQ(s.rec.warnings[1].code, 3702);
}

TEST(FileFinder, CaseTwinsLinksAndSpecialFiles) {
    TestDir dir;
    dir.write("w/readme", "a");
    dir.write("w/README", "b");  // 'R' sorts before 'r': this one is kept
    dir.write("w/target.txt", "t");
    std::filesystem::create_symlink(dir / "w/target.txt", dir / "w/link.txt");
    std::filesystem::create_directory_symlink(dir / "w", dir / "w/loop");
    ASSERT_EQ(mkfifo((dir / "w/fifo").c_str(), 0600), 0);
    Scan s(selectionOf(dir));
    EXPECT_EQ(s.rec.files, (std::vector<std::string>{"README", "target.txt"}));
    ASSERT_EQ(s.rec.warnings.size(), 1u);
    EXPECT_EQ(s.rec.warnings[0].code, 3703);
    EXPECT_EQ(s.rec.warnings[0].text, "File readme in folder " + dir / "w" +
                                          " skipped - differs only in case from "
                                          "another name");
}

TEST(FileFinder, UnreadableFoldersAreReportedNotEmptied) {
    TestDir dir;
    dir.write("w/a/x.txt", "x");
    dir.write("w/b/y.txt", "y");
    dir.write("w/c/z.txt", "z");
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::ListDir, 3, EACCES);  // w, a, then b
        Scan s(selectionOf(dir));
        EXPECT_EQ(s.rec.files, (std::vector<std::string>{"a/x.txt", "c/z.txt"}));
        EXPECT_EQ(s.rec.skippedDirs, (std::vector<std::string>{"b"}));
        ASSERT_EQ(s.rec.warnings.size(), 1u);
        EXPECT_EQ(s.rec.warnings[0].code, 3704);
    }
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::ListDir, 1, EACCES);
        ScanFilter f(selectionOf(dir));
        Recorder r(f, "");
        try {
            r.find();
            FAIL() << "an unreadable watched folder must fail the scan";
        } catch (const Error& e) {
            EXPECT_EQ(e.code, 9000);
        }
    }
    // A watched folder that is a symbolic link is not followed either.
    std::filesystem::create_directory_symlink(dir / "w", dir / "link");
    FileSel sel;
    sel.setFolder(dir / "link");
    ScanFilter f(sel);
    Recorder r(f, "");
    EXPECT_THROW(r.find(), Error);
}

class Walker : public DirWalker {
  public:
    using DirWalker::DirWalker;
    std::vector<std::string> steps;

  protected:
    void onEnterDir(const char* name) override { steps.push_back(std::string("+") + name); }
    void onExitDir() override { steps.push_back("-"); }
};

TEST(DirWalker, GoToCrossesEachFolderBoundary) {
    Walker w("/a/b/c");
    ASSERT_TRUE(w.goTo("/A/x"));  // names differing only in case are the same folder
    EXPECT_EQ(w.steps, (std::vector<std::string>{"-", "-", "+x"}));
    EXPECT_STREQ(w.dir(), "/a/x");
    w.steps.clear();
    ASSERT_TRUE(w.goTo("/"));
    EXPECT_EQ(w.steps, (std::vector<std::string>{"-", "-"}));
    EXPECT_FALSE(w.exitDir());  // the root has no parent
    EXPECT_FALSE(w.goTo(std::string(260, 'a').c_str()));
    Walker fresh;
    ASSERT_TRUE(fresh.goTo("/p/q"));
    EXPECT_EQ(fresh.steps, (std::vector<std::string>{"+/", "+p", "+q"}));
}

}  // namespace
