#include "support/FaultOs.h"
#include "support/TestDir.h"
#include "support/TreeDump.h"

#include "archive/scan/ChangeFinder.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

constexpr int64_t T0 = 1700000000;

struct Scanner {
    TresmoData tree;
    FileSel sel;
    MsgList warnings;
    const int64_t now = T0 + 1000;

    explicit Scanner(const std::string& folder) {
        sel.setFolder(folder);
        tree.setNow(now);
        tree.setBaseAndName(folder.c_str());
    }

    // A rescan of the tree as committed so far; true when it found changes.
    bool scan() {
        warnings.clear();
        ScanFilter filter(sel);
        const Txn* before = tree.txns();
        findChangesIn(tree, filter, warnings, nullptr);
        bool pending = tree.root() && (tree.root()->flags & Node::SUBTREE_CHANGED);
        EXPECT_EQ(pending, tree.txns() != before) << "a pending transaction iff changes";
        return pending;
    }
    // The first scan and its commit: the state later scans are compared with.
    void baseline() {
        scan();
        commit();
    }
    // Commits the marked changes the way a save does, without storing contents.
    void commit() {
        commitR(tree.root());
        markChangedSubtrees(tree);
    }
    void commitR(Node* n) {
        if (!n) return;
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
        }
        if (n->kind() == NodeKind::Folder)
            for (Node* c = n->firstChild; c; c = c->next)
                commitR(c);
    }
    Node* node(const std::string& rel) {
        Node* n = tree.root();
        size_t p = 0;
        while (n && p < rel.size()) {
            size_t e = rel.find('/', p);
            if (e == std::string::npos) e = rel.size();
            Node* c;
            if (!tree.findChild(rel.substr(p, e - p), n, c)) return nullptr;
            n = c;
            p = e + 1;
        }
        return n;
    }
    bool changed(const std::string& rel) {
        Node* n = node(rel);
        return n && (n->flags & Node::CHANGED);
    }
};

TEST(ChangeScan, NewThenUnchangedThenEachKindOfChange) {
    TestDir dir;
    dir.write("w/a.txt", "a", T0);
    dir.write("w/sub/b.txt", "b", T0);
    dir.write("w/sub/deep/c.txt", "c", T0);
    dir.write("w/README", "r", T0);
    Scanner s(dir / "w");
    ASSERT_TRUE(s.scan());
    EXPECT_TRUE(s.changed("") && s.changed("sub/deep/c.txt"));
    s.commit();
    EXPECT_FALSE(s.scan()) << "an unchanged folder opens no pending transaction";

    dir.write("w/a.txt", "a2", T0 + 5);  // modified: a new time
    std::filesystem::remove_all(dir / "w/sub/deep");
    std::filesystem::remove(dir / "w/README");
    dir.write("w/README/now.txt", "folder now", T0);  // a file's name becomes a folder
    ASSERT_TRUE(s.scan());
    EXPECT_TRUE(s.changed("a.txt"));
    EXPECT_FALSE(s.changed("sub/b.txt"));
    EXPECT_TRUE(s.changed("sub/deep"));
    EXPECT_TRUE(s.changed("sub/deep/c.txt"));  // the contents of a vanished folder too
    EXPECT_TRUE(s.changed("README"));
    EXPECT_EQ(s.node("README")->kind(), NodeKind::Folder);
    EXPECT_TRUE(s.node("sub")->flags & Node::SUBTREE_CHANGED);
    EXPECT_FALSE(s.node("sub/b.txt")->flags & Node::SUBTREE_CHANGED);
    s.commit();
    EXPECT_FALSE(s.scan());
    EXPECT_EQ(s.node("sub/deep/c.txt")->storedKind(), NodeKind::Absent);
}

TEST(ChangeScan, LetterCaseChangeIsSeenButNotAChange) {
    TestDir dir;
    dir.write("w/README", "r", T0);
    Scanner s(dir / "w");
    s.baseline();
    std::filesystem::rename(dir / "w/README", dir / "w/readme");
    EXPECT_FALSE(s.scan());
    EXPECT_STREQ(s.node("README")->name, "readme");
}

TEST(ChangeScan, AnUnreadableSubfolderKeepsWhatIsStoredBeneathIt) {
    TestDir dir;
    dir.write("w/a/x.txt", "x", T0);
    dir.write("w/b/y.txt", "y", T0);
    dir.write("w/b/z/q.txt", "q", T0);
    Scanner s(dir / "w");
    s.baseline();
    FaultOs fault;
    fault.failAt(FaultOs::Call::ListDir, 3, EACCES);  // w, a, then b
    EXPECT_FALSE(s.scan()) << dumpTree(s.tree);
    ASSERT_EQ(s.warnings.size(), 1u);
    EXPECT_EQ(s.warnings[0].code, 3704);
    EXPECT_EQ(s.node("b/z/q.txt")->kind(), NodeKind::File);
}

TEST(ChangeScan, AMissingWatchedFolderFailsInsteadOfLookingEmpty) {
    TestDir dir;
    dir.write("w/a.txt", "a", T0);
    Scanner s(dir / "w");
    s.baseline();
    std::filesystem::rename(dir / "w", dir / "elsewhere");
    EXPECT_THROW(s.scan(), Error);
}

TEST(ChangeScan, TimesBeyondThirtyTwoBitsAreComparedAsStored) {
    TestDir dir;
    const int64_t far = (int64_t{1} << 32) + 500;  // the year 2106 and beyond
    dir.write("w/future.txt", "f", far);
    Scanner s(dir / "w");
    s.baseline();
    EXPECT_FALSE(s.scan());
    EXPECT_EQ(s.node("future.txt")->mtime, far);  // the real time, for the save's check
}

}  // namespace
