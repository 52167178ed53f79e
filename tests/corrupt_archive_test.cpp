// Small real archives cut at every offset and with a bit flipped at every byte: each variant is
// loaded, restored, exported and verified. A failure comes with a message, nothing leaves the
// target, and whatever loads is what was saved. Then tails, repair and verify on their own.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"

#include "archive/ops/Verify.h"
#include "archive/storage/StgFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

struct Tally {
    int cases = 0, refused = 0;
    int wrong = 0;  // a silent difference from what was saved: goal 0
    double slowest = 0;
};

// Probes one variant of s's archive. cutAt: the variant is the archive cut there, so exactly
// the transactions wholly before it must load, with the tail warning unless it fell between two
// of them; a flip loads at most all of them, fewer only with the warning.
void runCase(const check::Saves& s, const std::string& bytes, TestDir& w, Tally& t,
             std::optional<uint64_t> cutAt, size_t flipAt = 0) {
    check::writeBytes(w / "a.trsm", bytes);
    fs::remove_all(w / "target");
    fs::create_directory(w / "target");
    const check::Probe p = check::probe(w.path(), T0 + 10000);
    const size_t n = p.loaded ? p.times.size() : 0;
    size_t expected = s.times.size();
    if (cutAt) {
        expected = 0;
        while (expected < s.ends.size() && s.ends[expected] <= *cutAt)
            ++expected;
    }
    const bool boundary = cutAt && *cutAt == (expected ? s.ends[expected - 1] : 12);
    bool wrong = p.loaded && (cutAt ? n != expected || p.tail == boundary : n > expected);
    wrong |= p.loaded && n < s.times.size() && !p.tail && !boundary;
    bool refused = !p.loaded || (n && !p.exported);
    for (size_t i = 0; i < n && !wrong; ++i) {
        wrong |= p.times[i] != s.times[i] ||
                 p.states[i].size() + p.failed[i].size() != s.states[i].size();
        refused |= !p.failed[i].empty();
        for (const auto& [path, data] : p.states[i]) {
            auto it = s.states[i].find(path);
            wrong |= it == s.states[i].end() || it->second != data;
        }
    }
    if (p.exported && n && !wrong) {
        check::Snapshot exported;
        for (const auto& [path, data] : s.states[n - 1])
            exported["archive/" + path] = data;
        wrong |= p.target != exported;
    }
    // A failed load or export shows its error; a failed restore throws it (kept in failed).
    wrong |= (!p.loaded || (n && !p.exported)) && p.errors == 0;
    // A clean verify promises that everything is there.
    wrong |= p.clean && (refused || (n != s.times.size() && !boundary));
    ++t.cases;
    t.wrong += wrong;
    t.refused += refused;
    t.slowest = std::max(t.slowest, p.seconds);
    EXPECT_FALSE(wrong) << (cutAt ? "cut at " : "flip at ") << (cutAt ? *cutAt : flipAt) << " ok "
                        << p.loaded << " times " << n << " tail " << p.tail << " refused "
                        << refused << " clean " << p.clean << " errors " << p.errors;
    EXPECT_FALSE(p.outside) << "changed outside the target";
}

}  // namespace

TEST(CorruptArchive, EveryCutAndEveryFlippedByteGivesAMessageOrWhatWasSaved) {
    // Two small archives of three transactions: text with deltas, an empty file and a removal;
    // and incompressible bytes in nested folders.
    check::Saves texts, binary;
    texts.dir.write("w/a.txt", check::words(1500, 1), T0 - 10);
    texts.dir.write("w/e.txt", "", T0 - 10);
    ASSERT_TRUE(texts.save(T0));
    std::string a = check::words(1500, 1);
    a.insert(700, "inserted ");
    texts.dir.write("w/a.txt", a, T0 + 90);
    texts.dir.write("w/s/b.txt", check::words(200, 2), T0 + 90);
    ASSERT_TRUE(texts.save(T0 + 100));
    fs::remove(texts.dir / "w/e.txt");
    ASSERT_TRUE(texts.save(T0 + 200));
    std::mt19937 rnd(5);
    std::string noise(700, '\0');
    for (char& c : noise)
        c = static_cast<char>(rnd());
    binary.dir.write("w/x/y/n.bin", noise, T0 - 10);
    ASSERT_TRUE(binary.save(T0));
    noise[100] ^= 1;
    binary.dir.write("w/x/n2.bin", noise, T0 + 90);
    ASSERT_TRUE(binary.save(T0 + 100));
    fs::remove_all(binary.dir / "w/x/y");
    ASSERT_TRUE(binary.save(T0 + 200));

    TestDir w;
    w.write("outside/canary", "canary");
    Tally cuts, flips;
    size_t bytes = 0;
    for (const check::Saves* s : {&texts, &binary}) {
        const std::string good = check::fileBytes(s->archive);
        bytes += good.size();
        // A cut at 0 leaves an empty file, which an open takes as a new archive.
        for (uint64_t cut = 1; cut < good.size(); ++cut)
            runCase(*s, good.substr(0, cut), w, cuts, cut);
        for (size_t i = 0; i < good.size(); ++i) {
            std::string bad = good;
            bad[i] = static_cast<char>(bad[i] ^ (1 << (i * 5 % 8)));
            runCase(*s, bad, w, flips, std::nullopt, i);
        }
        if (::testing::Test::HasFailure()) break;
    }
    std::printf("[sweep] %zu bytes: %d cuts and %d flips, %d refused with a message\n", bytes,
                cuts.cases, flips.cases, cuts.refused + flips.refused);
    EXPECT_EQ(cuts.wrong + flips.wrong, 0);
    EXPECT_LT(std::max(cuts.slowest, flips.slowest), 10.0);
}

namespace {

// a.txt saved; b.txt waiting for the second save.
struct TwoSaves : check::Saves {
    std::string afterFirst;
    TwoSaves() {
        dir.write("w/a.txt", std::string(5000, 'a'), T0 - 10);
        EXPECT_TRUE(save(T0));
        afterFirst = check::fileBytes(archive);
        dir.write("w/b.txt", std::string(3000, 'b'), T0 + 50);
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

TEST(TailRecovery, TheNextSaveCopiesTheTailAsideUnderAFreeNameAndAppendsAfterTheCompleteOnes) {
    TwoSaves s;
    FaultOs clock;
    clock.setClock(T0 + 3000);  // 20200913-131640 UTC
    const std::string taken = s.archive + ".tail-20200913-131640";
    check::writeBytes(taken, "an earlier copy");
    check::writeBytes(taken + "-2", "and another");
    const std::string tail(777, '\0');
    check::writeBytes(s.archive, s.afterFirst + tail);
    RecordingPresenter shown;
    ASSERT_TRUE(s.save(T0 + 100)) << shown.errors.at(0).chainText();
    EXPECT_EQ(shown.warnings.size(), 1u);
    EXPECT_EQ(check::fileBytes(taken), "an earlier copy");
    EXPECT_EQ(check::fileBytes(taken + "-2"), "and another");
    EXPECT_EQ(check::fileBytes(taken + "-3"), tail);
    EXPECT_EQ(check::sideFiles(s.dir.path()).size(), 3u);
    EXPECT_EQ(check::fileBytes(s.archive).compare(0, s.afterFirst.size(), s.afterFirst), 0);
    Tresmo a;
    shown.warnings.clear();
    ASSERT_TRUE(check::load(a, s.archive, T0 + 200));
    EXPECT_TRUE(shown.warnings.empty());
    std::vector<std::string> failed;
    EXPECT_EQ(check::stateAt(a, T0 + 100, failed), check::folderSnapshot(s.dir / "w"));
    EXPECT_TRUE(failed.empty());
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
    ASSERT_TRUE(a.save());
    EXPECT_EQ(check::sideFiles(s.dir.path()).size(), 1u);
    Tresmo b;
    ASSERT_TRUE(check::load(b, s.archive, T0 + 200));
    EXPECT_EQ(check::txnTimes(b).size(), 2u);
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
    ASSERT_TRUE(a.repair(&side));  // nothing more to do
    EXPECT_TRUE(side.empty());
    // A damaged transaction before the tail: the file stays as it is.
    std::string bad = s.afterFirst + tail;
    bad[s.afterFirst.size() - 7] ^= 0x01;
    check::writeBytes(s.archive, bad);
    Tresmo b;
    b.setPath(s.archive);
    EXPECT_FALSE(b.repair(&side));
    EXPECT_EQ(check::fileBytes(s.archive), bad);
    EXPECT_EQ(check::sideFiles(s.dir.path()).size(), 1u);
    Tresmo c;
    c.setPath(s.dir / "none.trsm");
    EXPECT_FALSE(c.repair());
    EXPECT_FALSE(fs::exists(s.dir / "none.trsm"));
}

// Three transactions: a.txt and b.txt, then a.txt changed (a delta), then c.txt added.
TEST(Verify, ReportsCountsTailDamagedVersionsAndTransactionsAndNeverChangesTheFile) {
    RecordingPresenter shown;
    check::Saves s;
    std::string a(40000, 'a');
    for (size_t i = 0; i < a.size(); i += 7)
        a[i] = static_cast<char>('a' + i % 23);
    s.dir.write("w/a.txt", a, T0 - 10);
    s.dir.write("w/b.txt", std::string(3000, 'b'), T0 - 10);
    ASSERT_TRUE(s.save(T0));
    a.replace(20000, 5, "12345");
    s.dir.write("w/a.txt", a, T0 + 90);
    ASSERT_TRUE(s.save(T0 + 100));
    s.dir.write("w/c.txt", "ccc", T0 + 190);
    ASSERT_TRUE(s.save(T0 + 200));
    const std::string good = check::fileBytes(s.archive);
    // The archive with one bit flipped at flip (none when 0), cut to its first cut bytes.
    auto verify = [&](size_t flip, size_t cut = std::string::npos) {
        std::string bytes = good.substr(0, cut);
        if (flip) bytes[flip] ^= 0x10;
        check::writeBytes(s.archive, bytes);
        Tresmo x;
        x.setPath(s.archive);
        VerifyReport r;
        EXPECT_TRUE(x.verify(nullptr, r));
        EXPECT_EQ(check::fileBytes(s.archive), bytes) << "verify changed the file";
        return r;
    };
    VerifyReport r = verify(0);
    EXPECT_TRUE(r.clean());
    EXPECT_EQ(r.transactions, 3);
    EXPECT_EQ(r.replayed, 3);
    EXPECT_EQ(r.versions, 4);  // a twice, b, c
    EXPECT_EQ(r.bytes, 40000 * 2 + 3000 + 3);
    EXPECT_EQ(r.fileSize, s.ends.back());
    r = verify(0, s.ends.back() - 4);
    EXPECT_EQ(r.tailBytes, s.ends[2] - 4 - s.ends[1]);
    EXPECT_EQ(r.transactions, 2);
    EXPECT_TRUE(r.damagedTxns.empty() && r.badVersions.empty());
    // Inside a.txt's first full version: it and the delta on top of it are named.
    r = verify(StgFile::FILE_HEADER_LEN + 10 + 40);
    EXPECT_TRUE(r.damagedTxns.empty());
    ASSERT_EQ(r.badVersions.size(), 2u);
    EXPECT_EQ(r.badVersions[0].path + r.badVersions[1].path, "a.txta.txt");
    EXPECT_EQ(r.versions, 4);
    // The second transaction's record-stream CRC: the replay stops before it.
    r = verify(s.ends[1] - 2);
    ASSERT_EQ(r.damagedTxns.size(), 1u);
    EXPECT_EQ(r.damagedTxns[0].txn, 2);
    EXPECT_NE(r.damagedTxns[0].text.find("3214"), std::string::npos) << r.damagedTxns[0].text;
    EXPECT_EQ(r.replayed, 1);
    EXPECT_EQ(r.transactions, 3);
    // A missing file is reported, not created.
    Tresmo x;
    x.setPath(s.dir / "missing.trsm");
    EXPECT_FALSE(x.verify(nullptr, r));
    EXPECT_FALSE(fs::exists(s.dir / "missing.trsm"));
    ASSERT_FALSE(shown.errors.empty());
    EXPECT_TRUE(shown.errors.back().hasCode(3000));
}
