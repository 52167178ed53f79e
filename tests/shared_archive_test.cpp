// One archive used by several programs at once: what one saves, another never loses.
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"
#include "archive/ops/Verify.h"
#include "archive/os/os.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

struct Shared {
    TestDir d;
    FileSel sel;
    RecordingPresenter shown;
    std::string archive = d / "w.trsm";

    Shared() {
        d.mkdirs("w");
        sel.setFolder(d / "w");
    }
    void load(Tresmo& a, int64_t t) {
        a.setPath(archive);
        ASSERT_TRUE(a.refresh(sel, t));
    }
    // Names under the root, in the tree's order, with '-' for one whose newest version is a
    // removal.
    static std::string names(const Tresmo& a) {
        std::string s;
        for (const Node* n = a.root()->firstChild; n; n = n->next)
            s += std::string(n->storedKind() == NodeKind::Absent ? "-" : "") + n->name + " ";
        return s;
    }
};

TEST(SharedArchive, ASaveAfterAnotherProgramsSaveReadsItFirstAndKeepsBoth) {
    Shared s;
    s.d.write("w/a.txt", "one", T0);
    s.d.write("w/b.txt", "bee", T0);
    {
        Tresmo first;
        s.load(first, T0 + 100);
        ASSERT_TRUE(first.save());
    }
    s.d.write("w/a.txt", "two", T0 + 150);
    s.d.write("w/c.txt", "new", T0 + 150);
    Tresmo late, watching;  // loaded and scanned before the other program saves
    s.load(late, T0 + 200);
    s.load(watching, T0 + 200);
    Tresmo unscanned;  // loaded only: it cannot tell what still differs
    unscanned.setPath(s.archive);
    unscanned.setNow(T0 + 200);
    unscanned.setName("w");
    ASSERT_TRUE(unscanned.read());
    {
        s.d.write("w/d.txt", "dee", T0 + 250);
        fs::remove(s.d / "w/b.txt");
        Tresmo other;
        s.load(other, T0 + 300);
        ASSERT_TRUE(other.save());
    }
    const auto afterOther = fs::file_size(s.archive);
    // A program that only shows the archive takes the new transaction in, in place.
    const Node* kept = watching.root()->firstChild;
    ASSERT_TRUE(watching.changedOnDisk() && watching.readNew() && watching.findChanges(s.sel));
    watching.updateFolderInfo();
    EXPECT_TRUE(!watching.changedOnDisk() && !watching.hasPendingChanges());
    EXPECT_TRUE(watching.txns()->seq == 1 && watching.root()->firstChild == kept);
    EXPECT_EQ(Shared::names(watching), "a.txt -b.txt c.txt d.txt ");
    EXPECT_FALSE(unscanned.save());
    ASSERT_TRUE(!s.shown.errors.empty() && s.shown.errors.back().hasCode(2033));
    EXPECT_EQ(fs::file_size(s.archive), afterOther);  // the failed save cut nothing
    s.shown.errors.clear();

    s.d.write("w/e.txt", "late", T0 + 350);
    SaveStats stats;
    ASSERT_TRUE(late.save(nullptr, &stats));
    EXPECT_TRUE(s.shown.errors.empty()) << s.shown.errors.front().chainText();
    EXPECT_TRUE(stats.files == 1 && stats.removed == 0);  // e.txt: the rest was saved already
    EXPECT_EQ(Shared::names(late), "a.txt -b.txt c.txt d.txt e.txt ");

    Tresmo fresh;
    s.load(fresh, os::sys().time() + 5);
    EXPECT_FALSE(fresh.hasPendingChanges());
    EXPECT_EQ(Shared::names(fresh), "a.txt -b.txt c.txt d.txt e.txt ");
    EXPECT_EQ(fresh.txns()->seq, 2);
    VerifyReport report;
    ASSERT_TRUE(fresh.verify(nullptr, report) && report.clean());
    EXPECT_EQ(report.versions, 6);

    // The other program saved the very changes: nothing is left to commit.
    s.d.write("w/a.txt", "three", T0 + 400);
    Tresmo same;
    s.load(same, os::sys().time());
    {
        Tresmo other;
        s.load(other, os::sys().time());
        ASSERT_TRUE(other.save());
    }
    const auto afterSame = fs::file_size(s.archive);
    ASSERT_TRUE(same.save(nullptr, &stats));
    EXPECT_EQ(stats.files, 0);
    EXPECT_EQ(fs::file_size(s.archive), afterSame);
    // Another file renamed over the name is read whole, as is one copied into it whose history
    // begins otherwise, even where more transactions follow at the length that was read.
    fs::copy_file(s.archive, s.d / "copy");
    fs::rename(s.d / "copy", s.archive);
    EXPECT_TRUE(same.changedOnDisk() && !same.readNew());
    Tresmo before;
    s.load(before, os::sys().time());
    s.d.write("w/f.txt", "f", T0 + 500);
    Tresmo other;
    s.load(other, os::sys().time());
    ASSERT_TRUE(other.save());
    std::string bytes = s.d.read("w.trsm");
    bytes[40] ^= 1;
    std::ofstream(s.archive, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_TRUE(before.changedOnDisk() && !before.readNew());
    // The whole read that follows takes the file as it is now.
    EXPECT_TRUE(before.refresh(s.sel, os::sys().time()) && !before.changedOnDisk());
    EXPECT_EQ(before.txns()->seq, other.txns()->seq);
}

// The platform as a user sees it who may read the archive but not write it.
struct ReadOnlyArchive : FaultOs {
    std::string path;
    int open(const char* p, int f, mode_t m) override {
        if (path == p && (f & O_ACCMODE) != O_RDONLY) {
            errno = EACCES;
            return -1;
        }
        return FaultOs::open(p, f, m);
    }
};

TEST(SharedArchive, AnArchiveThatMayNotBeWrittenStillLoadsExportsAndVerifies) {
    Shared s;
    s.d.write("w/a.txt", "one", T0);
    {
        Tresmo a;
        s.load(a, T0 + 100);
        ASSERT_TRUE(a.save());
    }
    s.d.write("w/a.txt", "two", T0 + 150);
    const std::string before = s.d.read("w.trsm");
    ReadOnlyArchive readOnly;
    readOnly.path = s.archive;
    Tresmo a;
    s.load(a, T0 + 200);
    a.selectFolder(a.root());
    VerifyReport report;
    EXPECT_TRUE(a.verify(nullptr, report) && report.clean());
    s.d.mkdirs("out");
    EXPECT_TRUE(a.exportSelected(s.d / "out"));
    EXPECT_EQ(s.d.read("out/w/a.txt"), "one");
    EXPECT_FALSE(a.save());
    ASSERT_FALSE(s.shown.errors.empty());
    EXPECT_TRUE(s.shown.errors.back().hasCode(3000) && s.shown.errors.size() == 1)
        << s.shown.errors.back().chainText();
    EXPECT_TRUE(s.d.read("w.trsm") == before);
}

}  // namespace
