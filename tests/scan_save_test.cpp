#include "support/ArchiveCheck.h"

#include "archive/os/os.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr int64_t T0 = 1600000000;

// A watched folder through save cycles 100 s apart, each committed state kept.
struct Cycle : check::Saves {
    int64_t t = T0;
    RecordingPresenter shown;

    Cycle() { dir.mkdirs("w"); }
    void put(const std::string& rel, const std::string& data) { dir.write("w/" + rel, data, t); }
    void remove(const std::string& rel) { fs::remove_all(dir / ("w/" + rel)); }
    SaveStats save() {
        SaveStats stats;
        EXPECT_TRUE(Saves::save(t += 100, &stats));
        EXPECT_TRUE(shown.errors.empty()) << shown.errors.front().chainText();
        return stats;
    }
    void checkEveryVersion() {
        Tresmo a;
        ASSERT_TRUE(check::load(a, archive, t + 1));
        for (size_t i = 0; i < times.size(); ++i)
            EXPECT_TRUE(check::restores(a, times[i], states[i]));
    }
};

TEST(ScanSave, CyclesRestoreEveryVersionChooseDeltasAndLeaveOutAFileChangedAfterTheScan) {
    Cycle c;
    std::string big = check::words(60000, 1);
    c.put("big.txt", big);
    c.put("small.txt", "tiny");
    c.put("docs/a.txt", check::words(5000, 2));
    c.put("docs/sub/b.bin", std::string(3000, '\x01'));
    c.put("empty.txt", "");
    c.put("a.txt", check::words(3000, 4));
    EXPECT_EQ(c.save().files, 6);

    big.insert(30000, "a few new bytes in the middle\n");
    c.put("a.txt", "shrunk");                    // its base, indexed ahead, is given up
    c.put("big.txt", big);                       // small edit of a large file: a delta
    c.put("small.txt", "tiny!");                 // below the delta's minimum size: whole
    c.put("docs/a.txt", check::words(5000, 3));  // rewritten completely: the delta does not pay
    EXPECT_EQ(c.save().deltas, 1);

    big = "start " + big + " end";
    c.put("big.txt", big);
    c.remove("docs/sub");
    c.put("empty.txt", "no longer empty");
    const SaveStats third = c.save();  // one delete record for the folder and all it held
    EXPECT_TRUE(third.deltas == 1 && third.removed == 1) << third.deltas << " " << third.removed;

    c.remove("small.txt");
    c.put("small.txt/inside.txt", "a file became a folder");
    c.put("docs/sub/b.bin", "back again");
    c.put("big.txt", "");
    c.save();
    // Written after the scan, a file is left out with a warning that names it: nothing of it is
    // stored, it stays pending, and what else was pending is committed.
    auto changedAfterScan = [&](const std::string& rel, bool stored) {
        c.put("other.txt", "pending beside " + rel);
        Tresmo a;
        a.setPath(c.archive);
        EXPECT_TRUE(a.refresh(c.sel, c.t += 100) && a.hasPendingChanges());
        const std::string old = c.dir.read("w/" + rel);
        c.dir.write("w/" + rel, "changed after the scan", c.t - 40);
        SaveStats stats;
        EXPECT_TRUE(a.save(nullptr, &stats) && a.hasPendingChanges());
        EXPECT_TRUE(stats.files >= 1 && stats.leftOut == 1) << stats.files << " " << stats.leftOut;
        ASSERT_EQ(c.shown.warnings.size(), 1u);
        EXPECT_TRUE(c.shown.warnings[0].code == 2039 &&
                    c.shown.warnings[0].text.find(rel) != std::string::npos)
            << c.shown.warnings[0].text;
        c.shown.warnings.clear();
        check::Snapshot state = check::folderSnapshot(c.dir / "w");
        if (stored)
            state[rel] = old;
        else
            state.erase(rel);
        c.times.push_back(c.t);
        c.states.push_back(state);
        c.dir.write("w/" + rel, old, c.t);
    };
    c.dir.write("w/docs/a.txt", c.dir.read("w/docs/a.txt"), c.t + 50);  // touched: a new version
    changedAfterScan("docs/a.txt", true);                               // a delta's file
    c.put("docs/a.txt", "a");
    // Small new files are coded in pairs over two threads: a change after the scan is found
    // whichever codes it.
    for (int i = 0; i < 4; ++i) {
        const std::string name = "n" + std::to_string(i) + "_";
        for (int j = 0; j < 4; ++j)
            c.put(name + std::to_string(j), std::string(3000 + j, static_cast<char>('a' + j)));
        changedAfterScan(name + std::to_string(i), false);
    }
    c.dir.write("w/ahead.txt", "from a clock ahead", c.t + 100000);  // saved, with a warning
    c.remove("docs/sub");
    c.put("docs/sub", "a folder became a file");  // what it held goes in the same transaction
    c.save();
    Tresmo after;
    after.setPath(c.archive);
    EXPECT_TRUE(after.refresh(c.sel, c.t + 50) && !after.hasPendingChanges());
    ASSERT_EQ(c.shown.warnings.size(), 1u);
    EXPECT_EQ(c.shown.warnings[0].code, 2040);
    // Saved while the clock was ahead (or read after it was set back): the archive is read
    // whole with a warning that names the time, verify says so, and nothing is saved on top.
    c.t = os::sys().time() + 100000;
    c.put("late.txt", "from a clock ahead");
    c.save();
    c.shown.warnings.clear();
    c.put("more.txt", "pending");
    Tresmo late;
    late.setPath(c.archive);
    EXPECT_TRUE(late.refresh(c.sel, os::sys().time()) && late.readOnly());
    Node* n = nullptr;
    EXPECT_TRUE(late.hasPendingChanges() && late.findChild("late.txt", late.root(), n));
    ASSERT_FALSE(c.shown.warnings.empty());
    EXPECT_EQ(c.shown.warnings[0].code, 2041);
    EXPECT_FALSE(late.save());
    EXPECT_TRUE(!c.shown.errors.empty() && c.shown.errors.back().hasCode(2042));
    VerifyReport report;
    EXPECT_TRUE(late.verify(nullptr, report) && report.clean() && report.aheadTime == c.t);
    c.shown.errors.clear();
    c.remove("more.txt");
    c.checkEveryVersion();
}

// A link's own modification time.
long linkTime(const fs::path& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? static_cast<long>(st.st_mtime) : -1;
}

// Everything beneath root by relative path: a link's target and own time, or the permission
// bits of a file or folder (what `readlink`, `stat -c %Y` and `stat -c %a` tell).
std::map<std::string, std::string> described(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root))
        out[e.path().lexically_relative(root).string()] =
            e.is_symlink()
                ? "-> " + fs::read_symlink(e.path()).string() + " at " +
                      std::to_string(linkTime(e.path()))
                : std::to_string(static_cast<unsigned>(e.status().permissions()) & 07777);
    return out;
}

// Saves an archive with file metadata over transactions that change bits alone or with the
// content, retarget links, turn files into links and back, and add and fill empty folders;
// then exports every transaction: each copy is the folder as it was, links as links wherever
// they point (outside, nowhere, in a loop), bits exact, folders' bits set after their content,
// while the contents still read back through the records alone.
TEST(ScanSave, MetadataOfEveryTransactionComesBackOnExport) {
    Cycle c;
    c.sel.setMetaFormat(true);
    struct Step {
        std::vector<std::pair<std::string, std::string>> put, link;
        std::vector<std::pair<std::string, unsigned>> chmod;
        std::vector<std::string> mkdir, remove;
        int32_t files;  // versions the save writes
    };
    const std::vector<Step> steps = {
        {{{"a.txt", "a"},
          {"run.sh", "#!/bin/sh"},
          {"secret", "s"},
          {"priv/k", "k"},
          {"shared/x", "x"},
          {"pub", "p"}},
         {{"to-file", "a.txt"},
          {"to-dir", "shared"},
          {"dangling", "nowhere"},
          {"outside", "../../outside"},
          {"loop1", "loop2"},
          {"loop2", "loop1"}},
         {{"run.sh", 0755},
          {"secret", 0600},
          {"priv", 0700},
          {"shared", 02775},
          {"shared/x", 0664},
          {"pub", 0644}},
         {"e/f/g", "later"},
         {},
         12},
        // bits alone (the content is reused), a link retargeted, a file become a link
        {{},
         {{"to-file", "run.sh"}, {"a.txt", "secret"}},
         {{"secret", 0640}, {"priv", 0500}},
         {},
         {"a.txt"},
         3},
        // a link become a file, an empty folder that gets a file, one removed
        {{{"run.sh", "#!/bin/sh\nexit 0"}, {"later/now.txt", "n"}, {"dangling", "a file"}},
         {},
         {{"shared/x", 0644}, {"later", 0711}},
         {},
         {"e/f/g", "dangling"},
         4},
    };
    std::vector<std::map<std::string, std::string>> want;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        for (const std::string& rel : s.remove)
            c.remove(rel);
        for (const auto& [rel, data] : s.put)
            c.put(rel, data);
        for (const auto& [rel, to] : s.link)
            c.dir.link("w/" + rel, to, c.t);
        for (const std::string& rel : s.mkdir)
            c.dir.mkdirs("w/" + rel);
        for (const auto& [rel, mode] : s.chmod)
            fs::permissions(c.dir / ("w/" + rel), static_cast<fs::perms>(mode));
        EXPECT_EQ(c.save().files, s.files) << i;
        want.push_back(described(c.dir / "w"));
        const std::string copy = "cp -a " + c.dir / "w" + " " + c.dir / ("was" + std::to_string(i));
        ASSERT_EQ(std::system(copy.c_str()), 0);
    }
    Tresmo a;
    ASSERT_TRUE(check::load(a, c.archive, c.t + 1));
    // A version of changed bits alone adds no bytes of its own to what was stored.
    Node* secret = nullptr;
    ASSERT_TRUE(a.findChild("secret", a.root(), secret) && secret->versions->older);
    EXPECT_EQ(ownStoredSize(secret->versions), 0);
    EXPECT_GT(ownStoredSize(secret->versions->older), 0);
    for (size_t i = 0; i < c.times.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(check::restores(a, c.times[i], c.states[i]));
        a.setRange(c.times[i], c.times[i]);
        a.updateFolderInfo();
        a.selectFolder(a.root());
        const std::string target = c.dir / ("out" + std::to_string(i));
        fs::create_directory(target);
        ASSERT_TRUE(a.exportSelected(target, "w"));
        EXPECT_EQ(described(target + "/w"), want[i]);
        const std::string diff = "diff -r --no-dereference " + c.dir / ("was" + std::to_string(i)) +
                                 " " + target + "/w >&2";
        EXPECT_EQ(std::system(diff.c_str()), 0);
    }
    // A link where the copy goes is replaced, never written through.
    c.dir.mkdirs("victim");
    c.dir.link("out0/w", c.dir / "victim", c.t);
    ASSERT_TRUE(a.exportSelected(c.dir / "out0", "w", nullptr, true));
    EXPECT_TRUE(fs::is_empty(c.dir / "victim") && !fs::is_symlink(c.dir / "out0/w"));
}

}  // namespace
