// Crash states of three recorded saves: for every call, the disk is rebuilt as a process crash
// (A), a power loss keeping a prefix of the unsynced writes (B), one with a torn last write (C)
// or one reordering them (D) may leave it. Each state loads the committed transactions (perhaps
// the one being saved, whole), restoring byte for byte (the next save over a tail: kill loop).
// TRESMO_CRASH_POINTS sets the random points tried beyond the sweep, TRESMO_SEED their choice.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

namespace fs = std::filesystem;
using Op = FaultOs::Op;

namespace {

constexpr int64_t T0 = 1600000000;

// Three saves of a changing folder, every changing call recorded; endOps[i]: calls by save i's end.
struct Recorded : check::Saves {
    std::vector<Op> ops;
    std::vector<size_t> endOps;

    Recorded() {
        FaultOs rec;
        rec.skipSyncs(true);
        rec.recordUnder(dir.path());
        auto step = [&](int64_t t) {
            ASSERT_TRUE(save(t));
            endOps.push_back(rec.ops().size());
        };
        dir.write("w/a.txt", check::words(90000, 1), T0 - 10);
        dir.write("w/b.txt", "small", T0 - 10);
        dir.write("w/s/c.txt", check::words(3000, 2), T0 - 10);
        step(T0);
        std::string a = check::words(90000, 1);
        a.insert(40000, "inserted");
        dir.write("w/a.txt", a, T0 + 90);
        dir.write("w/s/d.txt", check::words(20000, 3), T0 + 90);
        step(T0 + 100);
        fs::remove(dir / "w/b.txt");
        dir.write("w/s/c.txt", check::words(3500, 4), T0 + 190);
        dir.write("w/e.txt", "", T0 + 190);
        step(T0 + 200);
        ops = rec.ops();
    }
};

void applyOp(std::string& file, const Op& op) {
    if (op.kind == Op::Kind::Write) {
        if (file.size() < op.off + op.data.size()) file.resize(op.off + op.data.size(), '\0');
        file.replace(op.off, op.data.size(), op.data);
    } else if (op.kind == Op::Kind::Truncate) {
        file.resize(op.off, '\0');
    }
}

// A path's durable bytes, its changes since its last sync, and whether its folder was synced since.
struct FileState {
    std::string durable;
    std::vector<const Op*> pending;
    bool nameDurable = false;
};

// The archive's bytes after a crash before call k under model m; nullopt when it is gone.
std::optional<std::string> crashState(const std::vector<Op>& ops, const std::string& path, size_t k,
                                      char m, std::mt19937& rnd) {
    std::map<std::string, FileState> files;
    const std::string folder = path.substr(0, path.rfind('/'));
    for (size_t i = 0; i < k; ++i) {
        const Op& op = ops[i];
        if (op.kind == Op::Kind::DirSync) {
            for (auto& [name, f] : files)
                if (name.compare(0, op.path.size() + 1, op.path + "/") == 0) f.nameDurable = true;
            continue;
        }
        if (op.kind == Op::Kind::Create) {
            files.try_emplace(op.path);
            continue;
        }
        auto it = files.find(op.path);
        if (it == files.end()) continue;
        FileState& f = it->second;
        if (op.kind == Op::Kind::Sync) {
            for (const Op* p : f.pending)
                applyOp(f.durable, *p);
            f.pending.clear();
        } else if (op.kind == Op::Kind::Rename) {
            // The data goes with the name; the new name is durable only after a folder sync.
            FileState moved = std::move(f);
            files.erase(it);
            moved.nameDurable = false;
            files[op.to] = std::move(moved);
        } else if (op.kind == Op::Kind::Unlink) {
            files.erase(it);
        } else {
            f.pending.push_back(&op);
        }
    }
    auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    // A: every pending change lands; B: a prefix of them; C: a prefix whose last write is torn
    // (sectors from a 512-byte boundary after a random cut lost, zeroed or garbage);
    // D: any subset, and a name never synced may be gone.
    const FileState& f = it->second;
    std::string file = f.durable;
    const size_t all = f.pending.size();
    size_t n = (m == 'B' || m == 'C') && all ? rnd() % (all + 1) : all;
    if (m == 'C' && all && !n) n = 1;
    for (size_t i = 0; i < n; ++i) {
        if (m == 'D' && rnd() % 2 == 0) continue;
        Op op = *f.pending[i];
        if (m == 'C' && i + 1 == n && op.kind == Op::Kind::Write) {
            uint64_t cut = (op.off + rnd() % (op.data.size() + 1) + 511) / 512 * 512;
            size_t keep = cut > op.off ? std::min<size_t>(cut - op.off, op.data.size()) : 0;
            const unsigned how = rnd() % 3;
            if (how == 0) op.data.resize(keep);
            for (size_t j = keep; how && j < op.data.size(); ++j)
                op.data[j] = how == 1 ? '\0' : static_cast<char>(rnd());
        }
        applyOp(file, op);
    }
    if (m == 'D' && !f.nameDurable && rnd() % 2) return std::nullopt;
    return file;
}

// Loads the crash state before call k and compares it with the saves that had reported success
// by then; returns whether the load warned of a tail.
bool checkState(const Recorded& run, const std::optional<std::string>& state, size_t k) {
    size_t must = 0;
    while (must < run.endOps.size() && run.endOps[must] <= k)
        ++must;
    if (!state) {
        EXPECT_EQ(must, 0u) << "archive gone after a committed save";
        return false;
    }
    TestDir here;
    check::writeBytes(here / "w.trsm", *state);
    RecordingPresenter shown;
    Tresmo a;
    EXPECT_TRUE(check::load(a, here / "w.trsm", T0 + 1000)) << shown.errors.at(0).chainText();
    EXPECT_FALSE(a.readOnly()) << "a crash state taken for damage";
    std::vector<int64_t> times = check::txnTimes(a);
    EXPECT_GE(times.size(), must) << "committed transactions lost";
    EXPECT_LE(times.size(), std::min(must + 1, run.times.size())) << "transactions never saved";
    for (size_t i = 0; i < times.size() && i < run.times.size(); ++i)
        EXPECT_TRUE(times[i] == run.times[i] && check::restores(a, times[i], run.states[i]))
            << "transaction " << i;
    return !shown.warnings.empty() && shown.warnings[0].code == 3016;
}

}  // namespace

TEST(CrashConsistency, EveryCrashPointOfThreeSavesLoadsTheCommittedTransactions) {
    Recorded run;
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const unsigned seed = check::envNumber("TRESMO_SEED", 20261206);
    std::mt19937 rnd(seed);
    // Every point under every model (B, C and D twice), then random points.
    const size_t sweep = (run.ops.size() + 1) * 7;
    const size_t all = sweep + check::envNumber("TRESMO_CRASH_POINTS", 200);
    int tails = 0;
    for (size_t i = 0; i < all && !::testing::Test::HasFailure(); ++i) {
        const size_t k = i < sweep ? i / 7 : rnd() % (run.ops.size() + 1);
        const char m = i < sweep ? "ABBCCDD"[i % 7] : static_cast<char>('A' + rnd() % 4);
        SCOPED_TRACE("point " + std::to_string(k) + " model " + std::string(1, m) + " seed " +
                     std::to_string(seed));
        tails += checkState(run, crashState(run.ops, run.archive, k, m, rnd), k);
    }
    std::printf("[crash] seed %u: %zu calls, %zu states, %d tails\n", seed, run.ops.size(), all,
                tails);
    EXPECT_GT(tails, 10);
}
