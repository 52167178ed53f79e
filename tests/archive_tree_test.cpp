// The archive tree: its allocator, node order and updates, and the queries over a range of
// transactions (change states, statistics, selection, version marks).
#include "archive/support/Malloc.h"
#include "archive/tree/TresmoData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

TEST(Malloc, PiecesShareAPageUntilItIsFullAndClearZeroes) {
    Malloc pool;
    auto* a = static_cast<unsigned char*>(pool.alloc(2048));
    EXPECT_EQ(pool.alloc(2048), a + 2048);
    pool.alloc(1);
    EXPECT_EQ(pool.pageCount(), 2u);
    pool.alloc(Malloc::Page::SIZE);  // a whole page by itself
    EXPECT_EQ(pool.pageCount(), 3u);
    std::fill(a, a + 100, 0xAB);
    pool.clear();
    EXPECT_EQ(pool.pageCount(), 0u);
    auto* q = static_cast<unsigned char*>(pool.alloc(100));
    EXPECT_EQ(std::count(q, q + 100, 0), 100);
    EXPECT_EXIT(pool.alloc(Malloc::Page::SIZE + 1), ::testing::ExitedWithCode(1),
                "size <= Page::SIZE");
}

// Adds name under parent the way a scan does: look up, then link behind the neighbour.
Node* child(TresmoData& t, Node* parent, const std::string& name) {
    Node* out;
    if (t.findChild(name, parent, out)) return out;
    return t.addNode(name, parent, out);
}

std::vector<int> marksOf(const TresmoData& a) {
    std::vector<int> out;
    for (const Txn* t = a.txns(); t; t = t->older)
        out.push_back(t->mark);
    return out;
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
    EXPECT_NE(compareNames("\xF7", "\xD7"), 0);  // the division sign is not a letter
    EXPECT_LT(compareNames("\xFE", "\xFF"), 0);  // 0xFF stays as it is
    EXPECT_LT(compareNames("abc", "abcd"), 0);
}

TEST(TresmoData, UpdatesPropagateOncePerTransactionAndDeletionSkipsWhatIsGone) {
    TresmoData t;
    Node* root = t.addNode("r", nullptr, nullptr);
    Node* a = child(t, root, "a");
    Node* e = child(t, a, "e.txt");
    Node* f = child(t, a, "f.txt");
    Node* g = child(t, a, "g.txt");
    t.beginTxn(100);
    t.updNode(root, NodeKind::Folder, nullptr);
    t.updNode(a, NodeKind::Folder, nullptr);
    ContentInfo c;
    c.size = 5;
    c.mtime = 77;
    for (Node* n : {e, f, g})
        t.updNode(n, NodeKind::File, &c);
    EXPECT_EQ(root->versions->older, nullptr);  // one version in the first transaction
    Txn* second = t.beginTxn(200);
    t.updNode(f, NodeKind::File, &c);
    t.updNode(e, NodeKind::Absent, nullptr);
    t.updNode(g, NodeKind::Absent, nullptr);
    for (Node* n : {root, a}) {
        ASSERT_EQ(n->versions->txn, second);
        EXPECT_EQ(n->versions->kind(), NodeKind::Folder);
        EXPECT_EQ(n->versions->older->older, nullptr) << n->name;
    }
    EXPECT_EQ(f->mtime, 77);
    EXPECT_EQ(f->versions->content()->size, 5);
    Txn* third = t.beginTxn(300);
    t.delSubtree(a);
    EXPECT_EQ(a->kind(), NodeKind::Absent);
    EXPECT_EQ(f->versions->txn, third);
    EXPECT_EQ(f->storedKind(), NodeKind::Absent);
    EXPECT_EQ(e->versions->txn, second);  // no second deletion, first child or later one
    EXPECT_EQ(g->versions->txn, second);
    EXPECT_EQ(root->versions->txn, third);

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
    for (Node* d : chain)
        ASSERT_EQ(d->storedKind(), NodeKind::Absent);
    char buf[260];
    EXPECT_FALSE(t.printPath(buf, sizeof buf, chain.back()));
}

TEST(TresmoData, PrintPathFitsItsBufferAndSetNowStartsAfresh) {
    TresmoData t;
    t.setNow(1000);
    Node* root = t.addNode("proj", nullptr, nullptr);
    Node* f = t.addNode(std::string(10, 'f'), t.addNode("a", root, nullptr), nullptr);
    char buf[260];
    ASSERT_TRUE(t.printPath(buf, 18, f));  // 17 bytes and the NUL
    EXPECT_STREQ(buf, "proj/a/ffffffffff");
    EXPECT_FALSE(t.printPath(buf, 17, f));
    ASSERT_TRUE(t.printPath(buf, sizeof buf, nullptr));
    EXPECT_STREQ(buf, "");
    t.beginTxn(10);
    t.setNow(2000);
    EXPECT_EQ(t.from(), 2000);
    EXPECT_EQ(t.to(), 2000);
    EXPECT_EQ(t.root(), nullptr);
    EXPECT_EQ(t.txns(), nullptr);
    EXPECT_EQ(t.nextId(), 0);
}

// r/a/b.txt, r/c.txt, r/gone.txt all added at 100; gone.txt deleted at 200; c.txt stored
// again at 300.
struct Archive : TresmoData {
    Node *root, *a, *b, *c, *gone;

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
    t.range(t.now(), t.now());
    EXPECT_FALSE(t.hasPendingChanges());
    EXPECT_EQ(t.changeState(t.b), NodeState::Unchanged);

    t.range(100, 300);  // both ends lie on transactions
    EXPECT_EQ(t.changeState(t.c), NodeState::Added);
    EXPECT_EQ(t.changeState(t.gone), NodeState::None);  // created and deleted inside: counted
    EXPECT_TRUE(t.gone->flags & Node::WAS_FILE);
    EXPECT_EQ(t.root->info->files, 3);
    EXPECT_EQ(t.root->info->changes, 5);  // three added, gone deleted, c changed again
    EXPECT_EQ(t.root->info->storedBytes, 40 + 30 + 20 + 7);
    EXPECT_EQ(t.a->info->storedBytes, 40);

    t.range(101, 250);
    EXPECT_EQ(t.changeState(t.gone), NodeState::Removed);
    EXPECT_EQ(t.changeState(t.c), NodeState::Unchanged);
    EXPECT_EQ(t.root->info->changes, 1);
    EXPECT_EQ(t.root->info->storedBytes, 0);  // a deletion stores nothing

    t.range(50, 99);  // before the first transaction
    EXPECT_EQ(t.changeState(t.root), NodeState::None);
    EXPECT_EQ(t.root->info->files, 0);

    t.scanWithModifiedB();
    t.range(t.now(), t.now());
    EXPECT_EQ(t.changeState(t.b), NodeState::Modified);
    EXPECT_EQ(t.changeState(t.a), NodeState::Modified);  // its pending folder version
    EXPECT_EQ(t.changeState(t.c), NodeState::Unchanged);
    EXPECT_EQ(t.changeState(t.gone), NodeState::None);
    EXPECT_EQ(t.root->info->pending, 1);
    EXPECT_EQ(t.root->info->changes, 1);
    EXPECT_EQ(t.root->info->files, 2);
    EXPECT_TRUE(t.hasPendingChanges());
}

TEST(RangeQuery, SelectionStaysInOneFolderAndIsPrunedByTheRange) {
    Archive t;
    t.range(0, 1000);
    t.selectFile(t.c, true);
    t.selectFile(t.gone, true);
    EXPECT_EQ(t.selectionCount(), 2);
    EXPECT_EQ(t.selectedItem(), nullptr);
    t.selectFile(t.b, true);  // another folder: the earlier files are dropped
    EXPECT_EQ(t.selectedItem(), t.b);
    EXPECT_FALSE(t.c->flags & Node::SELECTED);

    t.selectFile(t.c, true);
    t.selectFile(t.gone, true);
    t.updateSelectionInfo();
    EXPECT_EQ(t.selectionStats().files, 2);
    t.range(250, 1000);  // gone.txt no longer shows
    t.pruneSelection();
    EXPECT_EQ(t.selectedItem(), t.c);
    t.selectFile(t.c, false);
    EXPECT_EQ(t.selectionMode(), SelMode::None);
    t.selectFolder(t.a);
    t.range(50, 60);  // a did not exist yet
    t.pruneSelection();
    EXPECT_EQ(t.selectionMode(), SelMode::None);
}

// Marks, newest transaction first: 2 where a selected item changed, 1 where one existed.
TEST(VersionMarks, ChangeOutranksExistenceAndPendingStepsComeFirst) {
    Archive t;
    auto marks = [&](std::initializer_list<Node*> files) {
        t.clearSelection();
        for (Node* n : files)
            t.selectFile(n, true);
        t.updateVersionMarks();
        return marksOf(t);
    };
    using V = std::vector<int>;
    EXPECT_EQ(marks({t.c}), (V{2, 1, 2}));
    EXPECT_EQ(marks({t.gone}), (V{0, 0, 2}));  // nothing where it is deleted
    EXPECT_EQ(marks({t.c, t.gone}), (V{2, 1, 2}));
    EXPECT_EQ(marks({}), (V{0, 0, 0}));
    t.selectFolder(t.a);
    t.updateVersionMarks();
    EXPECT_EQ(marksOf(t), (V{1, 1, 2}));
    t.selectFolder(t.root);  // the folder changed wherever something beneath it did
    t.updateVersionMarks();
    EXPECT_EQ(marksOf(t), (V{2, 2, 2}));

    // A scan flag without a pending transaction falls on the newest one and hides the stored
    // version there: gone.txt back on disk.
    t.gone->flags = static_cast<uint16_t>(NodeKind::File) | Node::CHANGED | Node::SUBTREE_CHANGED;
    EXPECT_EQ(marks({t.gone}), (V{2, 0, 2}));
    t.gone->flags = 0;
    t.scanWithModifiedB();
    EXPECT_EQ(marks({t.b}), (V{2, 1, 1, 2}));
}

// The marks found the slow way: for each transaction, newest first, the step of each selected
// item's history in force at that time.
std::vector<int> walkedMarks(const TresmoData& a) {
    std::vector<const Txn*> txns;
    for (const Txn* t = a.txns(); t; t = t->older)
        txns.push_back(t);
    std::vector<int> marks(txns.size(), 0);
    auto markFor = [&](const Node* item) {
        std::vector<std::pair<int64_t, NodeKind>> steps;
        if ((item->flags & Node::SUBTREE_CHANGED) && a.txns())
            steps.emplace_back(a.txns()->time, item->kind());
        for (const Version* v = item->versions; v; v = v->older)
            steps.emplace_back(v->txn->time, v->kind());
        size_t i = 0;
        for (size_t j = 0; j < txns.size(); ++j) {
            while (i < steps.size() && steps[i].first > txns[j]->time)
                ++i;
            if (i == steps.size()) break;
            if (steps[i].second == NodeKind::Absent) continue;
            marks[j] = steps[i].first == txns[j]->time ? 2 : std::max(marks[j], 1);
        }
    };
    if (a.selectionMode() == SelMode::Folder) markFor(a.selectedDir());
    if (a.selectionMode() == SelMode::Files)
        for (const Node* c = a.selectedDir()->firstChild; c; c = c->next)
            if (c->flags & Node::SELECTED) markFor(c);
    return marks;
}

// Random histories in one folder: files, folders and deletions coming and going, an item
// updated twice in one transaction now and then, scan flags with or without a pending
// transaction, and every kind of selection.
TEST(VersionMarks, RandomHistoriesMatchTheWalkOverEveryTransaction) {
    std::mt19937 rng(20260612);
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    const NodeKind kinds[] = {NodeKind::File, NodeKind::File, NodeKind::Absent, NodeKind::Folder};
    ContentInfo c;
    c.pos = 12;
    c.size = 10;
    int marked = 0;
    for (int round = 0; round < 4000; ++round) {
        TresmoData a;
        a.setNow(1000000);
        Node* root = a.addNode("r", nullptr, nullptr);
        Node* dir = a.addNode("d", root, nullptr);
        std::vector<Node*> items;
        for (int i = 0, count = 1 + static_cast<int>(rng() % 7); i < count; ++i)
            items.push_back(a.addNode("f" + std::to_string(i), dir, i ? items.back() : nullptr));
        int64_t time = 100;
        for (int t = 0, count = 1 + static_cast<int>(rng() % 14); t < count; ++t) {
            a.beginTxn(time);
            time += 1 + static_cast<int64_t>(rng() % 50);
            for (Node* n : items)
                for (int r = 0, repeat = chance(40) ? (chance(5) ? 2 : 1) : 0; r < repeat; ++r) {
                    NodeKind k = kinds[rng() % 4];
                    a.updNode(n, k, k == NodeKind::File ? &c : nullptr);
                }
        }
        if (chance(40)) {
            for (Node* n : items)
                if (chance(50))
                    n->flags = static_cast<uint16_t>((n->flags & ~Node::KIND_MASK) |
                                                     static_cast<uint16_t>(kinds[rng() % 4]) |
                                                     Node::CHANGED | Node::SUBTREE_CHANGED);
            if (chance(60)) a.beginTxn(time);
        }
        int how = static_cast<int>(rng() % 10);
        if (how == 0) {
            a.clearSelection();
        } else if (how <= 3) {
            Node* choices[] = {root, dir, items[rng() % items.size()]};
            a.selectFolder(choices[rng() % 3]);
        } else {
            for (Node* n : items)
                if (chance(50)) a.selectFile(n, true);
        }
        a.updateVersionMarks();
        std::vector<int> marks = marksOf(a);
        ASSERT_EQ(marks, walkedMarks(a)) << "round " << round;
        for (int m : marks)
            marked += m != 0;
    }
    EXPECT_GT(marked, 10000);  // the comparison covered marked transactions, not only empty ones
}

}  // namespace
