#include "support/RecordingPresenter.h"
#include "support/TestDir.h"

#include "archive/ops/Tresmo.h"
#include "archive/storage/StgFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

using Snapshot = std::map<std::string, std::string>;  // path relative to the folder -> bytes

// A watched folder through save cycles at fixed times, with a snapshot of each committed state.
struct Cycle {
    TestDir dir;
    FileSel sel;
    std::string archive;
    int64_t t = T0;
    std::vector<std::pair<int64_t, Snapshot>> committed;
    RecordingPresenter shown;

    Cycle() {
        dir.mkdirs("w");
        sel.setFolder(dir / "w");
        archive = dir / "w.trsm";
    }
    void put(const std::string& rel, const std::string& data) { dir.write("w/" + rel, data, t); }
    void remove(const std::string& rel) { fs::remove_all(dir / ("w/" + rel)); }

    Snapshot current() {
        Snapshot s;
        for (auto& e : fs::recursive_directory_iterator(dir / "w"))
            if (e.is_regular_file())
                s[fs::relative(e.path(), dir / "w").string()] =
                    dir.read(fs::relative(e.path(), dir.path()).string());
        return s;
    }
    SaveStats save() {
        t += 100;
        Tresmo a;
        a.setPath(archive);
        EXPECT_TRUE(a.refresh(sel, t));
        SaveStats stats;
        EXPECT_TRUE(a.save(nullptr, &stats));
        EXPECT_TRUE(shown.errors.empty()) << shown.errors.front().chainText();
        committed.emplace_back(t, current());
        return stats;
    }
    void checkEveryVersion() {
        Tresmo a;
        a.setPath(archive);
        ASSERT_TRUE(a.refresh(sel, t + 1));
        for (const auto& [time, snap] : committed) {
            Snapshot restored;
            collect(a, a.root(), "", time, restored);
            EXPECT_EQ(restored, snap) << "state at " << time;
        }
    }
    void collect(Tresmo& a, const Node* n, const std::string& rel, int64_t time, Snapshot& out) {
        for (const Node* c = n->firstChild; c; c = c->next) {
            const Version* v = Tresmo::versionAt(c, time);
            if (!v) continue;
            std::string path = rel.empty() ? c->name : rel + "/" + c->name;
            if (v->kind() == NodeKind::Folder) collect(a, c, path, time, out);
            if (const ContentInfo* ci = v->content()) out[path] = a.restore(*ci);
        }
    }
};

std::string text(std::mt19937& rnd, size_t n) {
    static const char* words[] = {"alpha ", "beta ", "gamma\n", "delta ", "epsilon ", "zeta\n"};
    std::string s;
    while (s.size() < n)
        s += words[rnd() % 6];
    s.resize(n);
    return s;
}

TEST(ScanSave, CyclesRestoreEveryVersionChooseDeltasAndStopAtAFileChangedAfterTheScan) {
    Cycle c;
    std::mt19937 rnd(7);
    std::string big = text(rnd, 60000);
    c.put("big.txt", big);
    c.put("small.txt", "tiny");
    c.put("docs/a.txt", text(rnd, 5000));
    c.put("docs/sub/b.bin", std::string(3000, '\x01'));
    c.put("empty.txt", "");
    EXPECT_EQ(c.save().files, 5);

    big.insert(30000, "a few new bytes in the middle\n");
    c.put("big.txt", big);                 // small edit of a large file: a delta
    c.put("small.txt", "tiny!");           // below the delta's minimum size: whole
    c.put("docs/a.txt", text(rnd, 5000));  // rewritten completely: the delta does not pay
    EXPECT_EQ(c.save().deltas, 1);

    big = "start " + big + " end";
    c.put("big.txt", big);
    c.remove("docs/sub");
    c.put("empty.txt", "no longer empty");
    SaveStats third = c.save();
    EXPECT_EQ(third.deltas, 1);
    EXPECT_EQ(third.removed, 1);  // one record for the folder with everything in it

    c.remove("small.txt");
    c.put("small.txt/inside.txt", "a file became a folder");
    c.put("docs/sub/b.bin", "back again");
    c.put("big.txt", "");
    c.save();
    // Touched, not changed: a new version; written after the scan: the save stops.
    c.dir.write("w/docs/a.txt", c.dir.read("w/docs/a.txt"), c.t + 50);
    {
        Tresmo a;
        a.setPath(c.archive);
        ASSERT_TRUE(a.refresh(c.sel, c.t + 100));
        EXPECT_TRUE(a.hasPendingChanges());
        c.dir.write("w/docs/a.txt", "written after the scan", c.t + 60);
        EXPECT_FALSE(a.save());
        EXPECT_TRUE(c.shown.errors.back().hasCode(2024));
    }
    c.put("docs/a.txt", "a");
    // Small files are coded in pairs over two threads: a change after the scan stops either.
    for (int i = 0; i < 4; ++i)
        c.put("n" + std::to_string(i) + ".txt", std::string(3000 + i, static_cast<char>('a' + i)));
    const std::string before = c.dir.read("w.trsm");
    for (int changed = 0; changed < 4; ++changed) {
        Tresmo a;
        a.setPath(c.archive);
        ASSERT_TRUE(a.refresh(c.sel, c.t + 100));
        std::string name = "n" + std::to_string(changed) + ".txt";
        std::string old = c.dir.read("w/" + name);
        c.dir.write("w/" + name, "changed after the scan", c.t + 50);
        c.shown.errors.clear();
        EXPECT_FALSE(a.save());
        ASSERT_EQ(c.shown.errors.size(), 1u);
        const auto& e = c.shown.errors.front();
        EXPECT_TRUE(e.hasCode(2023) && e.hasCode(2022)) << e.chainText();
        EXPECT_NE(e.chainText().find(name), std::string::npos) << e.chainText();
        EXPECT_EQ(c.dir.read("w.trsm"), before);
        c.dir.write("w/" + name, old, c.t);
    }
    c.shown.errors.clear();
    c.save();
    c.checkEveryVersion();
}

}  // namespace
