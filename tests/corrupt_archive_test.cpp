// A small real archive cut at every offset and with a bit flipped at every byte: each variant is
// loaded, restored, exported and verified. A failure comes with a message, nothing leaves the
// target, and whatever loads is what was saved. Then tails, repair and verify on their own.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"

#include "archive/ops/Verify.h"
#include "archive/storage/StgFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

// Probes one variant of s's archive, says whether it was refused. Cut at cutAt: exactly the
// transactions wholly before it load, with the tail warning unless it fell between two of them; a
// flip loads at most all of them, fewer only with the tail or the damage warning.
bool runCase(const check::Saves& s, const std::string& bytes, TestDir& w,
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
    wrong |= p.loaded && n < s.times.size() && !p.tail && !p.damaged && !boundary;
    bool refused = !p.loaded || p.damaged || (n && !p.exported);
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
    EXPECT_LT(p.seconds, 10.0) << "too slow";
    EXPECT_FALSE(wrong) << (cutAt ? "cut at " : "flip at ") << (cutAt ? *cutAt : flipAt) << " ok "
                        << p.loaded << " times " << n << " tail " << p.tail << " refused "
                        << refused << " clean " << p.clean << " errors " << p.errors;
    EXPECT_FALSE(p.outside) << "changed outside the target";
    return refused;
}

}  // namespace

TEST(CorruptArchive, EveryCutAndEveryFlippedByteGivesAMessageOrWhatWasSaved) {
    // A small archive of three transactions: text with a delta, an empty file, incompressible
    // bytes in nested folders, then a file and a folder removed.
    check::Saves s;
    std::mt19937 rnd(5);
    std::string noise(700, '\0');
    for (char& c : noise)
        c = static_cast<char>(rnd());
    s.dir.write("w/a.txt", check::words(1500, 1), T0 - 10);
    s.dir.write("w/e.txt", "", T0 - 10);
    s.dir.write("w/x/y/n.bin", noise, T0 - 10);
    ASSERT_TRUE(s.save(T0));
    std::string a = check::words(1500, 1);
    a.insert(700, "inserted ");
    s.dir.write("w/a.txt", a, T0 + 90);
    s.dir.write("w/s/b.txt", check::words(200, 2), T0 + 90);
    s.dir.write("w/x/n2.bin", noise.substr(100), T0 + 90);
    ASSERT_TRUE(s.save(T0 + 100));
    fs::remove(s.dir / "w/e.txt");
    fs::remove_all(s.dir / "w/x/y");
    ASSERT_TRUE(s.save(T0 + 200));

    TestDir w;
    w.write("outside/canary", "canary");
    int refused = 0;
    const std::string good = check::fileBytes(s.archive);
    // A cut at 0 leaves an empty file, which an open takes as a new archive.
    for (uint64_t cut = 1; cut < good.size(); ++cut)
        refused += runCase(s, good.substr(0, cut), w, cut);
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ (1 << (i * 5 % 8)));
        refused += runCase(s, bad, w, std::nullopt, i);
    }
    std::printf("[sweep] %zu bytes cut and flipped at each, %d refused with a message\n",
                good.size(), refused);
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

// The second transaction cut short (its link valid, its record stream not all there) is a tail;
// a byte changed in its last block or in a.txt's content is damage; verify names both, writes none.
TEST(TailRecovery, ARecordStreamRunningPastTheEndIsATailButABadCrcIsDamage) {
    TwoSaves s;
    ASSERT_TRUE(s.save(T0 + 100));
    const std::string full = check::fileBytes(s.archive);
    RecordingPresenter shown;
    // Writes the archive changed at flip (none when 0), cut to its first cut bytes, and loads it.
    auto variant = [&](size_t flip, size_t cut, VerifyReport& r) {
        std::string bytes = full.substr(0, cut);
        if (flip) bytes[flip] ^= 0x01;
        check::writeBytes(s.archive, bytes);
        Tresmo x;
        x.setPath(s.archive);
        EXPECT_TRUE(x.verify(nullptr, r));
        EXPECT_EQ(check::fileBytes(s.archive), bytes) << "verify changed the file";
        shown.errors.clear();
        shown.warnings.clear();
        Tresmo a;
        return check::load(a, s.archive, T0 + 200) ? check::txnTimes(a).size() : 0u;
    };
    VerifyReport r;
    EXPECT_EQ(variant(0, full.size(), r), 2u);
    EXPECT_TRUE(r.clean());
    EXPECT_EQ(r.transactions * 100 + r.replayed * 10 + r.versions, 222);
    r = {};
    EXPECT_EQ(variant(0, full.size() - 3, r), 1u);
    EXPECT_EQ(r.tailBytes, full.size() - 3 - s.ends[0]);
    EXPECT_TRUE(r.transactions == 1 && r.damagedTxns.empty() && r.badVersions.empty());
    r = {};
    EXPECT_EQ(variant(full.size() - 8, full.size(), r), 1u);  // read up to the damage
    EXPECT_TRUE(shown.errors.empty());
    ASSERT_EQ(shown.warnings.size(), 1u);
    EXPECT_NE(shown.warnings[0].text.find(s.archive + " is damaged at transaction 2 (offset " +
                                          std::to_string(s.ends[0]) + ")"),
              std::string::npos);
    ASSERT_EQ(r.damagedTxns.size(), 1u);
    EXPECT_TRUE(r.damagedTxns[0].txn == 2 && r.damagedTxns[0].offset == s.ends[0]);
    EXPECT_NE(r.damagedTxns[0].text.find("3214"), std::string::npos) << r.damagedTxns[0].text;
    EXPECT_TRUE(r.replayed == 1 && r.transactions == 2);
    r = {};
    variant(StgFile::FILE_HEADER_LEN + 20, full.size(), r);
    ASSERT_EQ(r.badVersions.size(), 1u);
    EXPECT_EQ(r.badVersions[0].path, "a.txt");  // and its item, after the transaction's link
    EXPECT_TRUE(r.damagedTxns.empty() && r.badVersions[0].offset == StgFile::FILE_HEADER_LEN + 10);
    // A save that takes a delta against that content fails whole, naming the file, and leaves
    // the archive as it was.
    const std::string damaged = check::fileBytes(s.archive);
    s.dir.write("w/a.txt", std::string(4990, 'a') + "edited", T0 + 250);
    EXPECT_FALSE(s.save(T0 + 300));
    ASSERT_EQ(shown.errors.size(), 1u);
    EXPECT_NE(shown.errors[0].chainText().find("a.txt"), std::string::npos)
        << shown.errors[0].chainText();
    EXPECT_EQ(check::fileBytes(s.archive), damaged);
}

// A rollback that cannot cut leaves a tail the next save copies aside; a tail whose copy's name is
// taken goes under the next free one; repair cuts a tail on request but refuses damage.
TEST(TailRecovery, ATailIsCopiedAsideUnderAFreeNameBeforeASaveOrRepairCutsIt) {
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
    ASSERT_EQ(check::sideFiles(s.dir.path()).size(), 1u);
    FaultOs clock;
    clock.setClock(T0 + 3000);  // 20200913-131640 UTC
    const std::string taken = s.archive + ".tail-20200913-131640";
    check::writeBytes(taken, "an earlier copy");
    check::writeBytes(taken + "-2", "and another");
    const std::string tail(777, '\0');
    check::writeBytes(s.archive, s.afterFirst + tail);
    shown.warnings.clear();
    ASSERT_TRUE(s.save(T0 + 100)) << shown.errors.at(0).chainText();
    EXPECT_EQ(shown.warnings.size(), 1u);
    EXPECT_EQ(check::fileBytes(taken) + check::fileBytes(taken + "-2"),
              "an earlier copyand another");
    EXPECT_EQ(check::fileBytes(taken + "-3"), tail);
    EXPECT_EQ(check::fileBytes(s.archive).compare(0, s.afterFirst.size(), s.afterFirst), 0);
    {
        Tresmo b;
        shown.warnings.clear();
        ASSERT_TRUE(check::load(b, s.archive, T0 + 200));
        EXPECT_TRUE(shown.warnings.empty());
        std::vector<std::string> failed;
        EXPECT_EQ(check::stateAt(b, T0 + 100, failed), check::folderSnapshot(s.dir / "w"));
        EXPECT_TRUE(failed.empty());
    }
    const std::string tail2 = "$$//" + std::string(20, '\x01');
    check::writeBytes(s.archive, s.afterFirst + tail2);
    Tresmo r;
    r.setPath(s.archive);
    std::string side;
    ASSERT_TRUE(r.repair(&side));
    EXPECT_EQ(check::fileBytes(side), tail2);
    EXPECT_EQ(check::fileBytes(s.archive), s.afterFirst);
    ASSERT_TRUE(r.repair(&side));  // nothing more to do
    EXPECT_TRUE(side.empty());
    VerifyReport v;  // names every copy until the user removes it
    std::vector<std::string> sides = check::sideFiles(s.dir.path());
    std::sort(sides.begin(), sides.end());
    EXPECT_TRUE(r.verify(nullptr, v) && v.clean() && v.sideFiles == sides && sides.size() == 5);
    // A damaged transaction before the tail: the file stays as it is.
    std::string bad = s.afterFirst + tail2;
    bad[s.afterFirst.size() - 7] ^= 0x01;
    check::writeBytes(s.archive, bad);
    Tresmo d;
    d.setPath(s.archive);
    EXPECT_FALSE(d.repair(&side));
    EXPECT_EQ(check::fileBytes(s.archive), bad);
    EXPECT_EQ(check::sideFiles(s.dir.path()).size(), 5u);
    Tresmo m;
    m.setPath(s.dir / "none.trsm");
    EXPECT_FALSE(m.repair());
    EXPECT_FALSE(fs::exists(s.dir / "none.trsm"));
}
