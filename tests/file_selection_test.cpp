#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/objects/FileSel.h"

#include <gtest/gtest.h>

namespace {

TEST(FileSel, FreshSelectionIsStoredWithItsDefaults) {
    TestDir dir;
    FileSel sel;
    sel.setFile(dir / "a.sel");
    ASSERT_TRUE(sel.write());
    EXPECT_TRUE(sel.saved());
    const std::string path = dir / "a.sel";
    EXPECT_EQ(dir.read("a.sel"), "$$**10101010" + path + std::string("\0\0t\0tf", 6));
}

TEST(FileSel, TypesAndFieldsReadBackInOrder) {
    TestDir dir;
    dir.mkdirs("proj/src");
    FileSel sel;
    sel.setFile(dir / "proj.sel");
    sel.setFolder(dir / "proj");
    sel.setIncludeSubfolders(false);
    sel.setExceptions(" bin,obj ");
    sel.setExcludeTypes(false);
    sel.setListed("TXT", true);
    sel.setListed("DOC", true);
    ASSERT_TRUE(sel.write());

    FileSel back;
    back.setFile(dir / "proj.sel");
    ASSERT_TRUE(back.read());
    EXPECT_EQ(back.folder(), dir / "proj");
    EXPECT_FALSE(back.includeSubfolders());
    EXPECT_EQ(back.exceptions(), " bin,obj ");
    EXPECT_FALSE(back.excludeTypes());
    EXPECT_EQ(back.types(), (std::vector<std::string>{"TXT", "DOC"}));
    EXPECT_TRUE(back.saved());
}

TEST(FileSel, CopiesShareUntilOneChanges) {
    FileSel a;
    a.setFolder("/x");
    a.setListed("txt", true);
    a.setListed("txt", true);
    a.setListed("TXT", false);  // case-sensitive: nothing to remove
    a.setListed("doc", true);
    a.setListed("doc", false);
    a.setListed("pdf", true);
    EXPECT_EQ(a.types(), (std::vector<std::string>{"txt", "pdf"}));

    FileSel b = a;
    b.setFolder("/x");  // the same value: still shared
    EXPECT_TRUE(b.sharesWith(a));
    b.setFolder("/y");
    EXPECT_FALSE(b.sharesWith(a));
    EXPECT_EQ(a.folder(), "/x");
    EXPECT_EQ(b.folder(), "/y");
    EXPECT_FALSE(b.saved());
}

TEST(FileSel, MovedSelectionRebasesItsFolderAndDropsAMissingOne) {
    TestDir dir;
    dir.mkdirs("old/proj/src");
    FileSel sel;
    sel.setFile(dir / "old/proj/a.sel");
    sel.setFolder(dir / "old/proj/src");
    ASSERT_TRUE(sel.write());
    // Move the selection file together with the folder it selects.
    ASSERT_EQ(std::rename((dir / "old").c_str(), (dir / "new").c_str()), 0);
    FileSel moved;
    moved.setFile(dir / "new/proj/a.sel");
    ASSERT_TRUE(moved.read());
    EXPECT_EQ(moved.folder(), dir / "new/proj/src");

    // Without the folder the selection reads back with none, and without failure.
    ASSERT_EQ(std::rename((dir / "new/proj/src").c_str(), (dir / "gone").c_str()), 0);
    FileSel missing;
    missing.setFile(dir / "new/proj/a.sel");
    ASSERT_TRUE(missing.read());
    EXPECT_EQ(missing.folder(), "");
}

TEST(FileSel, DamagedFilesAreReportedWithTheirCause) {
    TestDir dir;
    RecordingPresenter shown;
    dir.write("long.sel", std::string("$$**10101010/x.sel\0\0t\0tt", 24) + std::string(20, 'T') +
                              std::string("\0f", 2));
    FileSel sel;
    sel.setFile(dir / "long.sel");
    EXPECT_FALSE(sel.read());
    ASSERT_EQ(shown.errors.size(), 1u);
    EXPECT_EQ(shown.errors[0].code, 2101);
    EXPECT_EQ(shown.errors[0].text, "Could not read file selection from file " + dir / "long.sel");
    ASSERT_NE(shown.errors[0].cause, nullptr);
    EXPECT_EQ(shown.errors[0].cause->code, 3402);

    dir.write("foreign.sel", "$$**20201010");
    FileSel foreign;
    foreign.setFile(dir / "foreign.sel");
    foreign.setFolder("/kept");
    EXPECT_FALSE(foreign.read());
    EXPECT_EQ(foreign.folder(), "/kept");  // a bad header leaves the selection as it was
    EXPECT_EQ(shown.errors.back().cause->code, 3412);

    FileSel unwritable;
    unwritable.setFile(dir / "no/such/folder/x.sel");
    EXPECT_FALSE(unwritable.write());
    EXPECT_EQ(shown.errors.back().code, 2100);
    EXPECT_EQ(shown.errors.back().cause->code, 3300);
}

}  // namespace
