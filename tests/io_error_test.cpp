// Every call that changes a file, failed in turn: a save, an export, a selection write and a
// settings write each report the failure with the system error at the end of the chain, leave
// what was committed byte for byte, and a later run without faults succeeds. EINTR and short
// transfers are not failures and must not show. Each loop prints its fault points per call
// kind and its failures to roll back (the goal is 0).
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/objects/FileSel.h"
#include "archive/ops/Tresmo.h"
#include "archive/storage/StgFile.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Call = FaultOs::Call;

namespace {

constexpr int64_t T0 = 1600000000;

// TRESMO_IO_FULL=1 (make crashtest): every call index with every errno. The suite takes the
// first 16 calls of each kind and then every quarter further, with two errnos per kind.
bool fullWalk() {
    static const bool full = std::getenv("TRESMO_IO_FULL") != nullptr;
    return full;
}

const char* callName(Call c) {
    static const char* names[] = {"open",      "read",     "pread",     "write",    "pwrite",
                                  "fdatasync", "fsync",    "ftruncate", "rename",   "unlink",
                                  "mkdir",     "rmdir",    "listdir",   "spawn",    "flock",
                                  "close",     "futimens", "openat",    "unlinkat", "mkdirat"};
    return names[static_cast<int>(c)];
}

// Every kind of call a save, an export or a rewrite could make; the walk finds out which
// they do (a kind never called costs one run and adds no points).
const Call KINDS[] = {Call::Open,    Call::Openat,    Call::Read,  Call::Pread,     Call::Write,
                      Call::Pwrite,  Call::Fdatasync, Call::Fsync, Call::Ftruncate, Call::Rename,
                      Call::Unlink,  Call::Unlinkat,  Call::Mkdir, Call::Mkdirat,   Call::Rmdir,
                      Call::ListDir, Call::Flock,     Call::Close, Call::Futimens};

// The errnos of real failures: EIO everywhere, and in the bounded walk one of the others in
// turn, so that each still meets several kinds.
std::vector<int> errnosFor(Call kind) {
    static const int others[] = {ENOSPC, EDQUOT, EROFS, EACCES};
    if (fullWalk()) return {EIO, ENOSPC, EDQUOT, EROFS, EACCES};
    return {EIO, others[static_cast<int>(kind) % 4]};
}

const char* errName(int err) {
    switch (err) {
        case EIO:
            return "EIO";
        case ENOSPC:
            return "ENOSPC";
        case EDQUOT:
            return "EDQUOT";
        case EROFS:
            return "EROFS";
        case EACCES:
            return "EACCES";
        default:
            return "errno";
    }
}

// The chain ends with the system's own text for err.
bool endsWith(const Error& e, int err) {
    const Error* p = &e;
    while (p->cause)
        p = p->cause.get();
    return p->code == 9000 && p->text == std::strerror(err);
}

// Names in folder other than those expected, for the failure message; empty when clean.
std::string leftovers(const std::string& folder, const std::set<std::string>& expected) {
    std::string left;
    for (auto& e : fs::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (!expected.count(name)) left += " " + name;
    }
    return left;
}

std::string text(size_t n, int seed) {
    static const char* words[] = {"alpha ", "beta ", "gamma\n", "delta ", "epsilon ", "zeta\n"};
    std::string s;
    for (size_t i = 0; s.size() < n; ++i)
        s += words[(i * 7 + static_cast<size_t>(seed) * (i / 100)) % 6];
    s.resize(n);
    return s;
}

// Counts of one fault loop, printed as its summary line.
struct Tally {
    std::map<Call, int> perKind;  // calls failed, by kind
    std::set<int> errnos;
    int points = 0;     // calls failed
    int failed = 0;     // operations that reported the failure
    int succeeded = 0;  // operations that did not need the failed call (and were checked)
    int damaged = 0;    // failures not rolled back: committed data changed or files left
    void print(const char* what) const {
        std::string kinds, errs;
        for (auto [kind, n] : perKind)
            if (n > 0)
                kinds += std::string(kinds.empty() ? "" : ", ") + callName(kind) + " " +
                         std::to_string(n);
        for (int e : errnos)
            errs += std::string(errs.empty() ? "" : "/") + errName(e);
        std::printf(
            "[io-error] %s: %d fault points (%s) x %s, %d reported, %d succeeded regardless, "
            "%d failures to roll back (committed data changed or files left)\n",
            what, points, kinds.c_str(), errs.c_str(), failed, succeeded, damaged);
    }
};

// A watched folder with one committed transaction and a second one pending: a modified large
// file (a delta), new files in a new subfolder and a removed file.
struct Pending {
    TestDir dir;
    FileSel sel;
    std::string archive;
    check::Snapshot first;
    std::string committed;

    Pending() {
        dir.write("w/big.txt", text(120000, 1), T0 - 50);
        dir.write("w/old.txt", "to be removed", T0 - 50);
        dir.write("w/s/a.txt", text(5000, 2), T0 - 50);
        sel.setFolder(dir / "w");
        archive = dir / "w.trsm";
        Tresmo a;
        a.setPath(archive);
        EXPECT_TRUE(a.refresh(sel, T0));
        EXPECT_TRUE(a.save());
        first = check::folderSnapshot(dir / "w");
        std::string big = text(120000, 1);
        big.replace(60000, 10, "CHANGED!!!");
        dir.write("w/big.txt", big, T0 + 50);
        dir.write("w/n/b.txt", text(30000, 3), T0 + 50);
        dir.write("w/n/empty.txt", "", T0 + 50);
        fs::remove(dir / "w/old.txt");
        committed = check::fileBytes(archive);
    }

    // Both states restore from the archive exactly (the second only when it was committed).
    void expectStates(int64_t secondTime) {
        Tresmo a;
        a.setPath(archive);
        ASSERT_TRUE(a.refresh(sel, secondTime + 100));
        std::vector<int64_t> times = check::txnTimes(a);
        ASSERT_EQ(times.size(), 2u);
        std::vector<std::string> failed;
        EXPECT_EQ(check::stateAt(a, times[0], failed), first);
        EXPECT_EQ(check::stateAt(a, times[1], failed), check::folderSnapshot(dir / "w"));
        EXPECT_TRUE(failed.empty()) << failed.front();
    }

    // The save the fault interrupted, run again without it: it succeeds and both states
    // restore.
    void saveWithoutFault() {
        Tresmo b;
        b.setPath(archive);
        ASSERT_TRUE(b.refresh(sel, T0 + 100));
        ASSERT_TRUE(b.save());
        expectStates(T0 + 100);
    }
};

// The next call index to fail: every one of the first 16, then spaced out by a quarter, so a
// buffered export of many small writes stays quick; TRESMO_IO_FULL=1 takes every call.
int nextPoint(int n) {
    return fullWalk() || n < 16 ? n + 1 : n + n / 4;
}

// Runs op under a fault at the nth call of kind, for n = 1, 2, ... until op no longer makes
// that many calls. after(ok, n) checks the outcome of each point.
void loop(Call kind, int err, Tally& tally, const std::function<void()>& prepare,
          const std::function<bool()>& op, const std::function<void(bool, int)>& after) {
    for (int n = 1;; n = nextPoint(n)) {
        prepare();
        bool ok;
        int seen;
        {
            FaultOs fault;
            fault.skipSyncs(true);
            fault.failAt(kind, n, err);
            ok = op();
            seen = fault.count(kind);
        }
        if (seen < n) break;
        ++tally.points;
        ++tally.perKind[kind];
        tally.errnos.insert(err);
        ++(ok ? tally.succeeded : tally.failed);
        after(ok, n);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace

TEST(IoError, AFailingCallInASaveRollsBackToTheCommittedBytesAndTheNextSaveSucceeds) {
    FaultOs fast;
    fast.skipSyncs(true);
    Pending p;
    Tally tally;
    for (Call kind : KINDS) {
        for (int err : errnosFor(kind)) {
            RecordingPresenter shown;
            Tresmo a;
            loop(
                kind, err, tally,
                [&] {
                    check::writeBytes(p.archive, p.committed);
                    shown.errors.clear();
                    a.clear();
                    a.setPath(p.archive);
                    ASSERT_TRUE(a.refresh(p.sel, T0 + 100));
                },
                [&] { return a.save(); },
                [&](bool ok, int n) {
                    SCOPED_TRACE(std::string(callName(kind)) + " #" + std::to_string(n) + " " +
                                 std::strerror(err));
                    if (ok) {
                        p.expectStates(T0 + 100);
                        return;
                    }
                    ASSERT_FALSE(shown.errors.empty());
                    EXPECT_STREQ(shown.errors[0].id, "Tresmo.save.1");
                    EXPECT_TRUE(endsWith(shown.errors[0], err)) << shown.errors[0].chainText();
                    std::string left = leftovers(p.dir.path(), {"w", "w.trsm"});
                    if (check::fileBytes(p.archive) != p.committed || !left.empty()) {
                        ++tally.damaged;
                        ADD_FAILURE() << "committed bytes changed or left behind: " << left;
                    }
                    p.saveWithoutFault();
                });
        }
    }
    tally.print("save");
    EXPECT_GT(tally.failed, 20);
    EXPECT_EQ(tally.damaged, 0);
}

TEST(IoError, AFailingCallInTheFirstSaveLeavesNoArchiveOrAnEmptyOneAndNothingElse) {
    FaultOs fast;
    fast.skipSyncs(true);
    TestDir dir;
    dir.write("w/a.txt", text(70000, 4), T0 - 50);
    dir.write("w/s/b.txt", text(3000, 5), T0 - 50);
    FileSel sel;
    sel.setFolder(dir / "w");
    const std::string archive = dir / "w.trsm";
    const check::Snapshot want = check::folderSnapshot(dir / "w");
    // The archive's last transaction holds the folder as it is. A run that went through in
    // spite of the fault (a subfolder it could not list is skipped with a warning) is
    // completed by a save without faults first.
    auto expectSaved = [&] {
        Tresmo c;
        c.setPath(archive);
        ASSERT_TRUE(c.refresh(sel, T0 + 200));
        std::vector<int64_t> times = check::txnTimes(c);
        ASSERT_FALSE(times.empty());
        std::vector<std::string> failed;
        EXPECT_EQ(check::stateAt(c, times.back(), failed), want);
        EXPECT_TRUE(failed.empty());
    };
    Tally tally;
    for (Call kind : KINDS) {
        for (int err : errnosFor(kind)) {
            RecordingPresenter shown;
            Tresmo a;
            loop(
                kind, err, tally,
                [&] {
                    fs::remove(archive);
                    shown.errors.clear();
                    a.clear();
                    a.setPath(archive);
                },
                // The refresh creates the file; the save adds the first transaction.
                [&] { return a.refresh(sel, T0 + 100) && a.save(); },
                [&](bool ok, int n) {
                    SCOPED_TRACE(std::string(callName(kind)) + " #" + std::to_string(n) + " " +
                                 std::strerror(err));
                    if (ok) {
                        Tresmo b;
                        b.setPath(archive);
                        ASSERT_TRUE(b.refresh(sel, T0 + 150));
                        ASSERT_TRUE(b.save());
                        expectSaved();
                        return;
                    }
                    ASSERT_FALSE(shown.errors.empty());
                    EXPECT_TRUE(endsWith(shown.errors[0], err)) << shown.errors[0].chainText();
                    // Nothing was committed: no archive, or one that is its header alone (the
                    // file was created before the transaction failed).
                    bool whole =
                        !fs::exists(archive) || fs::file_size(archive) == StgFile::FILE_HEADER_LEN;
                    std::string left = leftovers(dir.path(), {"w", "w.trsm"});
                    if (!whole || !left.empty()) {
                        ++tally.damaged;
                        ADD_FAILURE() << "archive of " << fs::file_size(archive)
                                      << " bytes; left behind:" << left;
                    }
                    Tresmo b;
                    b.setPath(archive);
                    ASSERT_TRUE(b.refresh(sel, T0 + 100));
                    ASSERT_TRUE(b.save());
                    expectSaved();
                });
        }
    }
    tally.print("first save");
    EXPECT_GT(tally.failed, 10);
    EXPECT_EQ(tally.damaged, 0);
}

TEST(IoError, AFailingCallInASaveAfterACrashKeepsTheTailOrItsWholeCopyAndTheNextSaveSucceeds) {
    FaultOs fast;
    fast.skipSyncs(true);
    Pending p;
    // What a crash halfway through writing the second transaction leaves.
    std::string full;
    {
        Tresmo a;
        a.setPath(p.archive);
        ASSERT_TRUE(a.refresh(p.sel, T0 + 100));
        ASSERT_TRUE(a.save());
        full = check::fileBytes(p.archive);
    }
    const std::string crashed = full.substr(0, (p.committed.size() + full.size()) / 2);
    const std::string tail = crashed.substr(p.committed.size());
    auto sideFiles = [&] {
        std::vector<std::string> found;
        for (auto& e : fs::directory_iterator(p.dir.path()))
            if (e.path().filename().string().rfind("w.trsm.tail-", 0) == 0)
                found.push_back(e.path());
        return found;
    };
    Tally tally;
    for (Call kind : KINDS) {
        for (int err : errnosFor(kind)) {
            RecordingPresenter shown;
            Tresmo a;
            loop(
                kind, err, tally,
                [&] {
                    for (const std::string& f : sideFiles())
                        fs::remove(f);
                    check::writeBytes(p.archive, crashed);
                    shown.errors.clear();
                    a.clear();
                    a.setPath(p.archive);
                    ASSERT_TRUE(a.refresh(p.sel, T0 + 100));
                    shown.errors.clear();  // the load's warning about the tail
                },
                [&] { return a.save(); },
                [&](bool ok, int n) {
                    SCOPED_TRACE(std::string(callName(kind)) + " #" + std::to_string(n) + " " +
                                 std::strerror(err));
                    std::vector<std::string> side = sideFiles();
                    if (ok) {
                        ASSERT_EQ(side.size(), 1u);
                        EXPECT_EQ(check::fileBytes(side[0]), tail);
                        p.expectStates(T0 + 100);
                        return;
                    }
                    ASSERT_FALSE(shown.errors.empty());
                    EXPECT_STREQ(shown.errors[0].id, "Tresmo.save.1");
                    EXPECT_TRUE(endsWith(shown.errors[0], err)) << shown.errors[0].chainText();
                    // The tail is still in the archive, or cut once its whole copy was beside
                    // it; never lost, never half copied.
                    const std::string now = check::fileBytes(p.archive);
                    bool kept = (now == crashed && side.empty()) ||
                                ((now == crashed || now == p.committed) && side.size() == 1 &&
                                 check::fileBytes(side[0]) == tail);
                    std::string left = leftovers(p.dir.path(), {"w", "w.trsm"});
                    if (!kept) {
                        ++tally.damaged;
                        ADD_FAILURE() << "archive of " << now.size() << " bytes (committed "
                                      << p.committed.size() << ", with tail " << crashed.size()
                                      << "); beside it:" << left;
                    }
                    Tresmo b;
                    b.setPath(p.archive);
                    ASSERT_TRUE(b.refresh(p.sel, T0 + 100));
                    ASSERT_TRUE(b.save()) << shown.errors.back().chainText();
                    p.expectStates(T0 + 100);
                });
        }
    }
    tally.print("save after a crash");
    EXPECT_GT(tally.failed, 10);
    EXPECT_EQ(tally.damaged, 0);
}

namespace {

// Interrupted calls (EINTR at every index of every kind that may be interrupted) and short
// writes are continued: op must succeed and leave exactly what it leaves without them.
// result() captures that outcome; prepare() sets up each run.
void continuedLoop(const char* what, const std::function<void()>& prepare,
                   const std::function<bool()>& op, const std::function<std::string()>& result) {
    prepare();
    ASSERT_TRUE(op());
    const std::string expected = result();
    Tally tally;
    for (Call kind :
         {Call::Read, Call::Pread, Call::Write, Call::Pwrite, Call::Fdatasync, Call::Fsync}) {
        loop(kind, EINTR, tally, prepare, op, [&](bool ok, int n) {
            ASSERT_TRUE(ok) << what << ": " << callName(kind) << " #" << n;
            ASSERT_EQ(result(), expected) << what << ": " << callName(kind) << " #" << n;
        });
        if (::testing::Test::HasFatalFailure()) return;
    }
    const size_t limits[] = {1, 7, 4095};
    for (size_t limit : limits) {
        prepare();
        bool ok;
        {
            FaultOs fault;
            fault.skipSyncs(true);
            fault.shortWrites(limit);
            ok = op();
        }
        ASSERT_TRUE(ok) << what << ": writes of at most " << limit;
        EXPECT_EQ(result(), expected) << what << ": writes of at most " << limit;
    }
    std::string kinds;
    for (auto [kind, n] : tally.perKind)
        kinds += std::string(kinds.empty() ? "" : ", ") + callName(kind) + " " + std::to_string(n);
    std::printf(
        "[io-error] %s: %d interrupted calls (%s) and %zu short-write limits, all continued\n",
        what, tally.points, kinds.c_str(), std::size(limits));
}

}  // namespace

TEST(IoError, InterruptedCallsAndShortWritesAreContinuedInEveryOperation) {
    FaultOs fast;
    fast.skipSyncs(true);
    Pending p;
    continuedLoop(
        "save", [&] { check::writeBytes(p.archive, p.committed); },
        [&] {
            Tresmo a;
            a.setPath(p.archive);
            return a.refresh(p.sel, T0 + 100) && a.save();
        },
        [&] { return check::fileBytes(p.archive); });

    int target = 0;
    std::string t;
    continuedLoop(
        "export",
        [&] {
            t = p.dir / ("t" + std::to_string(++target));
            fs::create_directory(t);
        },
        [&] {
            Tresmo a;
            a.setPath(p.archive);
            if (!a.refresh(p.sel, T0 + 200)) return false;
            a.selectFolder(a.root());
            return a.exportSelected(t);
        },
        [&] {
            std::string all;
            for (const auto& [path, entry] : check::folderSnapshot(t + "/w"))
                all += path + "\n" + entry + "\n";
            return all;
        });

    const std::string sel = p.dir / "w.sel";
    continuedLoop(
        "selection", [&] { check::writeBytes(sel, "old"); },
        [&] {
            FileSel s;
            s.setFile(sel);
            s.setFolder(p.dir / "w");
            s.setExceptions("one,two,three");
            return s.write();
        },
        [&] {
            return check::fileBytes(sel) + leftovers(p.dir.path(), {"w", "w.trsm", "w.sel"});
        });

    setenv("TRESMO_CONFIG_DIR", p.dir.path().c_str(), 1);
    const std::string conf = p.dir / "Tresmo.conf";
    continuedLoop(
        "settings", [&] { check::writeBytes(conf, "Test.other=kept\n"); },
        [&] { return writeRegString("Test.value", "new value") == 0; },
        [&] {
            return check::fileBytes(conf) +
                   leftovers(p.dir.path(),
                             {"w", "w.trsm", "w.sel", "Tresmo.conf", "Tresmo.conf.lock"});
        });
    unsetenv("TRESMO_CONFIG_DIR");
}

TEST(IoError, AFailingCallInAnExportNamesTheErrorAndWritesNothingOutsideTheTarget) {
    FaultOs fast;
    fast.skipSyncs(true);
    Pending p;
    Tresmo b;
    b.setPath(p.archive);
    ASSERT_TRUE(b.refresh(p.sel, T0 + 100));
    ASSERT_TRUE(b.save());
    const std::string archive = check::fileBytes(p.archive);
    const check::Snapshot expected = check::folderSnapshot(p.dir / "w");
    p.dir.mkdirs("outside");
    p.dir.write("outside/canary", "canary");
    Tally tally;
    int target = 0;
    auto exportTo = [&](Tresmo& a, const std::string& t) {
        fs::create_directory(t);
        a.selectFolder(a.root());
        return a.exportSelected(t);
    };
    for (Call kind : KINDS) {
        for (int err : errnosFor(kind)) {
            RecordingPresenter shown;
            Tresmo a;
            std::string t;
            loop(
                kind, err, tally,
                [&] {
                    shown.errors.clear();
                    a.clear();
                    a.setPath(p.archive);
                    ASSERT_TRUE(a.refresh(p.sel, T0 + 200));
                    t = p.dir / ("t" + std::to_string(++target));
                    fs::create_directory(t);
                },
                [&] { return exportTo(a, t); },
                [&](bool ok, int n) {
                    SCOPED_TRACE(std::string(callName(kind)) + " #" + std::to_string(n) + " " +
                                 std::strerror(err));
                    if (!ok) {
                        ASSERT_FALSE(shown.errors.empty());
                        EXPECT_STREQ(shown.errors[0].id, "Tresmo.export.1");
                        EXPECT_TRUE(endsWith(shown.errors[0], err)) << shown.errors[0].chainText();
                    } else {
                        EXPECT_EQ(check::folderSnapshot(t + "/w"), expected);
                    }
                    // Only the target and the archive folder's own files may be there.
                    bool clean = check::fileBytes(p.archive) == archive &&
                                 check::fileBytes(p.dir / "outside/canary") == "canary";
                    for (auto& e : fs::directory_iterator(p.dir.path())) {
                        std::string name = e.path().filename().string();
                        clean &=
                            name[0] == 't' || name == "w" || name == "w.trsm" || name == "outside";
                    }
                    if (!clean) ++tally.damaged;
                    EXPECT_TRUE(clean);
                    if (!ok) {
                        Tresmo c;
                        c.setPath(p.archive);
                        ASSERT_TRUE(c.refresh(p.sel, T0 + 200));
                        std::string again = p.dir / ("t" + std::to_string(++target));
                        ASSERT_TRUE(exportTo(c, again));
                        EXPECT_EQ(check::folderSnapshot(again + "/w"), expected);
                    }
                });
        }
    }
    tally.print("export");
    EXPECT_GT(tally.failed, 20);
    EXPECT_EQ(tally.damaged, 0);
}

namespace {

// Rewrites of small files (the selection, the settings): after a failure the old file is
// whole, or (when only the folder's sync failed, after the rename) the new one; never a mix,
// and no temporary file is left beside it.
void rewriteLoop(const char* what, const std::string& folder, const std::string& path,
                 const std::function<void()>& writeOld, const std::function<bool(int)>& writeNew,
                 const std::string& keep) {
    Tally tally;
    // flock is left out: a lock that cannot be taken means another writer owns the temporary
    // file, which must then stay.
    for (Call kind : KINDS) {
        if (kind == Call::Flock) continue;
        for (int err : errnosFor(kind)) {
            std::string oldBytes, newBytes;
            writeOld();
            writeNew(0);
            newBytes = check::fileBytes(path);
            loop(
                kind, err, tally,
                [&] {
                    writeOld();
                    oldBytes = check::fileBytes(path);
                },
                [&] { return writeNew(err); },
                [&](bool ok, int n) {
                    SCOPED_TRACE(std::string(what) + " " + callName(kind) + " #" +
                                 std::to_string(n) + " " + std::strerror(err));
                    std::string now = check::fileBytes(path);
                    bool whole = now == newBytes || (!ok && now == oldBytes);
                    EXPECT_TRUE(whole);
                    bool clean = whole;
                    for (auto& e : fs::directory_iterator(folder)) {
                        std::string name = e.path().filename().string();
                        bool known = e.path().string() == path || keep.find(name) != keep.npos;
                        EXPECT_TRUE(known) << "left behind: " << name;
                        clean &= known;
                    }
                    if (!clean) ++tally.damaged;
                    // And without the fault.
                    ASSERT_TRUE(writeNew(0));
                    EXPECT_EQ(check::fileBytes(path), newBytes);
                });
        }
    }
    tally.print(what);
    EXPECT_GT(tally.failed, 5);
    EXPECT_EQ(tally.damaged, 0);
}

}  // namespace

TEST(IoError, AFailingCallInASelectionWriteKeepsTheOldFileWhole) {
    TestDir dir;
    dir.mkdirs("w");
    RecordingPresenter shown;
    const std::string path = dir / "w.sel";
    rewriteLoop(
        "selection", dir.path(), path,
        [&] {
            FileSel s;
            s.setFile(path);
            s.setFolder(dir / "w");
            ASSERT_TRUE(s.write());
        },
        [&](int err) {
            FileSel s;
            s.setFile(path);
            s.setFolder(dir / "w");
            s.setExceptions("one,two,three");
            s.setListed("txt", true);
            shown.errors.clear();
            bool ok = s.write();
            if (!ok && err) {
                EXPECT_STREQ(shown.errors.at(0).id, "FileSel.write");
                EXPECT_TRUE(endsWith(shown.errors[0], err)) << shown.errors[0].chainText();
            }
            return ok;
        },
        "w");
}

TEST(IoError, AFailingCallInASettingsWriteKeepsTheOldFileWhole) {
    TestDir dir;
    setenv("TRESMO_CONFIG_DIR", dir.path().c_str(), 1);
    rewriteLoop(
        "settings", dir.path(), dir / "Tresmo.conf",
        [&] {
            ASSERT_EQ(writeRegString("Test.value", "old"), 0);
            ASSERT_EQ(writeRegString("Test.other", "kept"), 0);
        },
        [&](int err) {
            int got = writeRegString("Test.value", "new value");
            if (got != 0 && err) {
                EXPECT_EQ(got, err);
            }
            return got == 0;
        },
        "Tresmo.conf.lock");
    char buf[64];
    ASSERT_TRUE(readRegString("Test.other", buf, sizeof buf));
    EXPECT_STREQ(buf, "kept");
    unsetenv("TRESMO_CONFIG_DIR");
}

TEST(IoError, AFailingCallInTheFirstSettingsWriteLeavesNoPartialFile) {
    // The settings folder and its parent do not exist yet: the write creates them.
    TestDir dir;
    const std::string folder = dir / "config/Norvik Software";
    setenv("TRESMO_CONFIG_DIR", folder.c_str(), 1);
    Tally tally;
    for (Call kind : KINDS) {
        if (kind == Call::Flock) continue;  // see rewriteLoop
        for (int err : errnosFor(kind)) {
            loop(
                kind, err, tally, [&] { fs::remove_all(dir / "config"); },
                [&] {
                    int got = writeRegString("Test.value", "first");
                    EXPECT_TRUE(got == 0 || got == err) << "gave " << std::strerror(got);
                    return got == 0;
                },
                [&](bool ok, int n) {
                    SCOPED_TRACE(std::string(callName(kind)) + " #" + std::to_string(n) + " " +
                                 std::strerror(err));
                    // Created folders may stay; a file is the whole new one or absent.
                    std::string file = folder + "/Tresmo.conf";
                    bool clean = (!ok && !fs::exists(file)) ||
                                 check::fileBytes(file) == "Test.value=first\n";
                    std::string left = fs::exists(folder)
                                           ? leftovers(folder, {"Tresmo.conf", "Tresmo.conf.lock"})
                                           : "";
                    if (!clean || !left.empty()) {
                        ++tally.damaged;
                        ADD_FAILURE() << "left behind:" << left;
                    }
                    ASSERT_EQ(writeRegString("Test.value", "first"), 0);
                });
        }
    }
    unsetenv("TRESMO_CONFIG_DIR");
    tally.print("first settings write");
    EXPECT_GT(tally.failed, 5);
    EXPECT_EQ(tally.damaged, 0);
}

namespace {

// Bytes that do not compress, so a save needs about as much room as the file has bytes.
std::string noise(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

}  // namespace

TEST(IoError, AFileSizeLimitHitMidSaveLeavesTheCommittedBytesAndALaterSaveSucceeds) {
    // The limit of the process plays a full disk: writes beyond it fail with EFBIG. It is set
    // in a child, so the test process keeps its own.
    Pending p;
    p.dir.write("w/n/noise.bin", noise(50000), T0 + 50);
    const long limit = static_cast<long>(p.committed.size()) + 20000;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(3);
        RecordingPresenter shown;
        Tresmo a;
        a.setPath(p.archive);
        if (!a.refresh(p.sel, T0 + 100)) _exit(4);
        if (a.save()) _exit(5);
        _exit(shown.errors.size() == 1 && endsWith(shown.errors[0], EFBIG) ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no limit, 4: no load, 5: saved, 6: wrong message";
    EXPECT_EQ(check::fileBytes(p.archive), p.committed);
    p.saveWithoutFault();
    std::printf(
        "[io-error] file size limit %ld bytes: save failed with EFBIG, committed bytes "
        "kept, the next save succeeded\n",
        limit);
}

TEST(IoError, ARealFullDiskMidSaveLeavesTheCommittedBytesAndASaveAfterFreeingSpaceSucceeds) {
    // A small tmpfs holds the archive (mounting needs root, as on CI).
    Pending p;
    const std::string disk = p.dir / "disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    p.archive = disk + "/w.trsm";
    check::writeBytes(p.archive, p.committed);
    p.dir.write("w/n/noise.bin", noise(300000), T0 + 50);
    // Fill the disk but for a little more than the smaller files need.
    struct statvfs vfs;
    ASSERT_EQ(::statvfs(disk.c_str(), &vfs), 0);
    check::writeBytes(disk + "/filler", std::string(vfs.f_bavail * vfs.f_bsize - 100000, 'f'));
    {
        RecordingPresenter shown;
        Tresmo a;
        a.setPath(p.archive);
        ASSERT_TRUE(a.refresh(p.sel, T0 + 100));
        ASSERT_FALSE(a.save());
        ASSERT_EQ(shown.errors.size(), 1u);
        EXPECT_STREQ(shown.errors[0].id, "Tresmo.save.1");
        EXPECT_TRUE(endsWith(shown.errors[0], ENOSPC)) << shown.errors[0].chainText();
        EXPECT_TRUE(shown.errors[0].hasCode(2023)) << "not out of space while storing a file";
        std::printf("[io-error] full disk mid-save:\n%s\n", shown.errors[0].chainText().c_str());
    }
    EXPECT_EQ(check::fileBytes(p.archive), p.committed);
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(disk))
        names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"filler", "w.trsm"}));
    fs::remove(disk + "/filler");
    p.saveWithoutFault();
}
