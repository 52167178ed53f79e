// Every call that changes a file, failed in turn: a save (a later one, one after a crash), an
// export and a selection write report the system error, keep what was
// committed byte for byte, and a later run succeeds. EINTR and short transfers must not show.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/objects/FileSel.h"
#include "archive/ops/Rewrite.h"
#include "archive/ops/Tresmo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using Call = FaultOs::Call;

namespace {

constexpr int64_t T0 = 1600000000;

// TRESMO_IO_FULL=1 (make crashtest): every call index with every errno. The suite takes the
// first 16 calls of each kind, then every quarter further, with EIO and one other errno per kind;
// EINTR (to be continued) where a call may be interrupted.
const bool FULL = std::getenv("TRESMO_IO_FULL") != nullptr;
std::vector<int> errnosFor(Call kind) {
    std::vector<int> errs{EIO, ENOSPC, EDQUOT, EROFS, EACCES};
    if (!FULL) errs = {EIO, errs[1 + static_cast<int>(kind) % 4]};
    if (kind >= Call::Read && kind <= Call::Fsync) errs.push_back(EINTR);
    return errs;
}

// Names in folder other than those expected; empty when clean.
std::string leftovers(const std::string& folder, const std::set<std::string>& expected) {
    std::string left;
    if (fs::exists(folder))
        for (auto& e : fs::directory_iterator(folder))
            if (!expected.count(e.path().filename().string()))
                left += " " + e.path().filename().string();
    return left;
}

// One operation under the loops. run() does it and says whether it succeeded; a failure shows
// errorId with the errno at the end of its chain. damage(ok) names what the run left that it must
// not have. redo(ok) completes the work without faults; result() is then what a clean run leaves.
struct Subject {
    const char* what;
    const char* errorId;
    std::function<void()> prepare;
    std::function<bool()> run;
    std::function<std::string(bool)> damage;
    std::function<bool(bool)> redo;
    std::function<std::string()> result;
    bool withFlock = true;  // a lock that cannot be taken means another writer owns the file
};

void faultLoop(const Subject& s) {
    s.prepare();
    ASSERT_TRUE(s.run() && s.redo(true)) << s.what << " without faults";
    const std::string expected = s.result();
    int points = 0, failed = 0;
    for (int k = 0; k <= static_cast<int>(Call::Renameat); ++k) {  // every kind, in FaultOs order
        const Call kind = static_cast<Call>(k);
        if (kind == Call::Flock && !s.withFlock) continue;
        for (int err : errnosFor(kind)) {
            for (int n = 1;; n = FULL || n < 16 ? n + 1 : n + n / 4) {
                s.prepare();
                RecordingPresenter shown;
                bool ok;
                int seen;
                {
                    FaultOs fault;
                    fault.skipSyncs(true);
                    fault.failAt(kind, n, err);
                    ok = s.run();
                    seen = fault.count(kind);
                }
                if (seen < n) break;
                SCOPED_TRACE(std::string(s.what) + ": call kind " + std::to_string(k) + " #" +
                             std::to_string(n) + " " + std::strerror(err));
                if (err == EINTR) {
                    ASSERT_TRUE(ok && s.result() == expected) << "not continued";
                    continue;
                }
                ++points;
                failed += !ok;
                if (ok && !shown.warnings.empty() && shown.warnings[0].code == 2039) {
                    // A file that could not be read is left out of the save, named with the
                    // reason; the rest is committed (the scan-and-save cycles check the rest).
                    EXPECT_NE(shown.warnings[0].text.find(std::strerror(err)), std::string::npos)
                        << shown.warnings[0].text;
                    continue;
                }
                if (!ok) {
                    ASSERT_FALSE(shown.errors.empty());
                    EXPECT_STREQ(shown.errors[0].id, s.errorId);
                    const Error* last = &shown.errors[0];  // ends with the system's own text
                    while (last->cause)
                        last = last->cause.get();
                    EXPECT_TRUE(last->code == 9000 && last->text == std::strerror(err))
                        << shown.errors[0].chainText();
                }
                EXPECT_EQ(s.damage(ok), "");
                ASSERT_TRUE(s.redo(ok)) << "and again without the fault";
                EXPECT_EQ(s.result(), expected);
            }
        }
    }
    for (size_t limit : {1, 7, 4095}) {  // short writes are continued
        s.prepare();
        FaultOs fault;
        fault.skipSyncs(true);
        fault.shortWrites(limit);
        EXPECT_TRUE(s.run() && s.result() == expected) << s.what << ": writes of at most " << limit;
    }
    std::printf("[io-error] %s: %d fault points, %d reported\n", s.what, points, failed);
    EXPECT_GT(failed, 5);
}

// A watched folder with one committed transaction and a second one pending: a modified large
// file (a delta), new files in a new subfolder and a removed file.
struct Pending : check::Saves {
    std::string committed;
    const check::Snapshot oldCopy{{"old.txt", "old"}, {"deep/a/b/b1", "1"}, {"deep/a/b/b2", "2"}};
    Tresmo a;
    int target = 0;

    Pending() {
        dir.write("w/big.txt", check::words(120000, 1), T0 - 50);
        dir.write("w/old.txt", "to be removed", T0 - 50);
        dir.write("w/s/a.txt", check::words(5000, 2), T0 - 50);
        EXPECT_TRUE(save(T0));
        std::string big = check::words(120000, 1);
        big.replace(60000, 10, "CHANGED!!!");
        dir.write("w/big.txt", big, T0 + 50);
        dir.write("w/n/b.txt", check::words(30000, 3), T0 + 50);
        dir.write("w/n/empty.txt", "", T0 + 50);
        fs::remove(dir / "w/old.txt");
        committed = check::fileBytes(archive);
    }
    // Every transaction's time and files, restored from the archive.
    std::string history() {
        Tresmo b;
        if (!check::load(b, archive, T0 + 1000)) return "unreadable";
        std::string out;
        for (int64_t t : check::txnTimes(b)) {
            std::vector<std::string> failed;
            out += "txn " + std::to_string(t) + "\n";
            for (const auto& [path, bytes] : check::stateAt(b, t, failed))
                out += path + " " + bytes + "\n";
            out += std::to_string(failed.size()) + " failed\n";
        }
        return out;
    }
    // The pending save, started from the archive as given.
    Subject saveFrom(const char* what, const std::string& start) {
        return {what,
                "Tresmo.save.1",
                [this, start] {
                    for (const std::string& f : check::sideFiles(dir.path()))
                        fs::remove(f);
                    check::writeBytes(archive, start);
                    a.clear();
                    a.setPath(archive);
                    RecordingPresenter quiet;  // the load's warning about a tail
                    ASSERT_TRUE(a.refresh(sel, T0 + 100));
                },
                [this] { return a.save(); },
                [this](bool ok) {
                    std::string left = leftovers(dir.path(), {"w", "w.trsm"});
                    return ok || (check::fileBytes(archive) == committed && left.empty())
                               ? std::string()
                               : "committed bytes changed or left behind:" + left;
                },
                [this](bool ok) { return ok || save(T0 + 100); },
                [this] { return history(); }};
    }
    // Both transactions rewritten in the archive's place (the same bytes, written anew): after
    // a failure the archive is as it was under its name and nothing unfinished is left.
    Subject rewrite() {
        const std::string fresh = dir / "r.trsm", before = archive + ".before-rewrite";
        auto run = [=, this] {
            RewriteReport r;
            return rewriteArchive(archive, fresh, RewriteOptions{.replace = true, .folder = ""}, r);
        };
        auto prepare = [=, this] {
            fs::remove(fresh);
            fs::remove(before);
            check::writeBytes(archive, committed);
        };
        return {"rewrite",
                "Tresmo.rewrite.1",
                prepare,
                run,
                [=, this](bool) {
                    std::string left =
                        leftovers(dir.path(), {"w", "w.trsm", "r.trsm", "w.trsm.before-rewrite"});
                    return check::fileBytes(archive) == committed && left.empty()
                               ? std::string()
                               : "archive changed or left behind:" + left;
                },
                [=, this](bool ok) { return ok || (prepare(), run()); },
                [=, this] {
                    return std::string(check::fileBytes(archive) == committed ? "as it was"
                                                                              : "changed") +
                           (check::fileBytes(before) == committed ? ", its copy beside it" : "");
                }};
    }

    // An export that replaces an old copy in x/tN: a failure leaves the old copy as it was and
    // nothing beside it.
    Subject exportAll() {
        auto t = std::make_shared<std::string>();
        auto exportTo = [this, t](Tresmo& b) {
            const std::string rel = "x/t" + std::to_string(++target);
            *t = dir / rel;
            for (const auto& [path, bytes] : oldCopy)
                dir.write(rel + "/w/" + path, bytes);
            b.selectFolder(b.root());
            return b.exportSelected(*t, "", nullptr, true);
        };
        return {"export",
                "Tresmo.export.1",
                [this] {
                    a.clear();
                    a.setPath(archive);
                    ASSERT_TRUE(a.refresh(sel, T0 + 200));
                },
                [this, exportTo] { return exportTo(a); },
                [this, t](bool ok) {
                    std::string left = leftovers(dir.path(), {"x", "w", "w.trsm"});
                    if (!ok) left += leftovers(*t, {"w"});
                    bool kept = ok || (fs::exists(*t + "/w") &&
                                       check::folderSnapshot(*t + "/w") == oldCopy);
                    return check::fileBytes(archive) == committed && kept && left.empty()
                               ? std::string()
                               : "old copy lost or written outside the target:" + left;
                },
                [this, exportTo](bool ok) {
                    Tresmo b;
                    b.setPath(archive);
                    return ok || (b.refresh(sel, T0 + 200) && exportTo(b));
                },
                [t] {
                    std::string all;
                    for (const auto& [path, bytes] : check::folderSnapshot(*t + "/w"))
                        all += path + "\n" + bytes + "\n";
                    return all;
                }};
    }
};

// The selection, rewritten whole: after a failure the old file is whole, or (when only the
// folder's sync failed, after the rename) the new one; never a mix, and nothing is left beside it.
Subject selection(const std::string& dir) {
    const std::string path = dir + "/w.sel";
    auto write = [=](const char* exceptions) {
        FileSel s;
        s.setFile(path);
        s.setFolder(dir + "/w");
        s.setExceptions(exceptions);
        s.setListed("txt", true);
        return s.write();
    };
    EXPECT_TRUE(write("one,two,three"));
    const std::string newBytes = check::fileBytes(path);
    EXPECT_TRUE(write(""));
    const std::string oldBytes = check::fileBytes(path);
    const std::set<std::string> keep{"w", "w.sel", "w.sel.lock", "w.trsm"};
    return {"selection",
            "FileSel.write",
            [=] { ASSERT_TRUE(write("")); },
            [=] { return write("one,two,three"); },
            [=](bool ok) {
                const std::string now = check::fileBytes(path), left = leftovers(dir, keep);
                bool whole = now == newBytes || (!ok && now == oldBytes);
                return whole && left.empty() ? std::string() : "a mix or left behind:" + left;
            },
            [=](bool) { return write("one,two,three"); },
            [=] { return check::fileBytes(path) + leftovers(dir, keep); },
            false};
}

}  // namespace

TEST(IoError, AFailingCallInASaveExportOrSelectionWriteRollsBackAndTheNextRunSucceeds) {
    Pending p;
    faultLoop(selection(p.dir.path()));
    fs::remove(p.dir / "w.sel");
    fs::remove(p.dir / "w.sel.lock");
    // What a crash halfway through writing the second transaction leaves.
    ASSERT_TRUE(p.save(T0 + 100));
    const std::string full = check::fileBytes(p.archive);
    const std::string crashed = full.substr(0, (p.committed.size() + full.size()) / 2);
    const std::string tail = crashed.substr(p.committed.size());
    faultLoop(p.saveFrom("save", p.committed));
    Subject s = p.saveFrom("save after a crash", crashed);
    // The tail is still in the archive, or cut once its whole copy was beside it (always so
    // after a success); never lost, never half copied.
    s.damage = [&](bool ok) {
        const std::string now = check::fileBytes(p.archive);
        std::vector<std::string> side = check::sideFiles(p.dir.path());
        bool copied = side.size() == 1 && check::fileBytes(side[0]) == tail;
        bool kept = ok ? copied
                       : (now == crashed && side.empty()) ||
                             ((now == crashed || now == p.committed) && copied);
        return kept ? std::string()
                    : "archive of " + std::to_string(now.size()) + " bytes, " +
                          std::to_string(side.size()) + " copies of the tail";
    };
    faultLoop(s);
    p.saveFrom("", full).prepare();  // the archive whole, nothing beside it
    p.committed = full;
    faultLoop(p.rewrite());
    fs::remove(p.dir / "r.trsm");
    fs::remove(p.archive + ".before-rewrite");
    Subject e = p.exportAll();
    faultLoop(e);
    // A folder of the replaced copy swapped for a link to outside while it is deleted: the
    // deletion goes on in the folder it opened, and nothing outside goes.
    p.dir.write("outside/b/b1", "1");
    p.dir.write("outside/b/b2", "2");
    e.prepare();
    FaultOs swap;
    std::string moved;
    swap.beforeUnlink = [&](const std::string& path) {
        size_t at = path.find("/deep/a/b/");
        if (at == std::string::npos || !moved.empty()) return;
        moved = path.substr(0, at + 7);
        fs::rename(moved, moved + ".moved");
        fs::create_directory_symlink(p.dir / "outside", moved);
    };
    RecordingPresenter shown;
    EXPECT_TRUE(e.run() && !moved.empty());
    EXPECT_EQ(check::folderSnapshot(p.dir / "outside").size(), 2u);
}

namespace {

// A platform layer any thread may call: fails the nth file made, write or rename from the
// moment it is armed, and says whether the export's second thread met it.
struct SharedFault : os::Os {
    enum class Kind { Create, Write, Rename };
    std::atomic<int> calls[3] = {0, 0, 0};
    std::atomic<int> armed = -1;  // the kind failed, or -1
    int nth = 0, err = 0;
    std::atomic<bool> onOtherThread = false;
    const std::thread::id walker = std::this_thread::get_id();
    Os* previous = os::install(this);
    ~SharedFault() override { os::install(previous); }
    bool sharedByThreads() const override { return true; }

    bool hit(Kind k) {
        if (armed != static_cast<int>(k) || ++calls[static_cast<int>(k)] != nth) return false;
        onOtherThread = std::this_thread::get_id() != walker;
        errno = err;
        return true;
    }
    int openat(int dir, const char* p, int flags, mode_t m) override {
        return (flags & O_CREAT) && hit(Kind::Create) ? -1 : Os::openat(dir, p, flags, m);
    }
    ssize_t write(int fd, const void* b, size_t n) override {
        return hit(Kind::Write) ? -1 : Os::write(fd, b, n);
    }
    int renameat(int fd, const char* from, int td, const char* to, unsigned flags) override {
        return hit(Kind::Rename) ? -1 : Os::renameat(fd, from, td, to, flags);
    }
};

}  // namespace

TEST(IoError, AFileFailingOnEitherThreadOfAnExportFailsItWholeAndKeepsTheOldCopy) {
    check::Saves s;
    s.sel.setMetaFormat(true);
    for (int d = 0; d < 4; ++d)
        for (int f = 0; f < 40; ++f)
            s.dir.write("w/d" + std::to_string(d) + "/f" + std::to_string(f),
                        check::words(50 + 40 * f, d * 100 + f), T0 - 50);
    s.dir.write("w/d1/large", check::words(400000, 7), T0 - 50);  // streamed, not queued
    s.dir.write("w/c/a", "small", T0 - 50);  // and a folder beginning with both kinds
    s.dir.write("w/c/b", check::words(300000, 8), T0 - 50);
    // Names like the export's temporary ones, which it must not take for its own.
    for (const char* n : {"w/d0/.tresmo-export-1", "w/d0/.tresmo-export-3", "w/.tresmo-export-2"})
        s.dir.write(n, n, T0 - 50);
    fs::permissions(s.dir / "w/d2", fs::perms(0555));  // its files are made before its bits
    ASSERT_TRUE(s.save(T0));
    const check::Snapshot old{{"x", "old"}, {"sub/y", "old too"}};
    int target = 0;
    auto exportOnce = [&](RecordingPresenter& shown) {
        const std::string into = s.dir / ("x/t" + std::to_string(++target));
        for (const auto& [path, bytes] : old)
            s.dir.write("x/t" + std::to_string(target) + "/w/" + path, bytes);
        Tresmo a;
        a.setPath(s.archive);
        EXPECT_TRUE(a.refresh(s.sel, T0 + 10));
        a.selectFolder(a.root());
        const bool ok = a.exportSelected(into, "", nullptr, true);
        EXPECT_EQ(leftovers(into, {"w"}), "");
        EXPECT_EQ(check::folderSnapshot(into + "/w"), ok ? s.states[0] : old);
        if (!ok) {
            EXPECT_STREQ(shown.errors.at(0).id, "Tresmo.export.1");
        }
        return ok;
    };
    int onOther = 0, onWalker = 0;
    for (auto kind :
         {SharedFault::Kind::Create, SharedFault::Kind::Write, SharedFault::Kind::Rename})
        for (int nth : {1, 2, 30, 90, 150}) {
            SCOPED_TRACE("call kind " + std::to_string(static_cast<int>(kind)) + " #" +
                         std::to_string(nth));
            RecordingPresenter shown;
            SharedFault fault;
            fault.nth = nth;
            fault.err = nth % 2 ? EIO : ENOSPC;
            fault.armed = static_cast<int>(kind);
            ASSERT_FALSE(exportOnce(shown));
            const Error* last = &shown.errors.at(0);
            while (last->cause)
                last = last->cause.get();
            EXPECT_EQ(last->text, std::strerror(fault.err)) << shown.errors[0].chainText();
            (fault.onOtherThread ? onOther : onWalker)++;
            fault.armed = -1;
            ASSERT_TRUE(exportOnce(shown)) << "and again without the fault";
        }
    // Both threads made files, and a failure on either one failed the export.
    EXPECT_GT(onOther, 0);
    EXPECT_GT(onWalker, 0);
    fs::permissions(s.dir / "w/d2", fs::perms(0755));
}
