#include "support/ArchiveCheck.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"
#include "support/TreeDump.h"

#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Runs the golden folder builder and returns the transaction time it prints.
int64_t makeFolder(const std::string& dir, const std::string& kind, const std::string& arg) {
    std::string out = dir + ".time";
    std::string cmd = "python3 " TRESMO_GOLDEN_DIR "/make_folder.py '" + dir + "' " + kind + " " +
                      arg + " > '" + out + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return std::stoll(check::fileBytes(out));
}

// Saves the folder as the archive at time t, then reloads it a second later.
void saveAt(Tresmo& a, const FileSel& sel, int64_t t) {
    ASSERT_TRUE(a.refresh(sel, t));
    ASSERT_TRUE(a.hasPendingChanges());
    ASSERT_TRUE(a.save());
    ASSERT_TRUE(a.refresh(sel, t + 1));
}

::testing::AssertionResult sameBytes(const std::string& ours, const std::string& golden) {
    if (ours == golden) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "sizes " << ours.size() << " and " << golden.size() << ", first difference at "
           << std::mismatch(ours.begin(), ours.end(), golden.begin(), golden.end()).first -
                  ours.begin();
}

class GoldenSingle : public ::testing::TestWithParam<const char*> {};

TEST_P(GoldenSingle, SavingTheFolderWritesTheGoldenArchiveAndRestoresIt) {
    RecordingPresenter shown;
    TestDir dir;
    const std::string name = GetParam();
    int64_t t = makeFolder(dir / "g", "single", name);
    Tresmo a;
    a.setPath(dir / (name + ".trsm"));
    FileSel sel;
    sel.setFolder(dir / "g");
    saveAt(a, sel, t);
    ASSERT_TRUE(shown.errors.empty()) << shown.errors[0].chainText();
    EXPECT_TRUE(sameBytes(check::fileBytes(dir / (name + ".trsm")),
                          check::fileBytes(TRESMO_GOLDEN_DIR "/single/" + name + ".trsm")));
    ASSERT_NE(a.root(), nullptr);
    Node* file = a.root()->firstChild;
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(a.restore(*file->versions->content()), dir.read("g/data.bin"));
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenSingle,
                         ::testing::Values("empty", "one-byte", "two-equal", "three-equal",
                                           "six-newlines", "abc-1000", "text-65536", "text-65537",
                                           "text-200k", "acgt-100k", "zeros-300k", "random-70k",
                                           "marks"),
                         [](const auto& info) {
                             std::string s = info.param;
                             for (char& c : s)
                                 if (c == '-') c = '_';
                             return s;
                         });

TEST(GoldenHistory, FourSavesWriteTheGoldenPrefixesAndReplayIntoTheDump) {
    RecordingPresenter shown;
    TestDir dir;
    Tresmo a;
    a.setPath(dir / "proj.trsm");
    FileSel sel;
    sel.setFolder(dir / "proj");
    for (int step = 1; step <= 4; ++step) {
        int64_t t = makeFolder(dir / "proj", "history", std::to_string(step));
        saveAt(a, sel, t);
        ASSERT_TRUE(shown.errors.empty()) << shown.errors[0].chainText();
        EXPECT_TRUE(sameBytes(check::fileBytes(dir / "proj.trsm"),
                              check::fileBytes(TRESMO_GOLDEN_DIR "/history/proj-step" +
                                               std::to_string(step) + ".trsm")))
            << "step " << step;
    }
    std::string dump = check::fileBytes(TRESMO_GOLDEN_DIR "/history/proj-step4.dump");
    dump = dump.substr(dump.find('\n') + 1);
    dump = dump.substr(0, dump.find("records "));
    EXPECT_EQ(dumpTree(a), dump);
}

}  // namespace
