#include "support/ArchiveCheck.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"
#include "support/TreeDump.h"

#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>

// Each single-file folder, then the six steps of the history, saved with the folder builder's
// transaction time: every archive equals its golden one and the history replays into the dump.
TEST(GoldenSave, SavesOfTheGoldenFoldersWriteTheGoldenArchivesByteForByte) {
    RecordingPresenter shown;
    TestDir dir;
    std::vector<std::array<std::string, 3>> runs;  // folder, builder arguments, golden archive
    for (const char* name :
         {"empty", "one-byte", "two-equal", "three-equal", "six-newlines", "abc-1000", "text-65536",
          "text-65537", "text-200k", "acgt-100k", "zeros-300k", "random-70k", "marks"})
        runs.push_back({name, std::string("single ") + name, std::string("single/") + name});
    for (const char* step : {"1", "2", "3", "4", "5", "6"})
        runs.push_back(
            {"proj", std::string("history ") + step, std::string("history/proj-step") + step});
    Tresmo a;
    for (const auto& [folder, args, golden] : runs) {
        SCOPED_TRACE(args);
        const std::string cmd = "python3 " TRESMO_GOLDEN_DIR "/make_folder.py '" + dir / folder +
                                "' " + args + " > '" + dir / "time" + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        const int64_t t = std::stoll(dir.read("time"));
        FileSel sel;
        sel.setFolder(dir / folder);
        if (folder != "proj") a.clear();  // the history's steps go on in one archive
        a.setPath(dir / (folder + ".trsm"));
        ASSERT_TRUE(a.refresh(sel, t) && a.hasPendingChanges() && a.save());
        ASSERT_TRUE(a.refresh(sel, t + 1)) << shown.errors.at(0).chainText();
        EXPECT_TRUE(check::sameBytes(check::fileBytes(dir / (folder + ".trsm")),
                                     check::fileBytes(TRESMO_GOLDEN_DIR "/" + golden + ".trsm")));
    }
    std::string dump = check::fileBytes(TRESMO_GOLDEN_DIR "/history/proj-step6.dump");
    dump = dump.substr(dump.find('\n') + 1);
    EXPECT_EQ(dumpTree(a), dump.substr(0, dump.find("records ")));
}
