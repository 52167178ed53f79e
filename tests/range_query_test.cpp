#include "archive/tree/TresmoData.h"

#include <gtest/gtest.h>

namespace {

// A small archive built with the tree operations: root/a/b.txt, root/c.txt, root/gone.txt.
struct Archive : TresmoData {
    Node* root;
    Node* a;
    Node* b;
    Node* c;
    Node* gone;

    Node* add(Node* parent, const char* name) {
        Node* after;
        findChild(name, parent, after);
        return addNode(name, parent, after);
    }
    void file(Node* n, int32_t storedSize) {
        ContentInfo ci;
        ci.pos = 12;
        ci.storedSize = storedSize;
        ci.size = 100;
        updNode(n, NodeKind::File, &ci);
    }

    Archive() {
        setNow(1000);
        root = addNode("r", nullptr, nullptr);
        a = add(root, "a");
        b = add(a, "b.txt");
        c = add(root, "c.txt");
        gone = add(root, "gone.txt");
        beginTxn(100);
        updNode(root, NodeKind::Folder, nullptr);
        updNode(a, NodeKind::Folder, nullptr);
        file(b, 40);
        file(c, 30);
        file(gone, 20);
        beginTxn(200);
        updNode(gone, NodeKind::Absent, nullptr);
        beginTxn(300);
        file(c, 7);
    }
    // What a scan leaves: kind bits as seen, CHANGED on b, SUBTREE_CHANGED up to the root,
    // and the pending transaction at now.
    void scanWithModifiedB() {
        for (Node* n : {root, a})
            n->flags = static_cast<uint16_t>(NodeKind::Folder);
        for (Node* n : {b, c})
            n->flags = static_cast<uint16_t>(NodeKind::File);
        gone->flags = 0;
        b->flags |= Node::CHANGED | Node::SUBTREE_CHANGED;
        a->flags |= Node::SUBTREE_CHANGED;
        root->flags |= Node::SUBTREE_CHANGED;
        beginTxn(now());
    }
    void range(int64_t from, int64_t to) {
        setRange(from, to);
        updateFolderInfo();
    }
};

TEST(RangeQuery, CurrentRangeShowsPendingChangesUpTheTree) {
    Archive t;
    t.range(t.now(), t.now());
    EXPECT_FALSE(t.hasPendingChanges());  // nothing scanned as changed
    EXPECT_EQ(t.changeState(t.b), NodeState::Unchanged);

    t.scanWithModifiedB();
    t.range(t.now(), t.now());
    EXPECT_EQ(t.changeState(t.b), NodeState::Modified);
    EXPECT_EQ(t.changeState(t.a), NodeState::Modified);  // its pending folder version
    EXPECT_EQ(t.changeState(t.c), NodeState::Unchanged);
    EXPECT_EQ(t.changeState(t.gone), NodeState::None);  // deleted before the range
    ASSERT_NE(t.root->info, nullptr);
    EXPECT_EQ(t.root->info->pending, 1);
    EXPECT_EQ(t.root->info->changes, 1);
    EXPECT_EQ(t.root->info->files, 2);  // gone.txt is not counted
    EXPECT_TRUE(t.hasPendingChanges());
}

TEST(RangeQuery, RangeEndsAreInsideAndStatisticsAddUp) {
    Archive t;
    t.range(100, 300);  // both ends lie on transactions
    EXPECT_EQ(t.changeState(t.c), NodeState::Added);
    // Created and deleted inside the range: not shown, but counted.
    EXPECT_EQ(t.changeState(t.gone), NodeState::None);
    EXPECT_TRUE(t.gone->flags & Node::WAS_FILE);
    EXPECT_EQ(t.root->info->files, 3);
    // b, c and gone added; gone deleted; c changed again.
    EXPECT_EQ(t.root->info->changes, 5);
    EXPECT_EQ(t.root->info->storedBytes, 40 + 30 + 20 + 7);
    EXPECT_EQ(t.a->info->files, 1);
    EXPECT_EQ(t.a->info->storedBytes, 40);

    t.range(101, 250);
    EXPECT_EQ(t.changeState(t.gone), NodeState::Removed);
    EXPECT_EQ(t.changeState(t.c), NodeState::Unchanged);
    EXPECT_EQ(t.root->info->changes, 1);
    EXPECT_EQ(t.root->info->storedBytes, 0);  // a deletion stores nothing

    t.range(50, 99);  // before the first transaction
    EXPECT_EQ(t.changeState(t.root), NodeState::None);
    EXPECT_EQ(t.root->info->files, 0);
}

TEST(RangeQuery, VersionMarksFollowTheSelection) {
    Archive t;
    t.beginTxn(400);
    t.updNode(t.c, NodeKind::Absent, nullptr);
    t.range(0, 1000);
    t.selectFile(t.c, true);
    t.updateVersionMarks();
    // c stored at 100 and 300, unchanged at 200, deleted at 400.
    std::vector<int> marks;
    for (Txn* x = t.txns(); x; x = x->older)
        marks.push_back(x->mark);
    EXPECT_EQ(marks, (std::vector<int>{0, 2, 1, 2}));

    t.selectFolder(t.a);
    t.updateVersionMarks();
    marks.clear();
    for (Txn* x = t.txns(); x; x = x->older)
        marks.push_back(x->mark);
    EXPECT_EQ(marks, (std::vector<int>{1, 1, 1, 2}));
}

TEST(RangeQuery, SelectionStaysInOneFolderAndIsPrunedByTheRange) {
    Archive t;
    t.range(0, 1000);
    t.selectFile(t.c, true);
    t.selectFile(t.gone, true);
    EXPECT_EQ(t.selectionCount(), 2);
    EXPECT_EQ(t.selectedItem(), nullptr);
    t.selectFile(t.b, true);  // another folder: the earlier files are dropped
    EXPECT_EQ(t.selectionCount(), 1);
    EXPECT_EQ(t.selectedItem(), t.b);
    EXPECT_FALSE(t.c->flags & Node::SELECTED);

    t.selectFile(t.c, true);
    t.selectFile(t.gone, true);
    t.updateSelectionInfo();
    EXPECT_EQ(t.selectionStats().files, 2);
    t.range(250, 1000);  // gone.txt no longer shows
    t.pruneSelection();
    EXPECT_EQ(t.selectionCount(), 1);
    EXPECT_EQ(t.selectedItem(), t.c);
    t.selectFile(t.c, false);
    EXPECT_EQ(t.selectionMode(), 0);

    t.selectFolder(t.a);
    t.range(50, 60);  // a did not exist yet
    t.pruneSelection();
    EXPECT_EQ(t.selectionMode(), 0);
}

}  // namespace
