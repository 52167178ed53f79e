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
