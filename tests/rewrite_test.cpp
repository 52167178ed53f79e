#include "archive/ops/Rewrite.h"

#include "support/ArchiveCheck.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include <gtest/gtest.h>

namespace {

::testing::AssertionResult sameBytes(const std::string& ours, const std::string& want) {
    if (ours == want) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "sizes " << ours.size() << " and " << want.size() << ", first difference at "
           << std::mismatch(ours.begin(), ours.end(), want.begin(), want.end()).first -
                  ours.begin();
}

}  // namespace

// Every golden archive (a single file, each step of the history) is rewritten to its own bytes:
// the save chose the same deltas and full contents from the restored states.
TEST(Rewrite, EveryGoldenArchiveIsRewrittenByteForByte) {
    RecordingPresenter shown;
    TestDir dir;
    std::vector<std::string> golden;
    for (const char* name :
         {"empty", "one-byte", "two-equal", "three-equal", "six-newlines", "abc-1000", "text-65536",
          "text-65537", "text-200k", "acgt-100k", "zeros-300k", "random-70k", "marks"})
        golden.push_back(std::string("single/") + name);
    for (const char* step : {"1", "2", "3", "4", "5", "6"})
        golden.push_back(std::string("history/proj-step") + step);
    for (const std::string& g : golden) {
        SCOPED_TRACE(g);
        const std::string old = TRESMO_GOLDEN_DIR "/" + g + ".trsm", out = dir / "out.trsm";
        RewriteReport report;
        ASSERT_TRUE(rewriteArchive(old, out, RewriteOptions{.force = true, .folder = ""}, report))
            << shown.errors.at(0).chainText();
        EXPECT_TRUE(sameBytes(check::fileBytes(out), check::fileBytes(old)));
        EXPECT_TRUE(report.lost.empty());
        EXPECT_EQ(report.txnsKept, report.txnsBefore);
    }
    EXPECT_TRUE(shown.errors.empty());
}

// Pruning keeps the transactions from the first kept one on, that one with the complete state
// of its time: each kept transaction restores the files the old archive restores then, and the
// new archive is the one a fresh save of the kept states at their times writes.
TEST(Rewrite, PruningKeepsTheStatesAfterTheCutAsAFreshSaveOfThemWould) {
    RecordingPresenter shown;
    TestDir dir;
    const std::string old = TRESMO_GOLDEN_DIR "/history/proj-step6.trsm";
    struct Case {
        int32_t keepLast;
        int firstStep;  // of the history, kept by the keep-since form
    };
    const std::vector<Case> cases = {{1, 6}, {3, 4}, {5, 2}};
    Tresmo whole;
    ASSERT_TRUE(check::load(whole, old, 2000000000));
    const std::vector<int64_t> times = check::txnTimes(whole);
    ASSERT_EQ(times.size(), 6u);
    // The fresh saves: the history's folder built step by step, saved from each case's cut on.
    FileSel sel;
    sel.setFolder(dir / "proj");
    for (int step = 1; step <= 6; ++step) {
        const std::string cmd = "python3 " TRESMO_GOLDEN_DIR "/make_folder.py '" + dir / "proj" +
                                "' history " + std::to_string(step) + " > /dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        for (const Case& c : cases) {
            if (step < c.firstStep) continue;
            Tresmo a;
            a.setPath(dir / ("fresh" + std::to_string(c.keepLast)));
            ASSERT_TRUE(a.refresh(sel, times[static_cast<size_t>(step - 1)]) && a.save());
        }
    }
    for (const Case& c : cases) {
        const std::string fresh = check::fileBytes(dir / ("fresh" + std::to_string(c.keepLast)));
        for (const RewriteOptions& o :
             {RewriteOptions{.keepLast = c.keepLast, .force = true, .folder = ""},
              RewriteOptions{.keepSince = times[static_cast<size_t>(c.firstStep - 1)] - 1,
              .force = true,
              .folder = ""}}) {
            SCOPED_TRACE(std::to_string(c.keepLast) + " " + std::to_string(o.keepSince));
            RewriteReport report;
            ASSERT_TRUE(rewriteArchive(old, dir / "out.trsm", o, report));
            EXPECT_TRUE(sameBytes(check::fileBytes(dir / "out.trsm"), fresh));
            Tresmo kept;
            ASSERT_TRUE(check::load(kept, dir / "out.trsm", 2000000000));
            const std::vector<int64_t> keptTimes = check::txnTimes(kept);
            EXPECT_EQ(keptTimes, std::vector<int64_t>(times.end() - c.keepLast, times.end()));
            EXPECT_EQ(report.txnsKept, c.keepLast);
            for (int64_t t : keptTimes) {
                std::vector<std::string> failed;
                EXPECT_TRUE(check::restores(kept, t, check::stateAt(whole, t, failed)));
                EXPECT_TRUE(failed.empty());
            }
        }
    }
    EXPECT_TRUE(shown.errors.empty());
}
