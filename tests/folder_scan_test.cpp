// Walking the watched folder: what is taken, skipped and reported, and how a rescan marks changes.
#include "support/FaultOs.h"
#include "support/TestDir.h"

#include "archive/ops/FolderRescan.h"
#include "archive/ops/LiveWatch.h"
#include "archive/scan/ChangeFinder.h"
#include "archive/scan/FileFinder.h"
#include "archive/scan/ListingPool.h"
#include "archive/support/cfg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
constexpr int64_t T0 = 1700000000;

// Records what a scan of dir/w reports, with each file's path relative to w.
class Recorder : public FileFinder {
  public:
    Recorder(ScanFilter& f, std::string base) : FileFinder(f), _base(std::move(base)) {}
    Names files, entered;
    MsgList warnings;

  protected:
    std::string rel(const char* name) const {
        std::string d = dir();
        return (d.size() > _base.size() ? d.substr(_base.size() + 1) + "/" : "") + name;
    }
    void onEnterDir(const char* name) override { entered.push_back(name); }
    void found(const char* name, int64_t, uint16_t, int64_t) override {
        files.push_back(rel(name));
    }
    void skipped(Msg m, const std::string&, const os::DirEntry&) override {
        warnings.push_back(std::move(m));
    }

  private:
    std::string _base;
};

struct Scan {
    ScanFilter filter;
    Recorder rec;
    explicit Scan(const FileSel& sel) : filter(sel), rec(filter, sel.folder()) {
        rec.setDir(fs::path(sel.folder()).parent_path().c_str());
        rec.find();
    }
};

struct FolderScan : ::testing::Test {
    TestDir dir;
    FileSel sel;
    FolderScan() { sel.setFolder(dir / "w"); }
};

TEST_F(FolderScan, ExceptionsAtEveryDepthAndTypesCountedInUpperCase) {
    for (const char* f : {"w/top.txt", "w/bin/x.o", "w/src/BIN/y.TxT", "w/src/obj/z.o",
                          "w/src/ok/a.c", "w/obj /kept.gz", "w/d.tar.gz", "w/only/c.gz"})
        dir.write(f, "12345");
    sel.setExceptions(" bin, obj");
    EXPECT_EQ(Scan(sel).rec.files,
              (Names{"d.tar.gz", "obj /kept.gz", "only/c.gz", "src/ok/a.c", "top.txt"}));

    sel.setExceptions("");
    sel.setExcludeTypes(false);
    sel.setListed("TXT", true);
    Scan s(sel);
    EXPECT_EQ(s.rec.files, (Names{"src/BIN/y.TxT", "top.txt"}));
    // A folder holding only rejected files is never entered.
    EXPECT_EQ(s.rec.entered, (Names{"w", "src", "BIN"}));
    EXPECT_EQ(ScanFilter::typeOf(("x." + std::string(19, 'e')).c_str()), std::string(19, 'E'));
    EXPECT_EQ(ScanFilter::typeOf(("x." + std::string(20, 'e')).c_str()), "");
}

TEST_F(FolderScan, LimitsCaseTwinsAndLinksAreSkippedAtExactBoundaries) {
    Setting* limit = findSetting("FileFinder.maxSize", Setting::INT, false);
    const int32_t old = limit->_int;
    limit->_int = 100;
    // A name is skipped when folder length + name length + 10 reaches 260.
    const size_t fits = 260 - 10 - (dir / "w").size() - 1;
    dir.write("w/" + std::string(fits, 'f'), "x");
    dir.write("w/" + std::string(fits + 1, 'g'), "x");
    dir.mkdirs("w/" + std::string(fits + 1, 'd'));
    dir.write("w/exact", std::string(100, 'x'));
    dir.write("w/over", std::string(101, 'x'));
    dir.write("w/readme", "a");
    dir.write("w/README", "b");  // 'R' sorts before 'r': this one is kept
    fs::create_symlink(dir / "w/exact", dir / "w/link.txt");
    fs::create_directory_symlink(dir / "w", dir / "w/loop");
    ASSERT_EQ(mkfifo((dir / "w/fifo").c_str(), 0600), 0);
    Scan s(sel);
    limit->_int = old;
    EXPECT_EQ(s.rec.files, (Names{"exact", std::string(fits, 'f'), "README"}));
    EXPECT_EQ(s.rec.warnings.size(), 4u);  // two names too long, one file too big, one twin
}

// A rescan, committed the way a save does without storing contents.
struct Rescan {
    TresmoData tree;
    FileSel sel;
    MsgList warnings;
    bool crawl = false;  // listings made ahead from the start, as a refresh makes them

    explicit Rescan(const std::string& folder) {
        sel.setFolder(folder);
        tree.setNow(T0 + 1000);
        tree.setBaseAndName(folder.c_str());
    }
    bool scan() {
        warnings.clear();
        ScanFilter filter(sel);
        filter.setMetaFormat(tree.metaFormat());  // the archive's choice, as a refresh takes it
        const Txn* before = tree.txns();
        ListingPool pool;
        if (crawl) FileFinder::crawl(pool, filter);
        findChangesIn(tree, filter, warnings, nullptr, nullptr, &pool);
        bool pending = tree.root() && (tree.root()->flags & Node::SUBTREE_CHANGED);
        EXPECT_EQ(pending, tree.txns() != before);
        return pending;
    }
    void commit(Node* n) {
        if (n->flags & Node::CHANGED) {
            if (n->kind() == NodeKind::Absent) {
                tree.delSubtree(n);
            } else if (n->kind() == NodeKind::Folder) {
                tree.updNode(n, NodeKind::Folder, nullptr);
            } else {
                ContentInfo c;
                c.mtime = storedTime(n->mtime);
                tree.updNode(n, NodeKind::File, &c);
            }
            // The bits the scan saw are the new version's, as a save keeps them.
            if (tree.metaFormat() && n->kind() != NodeKind::Absent) n->versions->setPerm(n->mode);
        }
        if (n->kind() == NodeKind::Folder)
            for (Node* c = n->firstChild; c; c = c->next)
                commit(c);
    }
    void commit() {
        commit(tree.root());
        markChangedSubtrees(tree);
    }
    Node* node(const std::string& rel) {
        Node* n = tree.root();
        for (size_t p = 0; n && p < rel.size();) {
            size_t e = std::min(rel.find('/', p), rel.size());
            if (!tree.findChild(rel.substr(p, e - p), n, n)) return nullptr;
            p = e + 1;
        }
        return n;
    }
    bool changed(const std::string& rel) {
        Node* n = node(rel);
        return n && (n->flags & Node::CHANGED);
    }
    // Looks at the named folders alone, and at the parents they send back, as the window does.
    void rescan(std::vector<FolderChange> changes) {
        for (int round = 0; !changes.empty(); ++round) {
            ASSERT_LT(round, 5);
            FolderRescan r(tree, sel, changes);
            r.list();
            changes.clear();
            ASSERT_TRUE(r.apply(tree, warnings, changes));
        }
        const bool pending = tree.root() && (tree.root()->flags & Node::SUBTREE_CHANGED);
        EXPECT_EQ(pending, tree.txns() && tree.txns()->time == tree.now());
    }
    // Every node seen or stored: path, kind now and stored, marks, time.
    std::string marks() {
        std::string out;
        for (Node* n = tree.root(); n; n = nextInTree(n, tree.root())) {
            if (n->kind() == NodeKind::Absent && n->storedKind() == NodeKind::Absent) continue;
            char path[MAX_PATH];
            tree.printPath(path, sizeof path, n);
            out += std::string(path + std::strlen(tree.base())) + " " +
                   std::to_string(n->flags & 0x2b) + "/" +
                   std::to_string(static_cast<int>(n->storedKind())) + " " +
                   std::to_string(n->mtime) + "\n";
        }
        return out;
    }
};

TEST(ChangeScan, NewThenUnchangedThenEachKindOfChangeAndUnreadableFolders) {
    TestDir dir;
    const int64_t far = (int64_t{1} << 32) + 500;  // the year 2106 and beyond
    for (const char* f : {"w/a.txt", "w/sub/b.txt", "w/sub/deep/c.txt", "w/README", "w/Case.txt"})
        dir.write(f, "x", T0);
    dir.write("w/future.txt", "f", far);
    Rescan s(dir / "w");
    ASSERT_TRUE(s.scan());
    s.commit();
    EXPECT_FALSE(s.scan()) << "an unchanged folder opens no pending transaction";
    EXPECT_EQ(s.node("future.txt")->mtime, far);  // the real time, for the save's check

    dir.write("w/a.txt", "a2", T0 + 5);
    fs::remove_all(dir / "w/sub/deep");
    fs::remove(dir / "w/README");
    dir.write("w/README/now.txt", "folder now", T0);  // a file's name becomes a folder
    fs::rename(dir / "w/Case.txt", dir / "w/case.TXT");
    ASSERT_TRUE(s.scan());
    for (const char* rel : {"a.txt", "sub/deep", "sub/deep/c.txt", "README", "README/now.txt"})
        EXPECT_TRUE(s.changed(rel)) << rel;
    for (const char* rel : {"sub/b.txt", "case.txt", "future.txt"})
        EXPECT_FALSE(s.changed(rel)) << rel;
    EXPECT_STREQ(s.node("case.txt")->name, "case.TXT");  // seen, but not a change
    EXPECT_TRUE(s.node("sub")->flags & Node::SUBTREE_CHANGED);
    EXPECT_FALSE(s.node("sub/b.txt")->flags & Node::SUBTREE_CHANGED);
    s.commit();
    EXPECT_FALSE(s.scan());
    EXPECT_EQ(s.node("sub/deep/c.txt")->storedKind(), NodeKind::Absent);
    {
        // An unreadable subfolder keeps its stored tree; a missing watched folder fails.
        FaultOs fault;
        fault.failAt(FaultOs::Call::ListDir, 3, EACCES);  // w, README, then sub
        EXPECT_FALSE(s.scan());
        EXPECT_EQ(s.warnings.size(), 1u);
        EXPECT_EQ(s.node("sub/b.txt")->kind(), NodeKind::File);
    }
    {
        // So do entries whose kind cannot be read; a new folder holding only such is not added.
        dir.write("w/new/locked/x.txt", "x", T0);
        FaultOs fault;
        fault.entriesUnreadable(dir / "w/sub");
        fault.entriesUnreadable(dir / "w/new");
        EXPECT_FALSE(s.scan());
        ASSERT_EQ(s.warnings.size(), 2u);
        EXPECT_EQ(s.warnings[0].code * 10000 + s.warnings[1].code, 37063706);
        EXPECT_EQ(s.node("sub/b.txt")->kind(), NodeKind::File);
    }
    if (geteuid() != 0) {
        // The same through real permissions: a folder that lists but cannot be entered, then one
        // that cannot be listed at all.
        fs::remove_all(dir / "w/new");
        for (fs::perms mode : {fs::perms::owner_read, fs::perms::none}) {
            fs::permissions(dir / "w/sub", mode);
            EXPECT_FALSE(s.scan());
            fs::permissions(dir / "w/sub", fs::perms::owner_all);
            EXPECT_TRUE(s.warnings.size() == 1 && s.node("sub/b.txt")->kind() == NodeKind::File)
                << static_cast<int>(mode);
        }
    }
    fs::rename(dir / "w", dir / "elsewhere");
    EXPECT_THROW(s.scan(), Error);
}

// Lists through the real system from any thread; the listings of failing fail, those of
// unreadable come without their entries' kinds.
struct SharedFaults : os::Os {
    std::set<std::string> failing, unreadable;
    Os* previous = os::install(this);
    ~SharedFaults() override { os::install(previous); }
    bool sharedByThreads() const override { return true; }
    int listDir(const char* p, std::vector<os::DirEntry>& out) override {
        if (failing.count(p)) return errno = EACCES, -1;
        int r = Os::listDir(p, out);
        for (os::DirEntry& e : out)
            if (unreadable.count(p)) e.type = os::DirEntry::Type::Unreadable;
        return r;
    }
};

TEST(ChangeScan, ChangedFoldersAloneMarkWhatAWholeScanMarks) {
    TestDir dir;
    for (const char* f : {"w/a.txt", "w/sub/b.txt", "w/sub/deep/c.txt", "w/x/y/z.txt", "w/f"})
        dir.write(f, "x", T0);
    // Besides, a scan listing folders ahead on threads, under listings that fail, must give
    // node for node and warning for warning what one listing each folder as it enters does.
    Rescan live(dir / "w"), whole(dir / "w"), alone(dir / "w"), ahead(dir / "w");
    for (Rescan* r : {&live, &whole, &alone, &ahead})
        r->sel.setExceptions("skip");
    ahead.crawl = true;
    int32_t& threads = findSetting("FileFinder.listThreads", Setting::INT, false)->_int;
    const int32_t defaultThreads = threads;
    auto scanBoth = [&] {
        SharedFaults faults;
        faults.failing = {dir / "w/m/d5", dir / "w/m/d2/gone"};
        faults.unreadable = {dir / "w/m/d3"};
        threads = 0;
        alone.scan();
        threads = 3;
        ahead.scan();
        threads = defaultThreads;
        EXPECT_EQ(ahead.marks(), alone.marks());
        ASSERT_EQ(ahead.warnings.size(), alone.warnings.size());
        for (size_t i = 0; i < alone.warnings.size(); ++i)
            EXPECT_EQ(ahead.warnings[i].text, alone.warnings[i].text);
    };
    live.tree.setMetaFormat(true);
    whole.tree.setMetaFormat(true);
    live.rescan({{dir / "w", false}});
    // Each change, the folders whose entries it changed as their watches tell ('*': one
    // replaced, looked at deep), whether a save follows.
    struct Step {
        std::function<void()> change;
        std::vector<std::string> dirs;
        bool commit;
    };
    const Step steps[] = {
        {[] {}, {""}, true},
        {[&] { dir.write("w/new.txt", "n", T0 + 1); }, {""}, false},
        {[&] { dir.write("w/sub/deep/c.txt", "c2", T0 + 2); }, {"sub/deep"}, false},
        {[&] { fs::remove(dir / "w/sub/deep/c.txt"); }, {"sub/deep"}, true},
        {[&] { dir.write("w/sub/deep/c.txt", "back", T0 + 3); }, {"sub/deep"}, false},
        {[&] { dir.write("w/n1/n2/n3.txt", "tree", T0); }, {"", "n1"}, true},
        {[&] { fs::remove_all(dir / "w/x"); }, {"", "x/y", "x"}, false},
        {[&] { fs::remove(dir / "w/f"), dir.write("w/f/now.txt", "dir", T0); }, {""}, true},
        {[&] { fs::remove_all(dir / "w/f"), dir.write("w/f", "file", T0); }, {""}, false},
        {[&] { fs::rename(dir / "w/sub", dir / "w/Sub2"); }, {""}, false},
        {[&] { fs::remove_all(dir / "w/Sub2"), fs::rename(dir / "w/n1", dir / "w/Sub2"); },
         {"", "*Sub2"},
         true},
        {[&] { fs::rename(dir / "w/a.txt", dir / "w/A.TXT"); }, {""}, false},
        {[&] { dir.write("w/skip/s.txt", "s", T0), dir.write("w/e/skip/t", "t", T0); },
         {"", "e"},
         false},
        {[&] { fs::remove(dir / "w/Sub2/n2/n3.txt"); }, {"Sub2/n2"}, false},
        // Permission bits alone, of a file and of a folder, as their watches name them.
        {[&] { fs::permissions(dir / "w/A.TXT", fs::perms(0700)); }, {""}, false},
        {[&] { fs::permissions(dir / "w/Sub2/n2", fs::perms(0700)); }, {"Sub2", "Sub2/n2"}, true},
        {[&] {
             // Case twins and kindless entries in many folders, named out of order.
             for (const char* f : {"q", "b", "k", "a", "Q", "z", "B", "m"})
                 for (int d = 9; d >= 0; --d)
                     dir.write("w/m/d" + std::to_string(d) + "/" + f + "/" + f, f, T0 + d);
             dir.write("w/m/d2/gone/x", "x", T0);
         },
         {""},
         true},
        {[&] { fs::remove_all(dir / "w/m/d4"), fs::rename(dir / "w/m/d6", dir / "w/m/D4"); },
         {"m", "*m/D4"},
         false},
    };
    for (const Step& s : steps) {
        s.change();
        std::vector<FolderChange> changes;
        for (std::string d : s.dirs) {
            const bool deep = !d.empty() && d[0] == '*';
            if (deep) d.erase(0, 1);
            changes.push_back({d.empty() ? dir / "w" : dir / ("w/" + d), deep});
        }
        live.rescan(changes);
        whole.scan();
        EXPECT_EQ(live.marks(), whole.marks()) << "step " << &s - steps;
        scanBoth();
        if (s.commit) live.commit(), whole.commit(), alone.commit(), ahead.commit();
    }
}

TEST(ChangeScan, WatchesNameTheChangedFolderUpToTheBudget) {
    TestDir dir;
    for (const char* f : {"w/a/x", "w/b/x", "w/c/x", "w/skip/x"})
        dir.write(f, "x", T0);
    FileSel sel;
    sel.setFolder(dir / "w");
    sel.setExceptions("skip");
    // Three watches: the folder, a and b; c is past the budget, skip is not taken.
    LiveWatch live(sel, 3);
    ASSERT_GE(live.fd(), 0);
    EXPECT_EQ(live.unwatched(), (Names{dir / "w/c"}));
    // Each change, and the folders its notices name ('*': looked at whole).
    const std::pair<std::function<void()>, std::set<std::string>> steps[] = {
        {[&] { dir.write("w/a/y", "y"); }, {"a"}},
        {[&] { fs::remove(dir / "w/b/x"); }, {"b"}},
        {[&] { dir.write("w/c/y", "y"), dir.write("w/skip/y", "y"); }, {}},
        {[&] { fs::rename(dir / "w/a", dir / "w/n"); }, {"", "*a", "*n"}},
        {[&] { dir.write("w/n/z", "z"); }, {"n"}},
        // Bits alone: a file's name its folder, a folder's its parent and itself, not deep.
        {[&] { fs::permissions(dir / "w/n/z", fs::perms(0700)); }, {"n"}},
        {[&] { fs::permissions(dir / "w/n", fs::perms(0700)); }, {"", "n"}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        std::vector<FolderChange> got;
        live.read(got);
        std::set<std::string> names;
        for (const FolderChange& c : got)
            names.insert((c.deep ? "*" : "") +
                         c.dir.substr(std::min(c.dir.size(), dir.path().size() + 3)));
        EXPECT_EQ(names, steps[i].second) << "step " << i;
    }
}

}  // namespace
