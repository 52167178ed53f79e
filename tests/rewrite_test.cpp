#include "archive/ops/Rewrite.h"

#include "support/ArchiveCheck.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgRecovery.h"

#include <gtest/gtest.h>

#include <algorithm>

using check::sameBytes;

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
    // An archive that keeps permission bits, changed alone or with the content, of files and
    // folders, and links (-2: made or retargeted): rewritten whole to its own bytes, and pruned
    // to its last two states with them.
    check::Saves h;
    h.sel.setMetaFormat(true);
    namespace fs = std::filesystem;
    const std::vector<std::vector<std::pair<std::string, int>>> steps = {
        {{"a", -1},
         {"b", -1},
         {"sub/c", -1},
         {"run.sh", -1},
         {"run.sh", 0755},
         {"sub", 0700},
         {"ln", -2}},
        {{"run.sh", 0700}, {"b", -2}, {"ln", -2}},
        {{"sub", 0755}, {"a", 0600}},
        {{"a", -1}, {"run.sh", 0755}, {"sub", 0750}},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        for (const auto& [f, mode] : steps[i]) {
            if (mode < 0) h.dir.write("w/" + f, check::words(400, unsigned(i)) + f, 1000 + long(i));
            if (mode >= 0) fs::permissions(h.dir / ("w/" + f), fs::perms(mode));
            if (mode == -2) h.dir.link("w/" + f, "t" + std::to_string(i), 1000 + long(i));
        }
        ASSERT_TRUE(h.save(1700000000 + 100 * int64_t(i)));
    }
    auto modes = [](const std::string& archive, int64_t t) {
        Tresmo a;
        std::map<std::string, int> m;
        EXPECT_TRUE(check::load(a, archive, 2000000000) && a.metaFormat());
        for (const Node* n = a.root(); n; n = nextInTree(n, nullptr)) {
            const Version* v = Tresmo::versionAt(n, t);
            std::string path;
            for (const Node* x = n; x->parent; x = x->parent)
                path = "/" + std::string(x->name) + path;
            if (v && v->kind() != NodeKind::Absent) m[path] = v->scanMode();
        }
        return m;
    };
    for (int32_t keep : {0, 2}) {
        SCOPED_TRACE(keep);
        const std::string out = dir / "out.trsm";
        RewriteReport report;
        ASSERT_TRUE(rewriteArchive(
            h.archive, out, RewriteOptions{.keepLast = keep, .force = true, .folder = ""}, report));
        EXPECT_TRUE(keep || sameBytes(check::fileBytes(out), check::fileBytes(h.archive)));
        for (size_t i = keep ? steps.size() - size_t(keep) : 0; i < steps.size(); ++i)
            EXPECT_EQ(modes(out, h.times[i]), modes(h.archive, h.times[i]));
    }
    EXPECT_EQ(modes(h.archive, h.times[3])["/run.sh"], 0755);
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

// A small history damaged at each transaction, in its record stream, its link or the content
// of one file: the rewrite keeps every version it can place and restore, lists the lost
// content, counts what it could not place, and the new archive verifies clean. Transaction i
// changes a, b and sub/c, adds new<i> and changes new<i-1>: after a damaged record stream, the
// next one's change of the node the damage added is not placed, its other changes and its own
// new node are.
TEST(Rewrite, SalvageKeepsExactlyTheIntactVersionsOfADamagedArchive) {
    RecordingPresenter shown;
    for (bool bits : {false, true}) {
        check::Saves h;
        // With permission bits, each transaction's item lies between its link and its contents.
        h.sel.setMetaFormat(bits);
        for (int i = 0; i < 3; ++i) {
            for (const std::string& f : std::vector<std::string>{
                     "a", "b", "sub/c", "new" + std::to_string(i), "new" + std::to_string(i - 1)})
                if (f != "new-1")
                    h.dir.write("w/" + f, check::words(300 + 50 * i, i) + f, 1000 + i);
            std::filesystem::permissions(h.dir / "w/b", std::filesystem::perms(0700 + i));
            ASSERT_TRUE(h.save(1700000000 + 100 * i));
        }
        enum Where { STREAM, LINK, CONTENT };
        for (Where where : {STREAM, LINK, CONTENT}) {
            for (size_t k = where == CONTENT ? 0 : 1; k < 3; ++k) {
                SCOPED_TRACE(std::to_string(where) + " at " + std::to_string(k) +
                             (bits ? " bits" : ""));
                const std::string old = h.dir / "old.trsm", out = h.dir / "out.trsm";
                std::string bytes = check::fileBytes(h.archive);
                StgFile file(h.archive, 20, 10);
                file.open(StgFile::Access::Read);
                uint64_t at = StgRecovery::walk(file).links.at(k);
                file.close();
                uint32_t target = 0;
                stg::decodeGroup(reinterpret_cast<const uint8_t*>(bytes.data()) + at + 5, 5,
                                 target);
                if (where == STREAM) at = target + stg::ITEM_HEADER_LEN + stg::BLOCK_HEADER_LEN + 3;
                if (where == LINK) at += 6;
                if (where == CONTENT) {
                    Tresmo a;
                    ASSERT_TRUE(check::load(a, h.archive, 2000000000));
                    const ContentInfo* c =
                        Tresmo::versionAt(a.root()->firstChild, h.times[k])->content();
                    at = c->pos + static_cast<uint32_t>(c->storedSize) - 6;
                }
                bytes[at] ^= 0x55;
                bytes[at + 1] ^= 0x55;
                check::writeBytes(old, bytes);
                RewriteReport report;
                ASSERT_TRUE(
                    rewriteArchive(old, out, RewriteOptions{.force = true, .folder = ""}, report));
                // The states expected, by transaction. The newest link damaged is an unfinished
                // save's tail; any other damaged link or stream loses its transaction's records,
                // and the chain goes on after it.
                std::vector<int64_t> times = h.times;
                std::vector<check::Snapshot> want = h.states;
                const bool tail = where == LINK && k == 2;
                if (where == CONTENT) {
                    // The lost version of a: the new archive keeps the one before, if any.
                    if (k == 0) want[0].erase("a");
                    if (k > 0) want[k]["a"] = h.states[k - 1]["a"];
                    ASSERT_EQ(report.lost.size(), 1u);
                    EXPECT_EQ(report.lost[0].path, "a");
                    EXPECT_EQ(report.lost[0].time, h.times[k]);
                } else if (tail) {
                    times.resize(k);
                    want.resize(k);
                } else {
                    times.erase(times.begin() + static_cast<long>(k));
                    want.erase(want.begin() + static_cast<long>(k));
                    // Transaction 1 lost: new1 whole, and the change of new0 it held.
                    if (k == 1) want[1].erase("new1"), want[1]["new0"] = h.states[0]["new0"];
                }
                EXPECT_EQ(report.damagedAt, where == CONTENT || tail ? 0 : int32_t(k + 1));
                EXPECT_EQ(report.txnsUnread, where == LINK && !tail ? 1 : 0);
                EXPECT_EQ(report.txnsDamaged, where == STREAM ? 1 : 0);
                EXPECT_EQ(report.recordsSkipped, where != CONTENT && k == 1 ? 1 : 0);
                Tresmo a;
                ASSERT_TRUE(check::load(a, out, 2000000000));
                ASSERT_EQ(check::txnTimes(a), times);
                Node* b;
                ASSERT_TRUE(a.findChild("b", a.root(), b));
                EXPECT_EQ(a.metaFormat(), bits);
                // b's bits of every transaction kept, those replayed past the damage too.
                for (int64_t t : times) {
                    const auto i = std::find(h.times.begin(), h.times.end(), t) - h.times.begin();
                    EXPECT_EQ(Tresmo::versionAt(b, t)->perm(), bits ? 0700 + i : 0644) << i;
                }
                for (size_t i = 0; i < want.size(); ++i)
                    EXPECT_TRUE(check::restores(a, times[i], want[i]));
                VerifyReport verified;
                EXPECT_TRUE(a.verify(nullptr, verified) && verified.clean());
            }
        }
    }
}
