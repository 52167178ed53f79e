// Whole-archive sweeps: small real archives cut at every offset and with one bit flipped at
// every byte. Each variant is loaded, every version of every transaction restored, the newest
// state exported and the file verified. None may crash or hang, a failure must come with a
// message, nothing may be written outside the export's target, and whatever does load,
// restore or export must be exactly what was saved: a cut archive is the transactions wholly
// before the cut, a flipped one at most a prefix of them (with the tail warning), and a
// version that restores has the bytes it was saved with.
#include "support/ArchiveCheck.h"
#include "support/RecordingPresenter.h"

#include "archive/ops/Verify.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

struct Tally {
    int cases = 0;
    int refused = 0;      // load, a restore or the export failed with a message
    int prefixes = 0;     // loaded fewer transactions than saved, with the tail warning
    int identical = 0;    // everything loaded and restored as saved
    int verifyFound = 0;  // verify reported the archive as not clean
    int wrong = 0;        // a silent difference from what was saved: goal 0
    int outside = 0;      // a change outside the target, or to the archive: goal 0
    double slowest = 0;
};

// Runs one variant of s's archive (written to W/a.trsm). cutAt: the variant is the archive
// cut there, so exactly the transactions before it must load.
void runCase(const check::Saves& s, const std::string& bytes, TestDir& w, Tally& t,
             std::optional<uint64_t> cutAt, size_t flipAt = 0) {
    const auto begin = std::chrono::steady_clock::now();
    const std::string archive = w / "a.trsm";
    check::writeBytes(archive, bytes);
    fs::remove_all(w / "target");
    fs::create_directory(w / "target");
    const auto before = check::listing(w.path());
    ++t.cases;
    RecordingPresenter shown;
    Tresmo a;
    bool ok = check::load(a, archive, T0 + 10000);
    bool wrong = false, refused = !ok, exportFailed = false;
    const std::vector<int64_t> times = ok ? check::txnTimes(a) : std::vector<int64_t>{};
    const bool tail = !shown.warnings.empty() && shown.warnings[0].code == 3016;
    // A cut must load exactly the transactions wholly before it, with the tail warning unless
    // it fell between two of them; a flip at most all of them, fewer only with the warning.
    size_t expected = s.times.size();
    if (cutAt) {
        expected = 0;
        while (expected < s.ends.size() && s.ends[expected] <= *cutAt)
            ++expected;
    }
    const bool boundary = cutAt && *cutAt == (expected ? s.ends[expected - 1] : 12);
    if (ok) {
        wrong |= cutAt ? times.size() != expected || tail == boundary : times.size() > expected;
        wrong |= times.size() < s.times.size() && !tail && !boundary;
        for (size_t i = 0; i < times.size() && !wrong; ++i) {
            wrong |= times[i] != s.times[i];
            std::vector<std::string> failed;
            check::Snapshot got = check::stateAt(a, times[i], failed);
            refused |= !failed.empty();
            for (const auto& [path, data] : got) {
                auto it = s.states[i].find(path);
                wrong |= it == s.states[i].end() || it->second != data;
            }
            wrong |= got.size() + failed.size() != s.states[i].size();
        }
        if (!times.empty() && !wrong) {
            a.selectFolder(a.root());
            if (a.exportSelected(w / "target"))
                wrong |= check::folderSnapshot(w / "target/archive") != s.states[times.size() - 1];
            else
                refused = exportFailed = true;
        }
    }
    // A failed load or export shows its error; a failed restore throws it (kept in failed).
    if ((!ok || exportFailed) && shown.errors.empty()) wrong = true;
    Tresmo v;
    v.setPath(archive);
    VerifyReport report;
    const bool clean = v.verify(nullptr, report) && report.clean();
    if (!clean) ++t.verifyFound;
    // A clean verify promises that everything is there.
    if (clean && (refused || (times.size() != s.times.size() && !boundary))) wrong = true;
    auto after = check::listing(w.path());
    std::erase_if(after, [](const auto& e) { return e.first.rfind("target", 0) == 0; });
    auto expectedAfter = before;
    std::erase_if(expectedAfter, [](const auto& e) { return e.first.rfind("target", 0) == 0; });
    if (after != expectedAfter) ++t.outside;
    if (wrong) ++t.wrong;
    if (refused) ++t.refused;
    if (ok && tail && times.size() < s.times.size()) ++t.prefixes;
    if (ok && !refused && !wrong && times.size() == s.times.size()) ++t.identical;
    t.slowest = std::max(
        t.slowest, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    EXPECT_FALSE(wrong) << (cutAt ? "cut at " : "flip at ") << (cutAt ? *cutAt : flipAt) << " ok "
                        << ok << " times " << times.size() << " tail " << tail << " refused "
                        << refused << " clean " << clean << " errors " << shown.errors.size();
    EXPECT_EQ(after, expectedAfter) << "changed outside the target";
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
    std::printf(
        "[sweep] 2 archives of %zu bytes: %d cuts (%d loaded the transactions before the cut "
        "with the tail warning, %d refused with a message), %d flipped bytes (%d refused with a "
        "message, %d loaded a prefix with the tail warning, %d harmless; verify reported %d); "
        "%d silently wrong, %d changed outside the target, slowest case %.3f s\n",
        bytes, cuts.cases, cuts.prefixes, cuts.refused, flips.cases, flips.refused, flips.prefixes,
        flips.identical, flips.verifyFound, cuts.wrong + flips.wrong, cuts.outside + flips.outside,
        std::max(cuts.slowest, flips.slowest));
    EXPECT_EQ(cuts.wrong + flips.wrong, 0);
    EXPECT_EQ(cuts.outside + flips.outside, 0);
    EXPECT_LT(std::max(cuts.slowest, flips.slowest), 10.0);
}
