// Every call that changes a file, failed in turn: a save (a later one, the first, one after a
// crash), an export, a selection and a settings write report the system error, keep what was
// committed byte for byte, and a later run succeeds. EINTR and short transfers must not show.
#include "support/ArchiveCheck.h"
#include "support/FaultOs.h"
#include "support/RecordingPresenter.h"
#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/objects/FileSel.h"
#include "archive/ops/Tresmo.h"
#include "archive/storage/StgFile.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

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
int nextPoint(int n) {
    return fullWalk() || n < 16 ? n + 1 : n + n / 4;
}

// Every kind of call an operation could make; a kind it never makes costs one run.
const std::pair<Call, const char*> KINDS[] = {
    {Call::Open, "open"},           {Call::Openat, "openat"},   {Call::Read, "read"},
    {Call::Pread, "pread"},         {Call::Write, "write"},     {Call::Pwrite, "pwrite"},
    {Call::Fdatasync, "fdatasync"}, {Call::Fsync, "fsync"},     {Call::Ftruncate, "ftruncate"},
    {Call::Rename, "rename"},       {Call::Unlink, "unlink"},   {Call::Unlinkat, "unlinkat"},
    {Call::Mkdir, "mkdir"},         {Call::Mkdirat, "mkdirat"}, {Call::Rmdir, "rmdir"},
    {Call::ListDir, "listdir"},     {Call::Flock, "flock"},     {Call::Close, "close"},
    {Call::Futimens, "futimens"}};

// EIO everywhere and, in the bounded walk, one of the others in turn; EINTR (to be continued)
// where a call may be interrupted.
std::vector<int> errnosFor(Call kind) {
    static const int others[] = {ENOSPC, EDQUOT, EROFS, EACCES};
    std::vector<int> errs{EIO, others[static_cast<int>(kind) % 4]};
    if (fullWalk()) errs = {EIO, ENOSPC, EDQUOT, EROFS, EACCES};
    if (kind >= Call::Read && kind <= Call::Fsync) errs.push_back(EINTR);
    return errs;
}

// The chain ends with the system's own text for err.
bool endsWith(const Error& e, int err) {
    const Error* p = &e;
    while (p->cause)
        p = p->cause.get();
    return p->code == 9000 && p->text == std::strerror(err);
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

// One operation under the loops. run(err) does it (err is the injected errno, 0 without a
// fault) and says whether it succeeded; a failure shows errorId with err at the end of its
// chain (or, with no errorId, run checks what it was given). damage(ok) names what the run
// left that it must not have. redo(ok) completes the work without faults, and result() is then
// what a run without any fault leaves.
struct Subject {
    const char* what;
    const char* errorId;
    std::function<void()> prepare;
    std::function<bool(int)> run;
    std::function<std::string(bool)> damage;
    std::function<bool(bool)> redo;
    std::function<std::string()> result;
    bool withFlock = true;  // a lock that cannot be taken means another writer owns the file
};

void faultLoop(const Subject& s) {
    s.prepare();
    ASSERT_TRUE(s.run(0) && s.redo(true)) << s.what << " without faults";
    const std::string expected = s.result();
    int points = 0, failed = 0, damaged = 0;
    for (auto [kind, name] : KINDS) {
        if (kind == Call::Flock && !s.withFlock) continue;
        for (int err : errnosFor(kind)) {
            for (int n = 1;; n = nextPoint(n)) {
                s.prepare();
                RecordingPresenter shown;
                bool ok;
                int seen;
                {
                    FaultOs fault;
                    fault.skipSyncs(true);
                    fault.failAt(kind, n, err);
                    ok = s.run(err);
                    seen = fault.count(kind);
                }
                if (seen < n) break;
                SCOPED_TRACE(std::string(s.what) + ": " + name + " #" + std::to_string(n) + " " +
                             std::strerror(err));
                if (err == EINTR) {
                    ASSERT_TRUE(ok && s.result() == expected) << "not continued";
                    continue;
                }
                ++points;
                failed += !ok;
                if (!ok && s.errorId) {  // "": any message ending with the errno
                    ASSERT_FALSE(shown.errors.empty());
                    if (*s.errorId) {
                        EXPECT_STREQ(shown.errors[0].id, s.errorId);
                    }
                    EXPECT_TRUE(endsWith(shown.errors[0], err)) << shown.errors[0].chainText();
                }
                const std::string damage = s.damage(ok);
                damaged += !damage.empty();
                EXPECT_EQ(damage, "");
                ASSERT_TRUE(s.redo(ok)) << "and again without the fault";
                EXPECT_EQ(s.result(), expected);
            }
        }
    }
    for (size_t limit : {1, 7, 4095}) {  // short writes are continued
        s.prepare();
        bool ok;
        {
            FaultOs fault;
            fault.skipSyncs(true);
            fault.shortWrites(limit);
            ok = s.run(0);
        }
        EXPECT_TRUE(ok && s.result() == expected) << s.what << ": writes of at most " << limit;
    }
    std::printf("[io-error] %s: %d fault points, %d reported, %d failures to roll back\n", s.what,
                points, failed, damaged);
    EXPECT_GT(failed, 5);
    EXPECT_EQ(damaged, 0);
}

// A watched folder with one committed transaction and a second one pending: a modified large
// file (a delta), new files in a new subfolder and a removed file.
struct Pending {
    TestDir dir;
    FileSel sel;
    std::string archive = dir / "w.trsm";
    std::string committed;
    Tresmo a;
    int target = 0;

    Pending() {
        dir.write("w/big.txt", check::words(120000, 1), T0 - 50);
        dir.write("w/old.txt", "to be removed", T0 - 50);
        dir.write("w/s/a.txt", check::words(5000, 2), T0 - 50);
        sel.setFolder(dir / "w");
        EXPECT_TRUE(saveNew(T0));
        std::string big = check::words(120000, 1);
        big.replace(60000, 10, "CHANGED!!!");
        dir.write("w/big.txt", big, T0 + 50);
        dir.write("w/n/b.txt", check::words(30000, 3), T0 + 50);
        dir.write("w/n/empty.txt", "", T0 + 50);
        fs::remove(dir / "w/old.txt");
        committed = check::fileBytes(archive);
    }
    bool saveNew(int64_t t) {
        Tresmo b;
        b.setPath(archive);
        return b.refresh(sel, t) && b.save();
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
            for (const std::string& f : failed)
                out += "failed " + f + "\n";
        }
        return out;
    }
    // The pending save, started from the archive as given.
    Subject save(const char* what, const std::string& start) {
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
                [this](int) { return a.save(); },
                [this](bool ok) {
                    std::string left = leftovers(dir.path(), {"w", "w.trsm"});
                    return ok || (check::fileBytes(archive) == committed && left.empty())
                               ? std::string()
                               : "committed bytes changed or left behind:" + left;
                },
                [this](bool ok) { return ok || saveNew(T0 + 100); },
                [this] { return history(); }};
    }
    // No archive yet: a failure leaves none, or one that is its header alone. A run that went
    // through in spite of the fault (a subfolder it could not list is skipped with a warning) is
    // completed by one more save.
    Subject firstSave() {
        return {"first save",
                "",
                [this] {
                    for (const std::string& f : check::sideFiles(dir.path()))
                        fs::remove(f);
                    fs::remove(archive);
                },
                [this](int) { return saveNew(T0 + 100); },
                [this](bool ok) {
                    std::string left = leftovers(dir.path(), {"w", "w.trsm"});
                    bool none = ok || !fs::exists(archive) ||
                                fs::file_size(archive) == StgFile::FILE_HEADER_LEN;
                    return none && left.empty() ? std::string() : "partial archive or left:" + left;
                },
                [this](bool) { return saveNew(T0 + 150); },
                [this] {
                    Tresmo c;
                    if (!check::load(c, archive, T0 + 200) || !c.txns()) return std::string("none");
                    std::vector<std::string> failed;
                    check::Snapshot last = check::stateAt(c, check::txnTimes(c).back(), failed);
                    return std::to_string(failed.size()) +
                           (last == check::folderSnapshot(dir / "w") ? " same" : " differs");
                }};
    }
    Subject exportAll() {
        auto t = std::make_shared<std::string>();
        auto exportTo = [this, t](Tresmo& b) {
            *t = dir / ("t" + std::to_string(++target));
            fs::create_directory(*t);
            b.selectFolder(b.root());
            return b.exportSelected(*t);
        };
        return {"export", "Tresmo.export.1",
                [this] {
                    a.clear();
                    a.setPath(archive);
                    ASSERT_TRUE(a.refresh(sel, T0 + 200));
                },
                [this, exportTo](int) { return exportTo(a); },
                // Only the targets and the archive folder's own files may be there.
                [this](bool) {
                    std::string left;
                    for (auto& e : fs::directory_iterator(dir.path())) {
                        std::string name = e.path().filename().string();
                        if (name[0] != 't' && name != "w" && name != "w.trsm" && name != "outside")
                            left += " " + name;
                    }
                    return check::fileBytes(archive) == committed &&
                                   check::fileBytes(dir / "outside/canary") == "canary" &&
                                   left.empty()
                               ? std::string()
                               : "written outside the target:" + left;
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

// A small file rewritten whole (the selection, the settings): after a failure the old file is
// whole, or (when only the folder's sync failed, after the rename) the new one; never a mix,
// and nothing is left beside it.
Subject rewrite(const char* what, const char* errorId, const std::string& path,
                const std::set<std::string>& keep, std::function<void()> writeOld,
                std::function<bool(int)> writeNew) {
    auto oldBytes = std::make_shared<std::string>();
    auto newBytes = std::make_shared<std::string>();
    const std::string folder = fs::path(path).parent_path();
    return {what,
            errorId,
            [=] {
                if (newBytes->empty()) {
                    writeOld();
                    writeNew(0);
                    *newBytes = check::fileBytes(path);
                }
                writeOld();
                *oldBytes = check::fileBytes(path);
            },
            writeNew,
            [=](bool ok) {
                const std::string now = check::fileBytes(path), left = leftovers(folder, keep);
                bool whole = now == *newBytes || (!ok && now == *oldBytes);
                return whole && left.empty() ? std::string() : "a mix or left behind:" + left;
            },
            [=](bool) { return writeNew(0); },
            [=] { return check::fileBytes(path) + leftovers(folder, keep); },
            false};
}

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
    return rewrite(
        "selection", "FileSel.write", path, {"w", "w.sel", "w.trsm"},
        [=] { ASSERT_TRUE(write("")); }, [=](int) { return write("one,two,three"); });
}

// The settings in folder (TRESMO_CONFIG_DIR must point there).
Subject settings(const std::string& folder) {
    return rewrite(
        "settings", nullptr, folder + "/Tresmo.conf", {"Tresmo.conf", "Tresmo.conf.lock"},
        [] {
            ASSERT_EQ(writeRegString("Test.value", "old"), 0);
            ASSERT_EQ(writeRegString("Test.other", "kept"), 0);
        },
        [](int err) {
            int got = writeRegString("Test.value", "new value");
            EXPECT_TRUE(got == 0 || got == err) << "gave " << std::strerror(got);
            return got == 0;
        });
}

}  // namespace

TEST(IoError, AFailingCallInASaveOrExportRollsBackToTheCommittedBytesAndTheNextRunSucceeds) {
    Pending p;
    // What a crash halfway through writing the second transaction leaves.
    ASSERT_TRUE(p.saveNew(T0 + 100));
    const std::string full = check::fileBytes(p.archive);
    const std::string crashed = full.substr(0, (p.committed.size() + full.size()) / 2);
    const std::string tail = crashed.substr(p.committed.size());
    faultLoop(p.save("save", p.committed));
    Subject s = p.save("save after a crash", crashed);
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
    faultLoop(p.firstSave());
    check::writeBytes(p.archive, full);
    p.committed = full;
    p.dir.write("outside/canary", "canary");
    faultLoop(p.exportAll());
}

TEST(IoError, AFailingCallInASelectionOrSettingsWriteKeepsTheOldFileWhole) {
    TestDir dir;
    dir.mkdirs("w");
    faultLoop(selection(dir.path()));
    ScopedEnv config("TRESMO_CONFIG_DIR", dir / "cfg");
    fs::create_directory(dir / "cfg");
    faultLoop(settings(dir / "cfg"));
    char buf[64];
    ASSERT_TRUE(readRegString("Test.other", buf, sizeof buf));
    EXPECT_STREQ(buf, "kept");
}
