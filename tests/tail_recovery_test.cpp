// An incomplete transaction at the end of the storage file is set aside and cut by the next
// save; damage inside a complete transaction is still reported as damage.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

struct TwoSaves {
    TestDir dir;
    FileSel sel;
    std::string archive;
    std::string afterFirst;
    TwoSaves() {
        sel.setFolder(dir / "w");
        archive = dir / "w.trsm";
        dir.write("w/a.txt", std::string(5000, 'a'), T0 - 10);
        save(T0);
        afterFirst = check::fileBytes(archive);
        dir.write("w/b.txt", std::string(3000, 'b'), T0 + 50);
    }
    bool save(int64_t t) {
        Tresmo a;
        a.setPath(archive);
        return a.refresh(sel, t) && a.save();
    }
    std::vector<std::string> sideFiles() const {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename().string().rfind("w.trsm.tail-", 0) == 0)
                out.push_back(e.path().string());
        return out;
    }
};

}  // namespace

TEST(TailRecovery, ARecordStreamRunningPastTheEndIsATailButABadCrcIsDamage) {
    TwoSaves s;
    ASSERT_TRUE(s.save(T0 + 100));
    const std::string full = check::fileBytes(s.archive);
    // The second transaction cut short: its link is valid, its record stream is not all there.
    check::writeBytes(s.archive, full.substr(0, full.size() - 3));
    {
        RecordingPresenter shown;
        Tresmo a;
        ASSERT_TRUE(check::load(a, s.archive, T0 + 200));
        ASSERT_EQ(shown.warnings.size(), 1u);
        EXPECT_EQ(shown.warnings[0].code, 3016);
        EXPECT_EQ(shown.warnings[0].text,
                  "Storage file ends with an incomplete transaction of " +
                      std::to_string(full.size() - 3 - s.afterFirst.size()) + " bytes");
        EXPECT_EQ(check::txnTimes(a).size(), 1u);
    }
    // One byte changed inside the last block of the complete second transaction.
    std::string bad = full;
    bad[bad.size() - 8] ^= 0x01;
    check::writeBytes(s.archive, bad);
    RecordingPresenter shown;
    Tresmo a;
    EXPECT_FALSE(check::load(a, s.archive, T0 + 200));
    EXPECT_TRUE(shown.warnings.empty());
    ASSERT_FALSE(shown.errors.empty());
    EXPECT_EQ(shown.errors[0].code, 2011);
    EXPECT_TRUE(shown.errors[0].hasCode(3214)) << shown.errors[0].chainText();
}

TEST(TailRecovery, TheNextSaveMovesTheTailAsideAndAppendsAfterTheCompleteTransactions) {
    TwoSaves s;
    const std::string tail(777, '\0');
    check::writeBytes(s.archive, s.afterFirst + tail);
    RecordingPresenter shown;
    ASSERT_TRUE(s.save(T0 + 100));
    ASSERT_EQ(shown.warnings.size(), 1u);
    std::vector<std::string> side = s.sideFiles();
    ASSERT_EQ(side.size(), 1u);
    EXPECT_EQ(check::fileBytes(side[0]), tail);
    // The new transaction follows the first one directly.
    EXPECT_EQ(check::fileBytes(s.archive).compare(0, s.afterFirst.size(), s.afterFirst), 0);
    Tresmo a;
    shown.warnings.clear();
    ASSERT_TRUE(check::load(a, s.archive, T0 + 200));
    EXPECT_TRUE(shown.warnings.empty());
    std::vector<std::string> failed;
    EXPECT_EQ(check::stateAt(a, T0 + 100, failed), check::folderSnapshot(s.dir / "w"));
    EXPECT_TRUE(failed.empty());
}

TEST(TailRecovery, ASideFileNameTakenInTheSameSecondGetsANumberAndTheOldFileStays) {
    TwoSaves s;
    FaultOs clock;
    clock.setClock(T0 + 3000);  // 20200913-131640 UTC
    const std::string taken = s.archive + ".tail-20200913-131640";
    check::writeBytes(taken, "an earlier copy");
    check::writeBytes(taken + "-2", "and another");
    const std::string tail(300, '\x07');
    check::writeBytes(s.archive, s.afterFirst + tail);
    RecordingPresenter shown;
    ASSERT_TRUE(s.save(T0 + 100)) << shown.errors.at(0).chainText();
    EXPECT_EQ(check::fileBytes(taken), "an earlier copy");
    EXPECT_EQ(check::fileBytes(taken + "-2"), "and another");
    EXPECT_EQ(check::fileBytes(taken + "-3"), tail);
    EXPECT_EQ(s.sideFiles().size(), 3u);
}

TEST(TailRecovery, ARollbackThatCannotCutLeavesATailTheNextSaveCuts) {
    TwoSaves s;
    RecordingPresenter shown;
    Tresmo a;
    a.setPath(s.archive);
    ASSERT_TRUE(a.refresh(s.sel, T0 + 100));
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Pwrite, 3, EIO);
        fault.failAt(FaultOs::Call::Ftruncate, 1, EIO, true);
        EXPECT_FALSE(a.save());
    }
    EXPECT_GT(check::fileBytes(s.archive).size(), s.afterFirst.size());
    // The same object saves again: its open accepts the tail, the save moves it aside.
    ASSERT_TRUE(a.refresh(s.sel, T0 + 100));
    shown.errors.clear();
    ASSERT_TRUE(a.save()) << shown.errors.at(0).chainText();
    EXPECT_EQ(s.sideFiles().size(), 1u);
    Tresmo b;
    ASSERT_TRUE(check::load(b, s.archive, T0 + 200));
    EXPECT_EQ(check::txnTimes(b).size(), 2u);
}

TEST(TailRecovery, ASideFileThatCannotBeWrittenStopsTheSaveBeforeAnythingIsCut) {
    TwoSaves s;
    check::writeBytes(s.archive, s.afterFirst + std::string(100, '\0'));
    const std::string before = check::fileBytes(s.archive);
    RecordingPresenter shown;
    Tresmo a;
    a.setPath(s.archive);
    ASSERT_TRUE(a.refresh(s.sel, T0 + 100));
    {
        FaultOs fault;
        fault.failAt(FaultOs::Call::Write, 1, ENOSPC);
        EXPECT_FALSE(a.save());
    }
    ASSERT_FALSE(shown.errors.empty());
    EXPECT_TRUE(shown.errors[0].hasCode(3017)) << shown.errors[0].chainText();
    EXPECT_EQ(check::fileBytes(s.archive), before);
    EXPECT_TRUE(s.sideFiles().empty());
}

TEST(TailRecovery, RepairCutsATailOnRequestAndRefusesDamage) {
    TwoSaves s;
    RecordingPresenter shown;
    const std::string tail = "$$//" + std::string(20, '\x01');
    check::writeBytes(s.archive, s.afterFirst + tail);
    Tresmo a;
    a.setPath(s.archive);
    std::string side;
    ASSERT_TRUE(a.repair(&side));
    EXPECT_EQ(check::fileBytes(side), tail);
    EXPECT_EQ(check::fileBytes(s.archive), s.afterFirst);
    // Nothing more to do.
    ASSERT_TRUE(a.repair(&side));
    EXPECT_TRUE(side.empty());
    // A damaged transaction before the tail: the file stays as it is.
    std::string bad = s.afterFirst + tail;
    bad[s.afterFirst.size() - 7] ^= 0x01;
    check::writeBytes(s.archive, bad);
    Tresmo b;
    b.setPath(s.archive);
    EXPECT_FALSE(b.repair(&side));
    EXPECT_EQ(check::fileBytes(s.archive), bad);
    EXPECT_EQ(s.sideFiles().size(), 1u);
    Tresmo c;
    c.setPath(s.dir / "none.trsm");
    EXPECT_FALSE(c.repair());
    EXPECT_FALSE(fs::exists(s.dir / "none.trsm"));
}
