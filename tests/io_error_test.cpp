// Every call that changes a file, failed in turn: a save, an export, a selection write and a
// settings write each report the failure with the system error at the end of the chain, leave
// what was committed byte for byte, and a later run without faults succeeds. EINTR and short
// transfers are not failures and must not show.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/FileSel.h"
#include "archive/Tresmo.h"
#include "archive/cfg.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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
const int ERRS[] = {EIO, ENOSPC};

const char* callName(Call c) {
    static const char* names[] = {"open",      "read",     "pread",     "write",    "pwrite",
                                  "fdatasync", "fsync",    "ftruncate", "rename",   "unlink",
                                  "mkdir",     "rmdir",    "listdir",   "spawn",    "flock",
                                  "close",     "futimens", "openat",    "unlinkat", "mkdirat"};
    return names[static_cast<int>(c)];
}

// The chain ends with the system's own text for err.
bool endsWith(const Error& e, int err) {
    const Error* p = &e;
    while (p->cause)
        p = p->cause.get();
    return p->code == 9000 && p->text == std::strerror(err);
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
    int points = 0;     // calls failed
    int failed = 0;     // operations that reported the failure
    int succeeded = 0;  // operations that did not need the failed call (and were checked)
    int damaged = 0;    // committed data changed or a temporary file left: the goal is 0
    void print(const char* what) const {
        std::printf(
            "[io-error] %s: %d fault points, %d reported, %d succeeded regardless, %d "
            "changed committed data or left files\n",
            what, points, failed, succeeded, damaged);
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
};

// The next call index to fail: every one of the first 16, then spaced out by a quarter, so a
// buffered export of many small writes stays quick; TRESMO_IO_FULL=1 takes every call.
int nextPoint(int n) {
    static const bool full = std::getenv("TRESMO_IO_FULL") != nullptr;
    return full || n < 16 ? n + 1 : n + n / 4;
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
    for (Call kind : {Call::Pwrite, Call::Fdatasync, Call::Ftruncate, Call::Open, Call::Read,
                      Call::Flock, Call::Close}) {
        for (int err : ERRS) {
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
                    if (check::fileBytes(p.archive) != p.committed) {
                        ++tally.damaged;
                        ADD_FAILURE() << "committed bytes changed";
                    }
                    // The same save without the fault.
                    Tresmo b;
                    b.setPath(p.archive);
                    ASSERT_TRUE(b.refresh(p.sel, T0 + 100));
                    ASSERT_TRUE(b.save());
                    p.expectStates(T0 + 100);
                });
        }
    }
    tally.print("save");
    EXPECT_GT(tally.failed, 20);
    EXPECT_EQ(tally.damaged, 0);
}

TEST(IoError, InterruptedCallsAndShortWritesInASaveAreContinued) {
    FaultOs fast;
    fast.skipSyncs(true);
    Pending p;
    // The bytes a save without any fault writes.
    Tresmo ref;
    ref.setPath(p.archive);
    ASSERT_TRUE(ref.refresh(p.sel, T0 + 100));
    ASSERT_TRUE(ref.save());
    const std::string expected = check::fileBytes(p.archive);
    int points = 0;
    for (Call kind : {Call::Pwrite, Call::Fdatasync, Call::Read, Call::Pread}) {
        for (int n = 1;; ++n) {
            check::writeBytes(p.archive, p.committed);
            RecordingPresenter shown;
            Tresmo a;
            a.setPath(p.archive);
            ASSERT_TRUE(a.refresh(p.sel, T0 + 100));
            FaultOs fault;
            fault.skipSyncs(true);
            fault.failAt(kind, n, EINTR);
            bool ok = a.save();
            if (fault.count(kind) < n) break;
            ++points;
            ASSERT_TRUE(ok) << callName(kind) << " #" << n << ": " << shown.errors[0].chainText();
            ASSERT_EQ(check::fileBytes(p.archive), expected) << callName(kind) << " #" << n;
        }
    }
    for (size_t limit : {7u, 4095u}) {
        check::writeBytes(p.archive, p.committed);
        Tresmo a;
        a.setPath(p.archive);
        ASSERT_TRUE(a.refresh(p.sel, T0 + 100));
        FaultOs fault;
        fault.skipSyncs(true);
        fault.shortWrites(limit);
        ASSERT_TRUE(a.save()) << "writes of at most " << limit;
        EXPECT_EQ(check::fileBytes(p.archive), expected) << "writes of at most " << limit;
    }
    std::printf("[io-error] save: %d interrupted calls and 2 short-write limits, all continued\n",
                points);
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
    for (Call kind : {Call::Open, Call::Openat, Call::Mkdirat, Call::Write, Call::Ftruncate,
                      Call::Futimens, Call::Close, Call::Pread, Call::Flock}) {
        for (int err : ERRS) {
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
    for (Call kind :
         {Call::Open, Call::Write, Call::Fdatasync, Call::Fsync, Call::Close, Call::Rename}) {
        for (int err : ERRS) {
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
    Tresmo b;
    b.setPath(p.archive);
    ASSERT_TRUE(b.refresh(p.sel, T0 + 100));
    ASSERT_TRUE(b.save());
    p.expectStates(T0 + 100);
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
    Tresmo b;
    b.setPath(p.archive);
    ASSERT_TRUE(b.refresh(p.sel, T0 + 100));
    ASSERT_TRUE(b.save());
    p.expectStates(T0 + 100);
}
