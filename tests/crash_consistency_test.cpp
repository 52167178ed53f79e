// Crash states of three recorded saves: for every call, the disk is rebuilt as a process crash
// (A), a power loss keeping a prefix of the unsynced writes (B), one with a torn last write (C)
// or one reordering them (D) may leave it. Each state loads the committed transactions (perhaps
// the one being saved, whole), restoring byte for byte, and takes the next save.
// TRESMO_CRASH_POINTS sets the random points tried beyond the sweep, TRESMO_SEED their choice.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

namespace fs = std::filesystem;
using Op = FaultOs::Op;

namespace {

constexpr int64_t T0 = 1600000000;
constexpr int64_t CHECK_TIME = T0 + 1000;

// Three saves of a changing folder, every changing call recorded; endOps[i] calls were
// recorded when save i reported success.
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

// What one path holds: the bytes that are durable, the changes since its last sync, and
// whether its name is durable (a create or rename followed by a sync of its folder).
struct FileState {
    std::string durable;
    std::vector<const Op*> pending;
    bool nameDurable = false;
};

// The archive's bytes after a crash before call k under model m; nullopt when the file is not
// there at all.
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

struct Tally {
    int states = 0, tails = 0, resaved = 0;
};

// Loads one crash state and compares it with the oracle; with resave, saves the final folder
// on top of it, which moves the tail aside.
void checkState(const Recorded& run, const std::optional<std::string>& state, size_t k, Tally& t,
                bool resave) {
    size_t must = 0;
    while (must < run.endOps.size() && run.endOps[must] <= k)
        ++must;
    ++t.states;
    if (!state) {
        EXPECT_EQ(must, 0u) << "archive gone after a committed save";
        return;
    }
    TestDir here;
    const std::string path = here / "w.trsm";
    check::writeBytes(path, *state);
    RecordingPresenter shown;
    Tresmo a;
    ASSERT_TRUE(check::load(a, path, CHECK_TIME)) << shown.errors.at(0).chainText();
    bool tail = false;
    for (const Msg& w : shown.warnings)
        tail |= w.code == 3016;
    t.tails += tail;
    std::vector<int64_t> times = check::txnTimes(a);
    EXPECT_GE(times.size(), must) << "committed transactions lost";
    ASSERT_LE(times.size(), std::min(must + 1, run.times.size())) << "transactions never saved";
    for (size_t i = 0; i < times.size(); ++i) {
        std::vector<std::string> failed;
        EXPECT_TRUE(times[i] == run.times[i] &&
                    check::stateAt(a, times[i], failed) == run.states[i] && failed.empty())
            << "transaction " << i << " differs " << (failed.empty() ? "" : failed.front());
    }
    if (!resave || !tail) return;
    Tresmo r;
    r.setPath(path);
    ASSERT_TRUE(r.refresh(run.sel, CHECK_TIME));
    if (!r.hasPendingChanges()) return;
    const uint64_t before = fs::file_size(path);
    ASSERT_TRUE(r.save()) << shown.errors.at(0).chainText();
    std::vector<std::string> side = check::sideFiles(here.path());
    ASSERT_EQ(side.size(), 1u);
    const std::string cut = check::fileBytes(side[0]);
    EXPECT_EQ(state->substr(state->size() - cut.size()), cut) << "side file is not the tail";
    EXPECT_LT(before - cut.size(), fs::file_size(path));
    Tresmo b;
    shown.warnings.clear();
    ASSERT_TRUE(check::load(b, path, CHECK_TIME + 1));
    EXPECT_TRUE(shown.warnings.empty());
    std::vector<std::string> failed;
    EXPECT_EQ(check::txnTimes(b).size(), times.size() + 1);
    EXPECT_EQ(check::stateAt(b, CHECK_TIME, failed), run.states.back());
    EXPECT_TRUE(failed.empty());
    ++t.resaved;
}

}  // namespace

TEST(CrashConsistency, EveryCrashPointOfThreeSavesLoadsTheCommittedTransactions) {
    Recorded run;
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const char* seedEnv = std::getenv("TRESMO_SEED");
    const unsigned seed =
        seedEnv ? static_cast<unsigned>(std::strtoul(seedEnv, nullptr, 10)) : 20261206u;
    std::mt19937 rnd(seed);
    Tally t;
    for (size_t k = 0; k <= run.ops.size(); ++k) {
        for (char m : {'A', 'B', 'C', 'D'}) {
            for (int rep = 0; rep < (m == 'A' ? 1 : 2); ++rep) {
                SCOPED_TRACE("point " + std::to_string(k) + " model " + std::string(1, m) +
                             " seed " + std::to_string(seed));
                checkState(run, crashState(run.ops, run.archive, k, m, rnd), k, t,
                           m != 'D' && rep == 0);
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
    }
    const char* env = std::getenv("TRESMO_CRASH_POINTS");
    const int extra = env ? std::atoi(env) : 200;
    for (int i = 0; i < extra; ++i) {
        size_t k = rnd() % (run.ops.size() + 1);
        char m = static_cast<char>('A' + rnd() % 4);
        SCOPED_TRACE("random point " + std::to_string(k) + " model " + std::string(1, m) +
                     " seed " + std::to_string(seed));
        checkState(run, crashState(run.ops, run.archive, k, m, rnd), k, t, false);
        if (::testing::Test::HasFatalFailure()) return;
    }
    std::printf("[crash] seed %u: %zu calls, %d states, %d tails (%d cut by the next save)\n", seed,
                run.ops.size(), t.states, t.tails, t.resaved);
    EXPECT_GT(t.tails, 10);
    EXPECT_GT(t.resaved, 5);
}
