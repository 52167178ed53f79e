#include "archive/support/Malloc.h"
#include "archive/tree/TresmoData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Adds name under parent the way a scan does: look up, then link behind the neighbour.
Node* child(TresmoData& t, Node* parent, const std::string& name) {
    Node* out;
    if (t.findChild(name, parent, out)) return out;
    return t.addNode(name, parent, out);
}

TEST(TresmoData, ChildrenStayInCaseInsensitiveLatin1NameOrder) {
    TresmoData t;
    Node* root = t.addNode("proj", nullptr, nullptr);
    for (const char* name : {"b", "A", "a", "ab", "_", "B1", "\xE9t\xE9", "\xC9T\xC9", "Z"})
        child(t, root, name);
    std::vector<std::string> names;
    for (const Node* c = root->firstChild; c; c = c->next)
        names.push_back(c->name);
    // "a" found "A"; 0x5F sorts after the upper-cased letters and Latin-1 after ASCII.
    EXPECT_EQ(names, (std::vector<std::string>{"A", "ab", "b", "B1", "Z", "_", "\xE9t\xE9"}));
    EXPECT_TRUE(compareNames("\xF7", "\xD7") && compareNames("\xFF", "\xDF"));  // not letters
    // The node pool zeroes what it hands out again after a clear.
    Malloc pool;
    std::fill_n(static_cast<unsigned char*>(pool.alloc(2048)), 100, 0xAB);
    pool.clear();
    auto* q = static_cast<unsigned char*>(pool.alloc(100));
    EXPECT_EQ(std::count(q, q + 100, 0), 100);
}

TEST(TresmoData, UpdatesPropagateOncePerTransactionAndDeletionSkipsWhatIsGone) {
    TresmoData t;
    Node* root = t.addNode("r", nullptr, nullptr);
    Node* a = child(t, root, "a");
    Node* e = child(t, a, "e.txt");
    Node* f = child(t, a, "f.txt");
    t.beginTxn(100);
    t.updNode(root, NodeKind::Folder, nullptr);
    t.updNode(a, NodeKind::Folder, nullptr);
    ContentInfo c;
    for (Node* n : {e, f})
        t.updNode(n, NodeKind::File, &c);
    Txn* second = t.beginTxn(200);
    t.updNode(f, NodeKind::File, &c);
    t.updNode(e, NodeKind::Absent, nullptr);
    EXPECT_EQ(a->versions->txn, second);
    EXPECT_EQ(a->versions->older->older, nullptr);  // one new version for both children
    Txn* third = t.beginTxn(300);
    t.delSubtree(a);
    EXPECT_EQ(f->versions->txn, third);
    EXPECT_EQ(e->versions->txn, second);  // no second deletion of the gone first child
    EXPECT_EQ(root->versions->txn, third);
    char buf[260];
    ASSERT_TRUE(t.printPath(buf, 10, f));  // 9 bytes and the NUL
    EXPECT_STREQ(buf, "r/a/f.txt");
    EXPECT_FALSE(t.printPath(buf, 9, f));

    // A hundred thousand folders deep: deleted and printed without a deep stack.
    Node* n = root;
    std::vector<Node*> chain;
    for (int i = 0; i < 100000; ++i) {
        n = t.addNode("d", n, nullptr);
        t.updNode(n, NodeKind::Folder, nullptr);
        chain.push_back(n);
    }
    t.beginTxn(400);
    t.delSubtree(chain[0]);
    EXPECT_EQ(chain.back()->storedKind(), NodeKind::Absent);
    EXPECT_FALSE(t.printPath(buf, sizeof buf, chain.back()));
}

// r/a/b.txt, r/c.txt, r/gone.txt added at 100; gone.txt deleted at 200; c.txt stored at 300.
struct Archive : TresmoData {
    Node *root, *a, *b, *c, *gone;

    void file(Node* n, int32_t storedSize) {
        // Each version its own item: one that named the item before it again would add no bytes.
        ContentInfo ci{
            .pos = 12 + static_cast<uint32_t>(storedSize), .storedSize = storedSize, .size = 100};
        updNode(n, NodeKind::File, &ci);
    }
    Archive() {
        setNow(1000);
        root = addNode("r", nullptr, nullptr);
        a = child(*this, root, "a");
        b = child(*this, a, "b.txt");
        c = child(*this, root, "c.txt");
        gone = child(*this, root, "gone.txt");
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
    // What a scan leaves: kinds as seen, b.txt changed, and the pending transaction at now.
    void scanWithModifiedB() {
        for (Node* n : {root, a})
            n->flags = static_cast<uint16_t>(NodeKind::Folder) | Node::SUBTREE_CHANGED;
        b->flags = static_cast<uint16_t>(NodeKind::File) | Node::CHANGED | Node::SUBTREE_CHANGED;
        c->flags = static_cast<uint16_t>(NodeKind::File);
        gone->flags = 0;
        beginTxn(now());
    }
    void range(int64_t from, int64_t to) {
        setRange(from, to);
        updateFolderInfo();
    }
};

TEST(RangeQuery, StatesAndStatisticsOverRangesWithEndsInside) {
    Archive t;
    t.range(100, 300);  // both ends lie on transactions
    EXPECT_EQ(t.changeState(t.c), NodeState::Added);
    EXPECT_EQ(t.changeState(t.gone), NodeState::None);  // created and deleted inside: counted
    EXPECT_EQ(t.root->info->files, 3);
    EXPECT_EQ(t.root->info->changes, 5);  // three added, gone deleted, c changed again
    EXPECT_EQ(t.root->info->storedBytes, 40 + 30 + 20 + 7);

    t.range(101, 250);
    EXPECT_EQ(t.changeState(t.gone), NodeState::Removed);
    EXPECT_EQ(t.changeState(t.c), NodeState::Unchanged);
    EXPECT_EQ(t.root->info->changes, 1);
    EXPECT_EQ(t.root->info->storedBytes, 0);  // a deletion stores nothing

    t.scanWithModifiedB();
    t.range(t.now(), t.now());
    EXPECT_EQ(t.changeState(t.b), NodeState::Modified);
    EXPECT_EQ(t.changeState(t.a), NodeState::Modified);  // its pending folder version
    EXPECT_EQ(t.changeState(t.c), NodeState::Unchanged);
    EXPECT_EQ(t.root->info->pending, 1);
    EXPECT_TRUE(t.hasPendingChanges());
}

// Marks, newest transaction first: 2 where a selected item changed, 1 where one existed.
TEST(VersionMarks, ChangeOutranksExistenceAndPendingStepsComeFirst) {
    Archive t;
    auto marks = [&](std::initializer_list<Node*> files, Node* folder = nullptr) {
        t.clearSelection();
        for (Node* n : files)
            t.selectFile(n, true);
        if (folder) t.selectFolder(folder);
        t.updateVersionMarks();
        std::vector<int> out;
        for (const Txn* x = t.txns(); x; x = x->older)
            out.push_back(x->mark);
        return out;
    };
    using V = std::vector<int>;
    EXPECT_EQ(marks({t.c}), (V{2, 1, 2}));
    EXPECT_EQ(marks({t.gone}), (V{0, 0, 2}));    // nothing where it is deleted
    EXPECT_EQ(marks({}, t.root), (V{2, 2, 2}));  // changed wherever something beneath did
    // Back on disk without a pending transaction: the newest one's stored version is hidden.
    t.gone->flags = static_cast<uint16_t>(NodeKind::File) | Node::CHANGED | Node::SUBTREE_CHANGED;
    EXPECT_EQ(marks({t.gone}), (V{2, 0, 2}));
    t.gone->flags = 0;
    t.scanWithModifiedB();
    EXPECT_EQ(marks({t.b}), (V{2, 1, 1, 2}));
}

}  // namespace
