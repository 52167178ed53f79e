// The version list's marks for the selection: where the selected items existed (1) and where
// one of them changed (2). Checked by hand on small histories, then against a plain walk of
// every transaction for every selected item on thousands of random ones.
#include "archive/tree/TresmoData.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int> marksOf(const TresmoData& a) {
    std::vector<int> out;
    for (const Txn* t = a.txns(); t; t = t->older)
        out.push_back(t->mark);
    return out;
}

// The marks found the slow way: for each transaction, newest first, the step of each selected
// item's history in force at that time.
std::vector<int> walkedMarks(const TresmoData& a) {
    std::vector<const Txn*> txns;
    for (const Txn* t = a.txns(); t; t = t->older)
        txns.push_back(t);
    std::vector<int> marks(txns.size(), 0);
    auto markFor = [&](const Node* item) {
        struct Step {
            int64_t time;
            NodeKind kind;
        };
        std::vector<Step> steps;
        if ((item->flags & Node::SUBTREE_CHANGED) && a.txns())
            steps.push_back({a.txns()->time, item->kind()});
        for (const Version* v = item->versions; v; v = v->older)
            steps.push_back({v->txn->time, v->kind()});
        size_t i = 0;
        for (size_t j = 0; j < txns.size(); ++j) {
            while (i < steps.size() && steps[i].time > txns[j]->time)
                ++i;
            if (i == steps.size()) break;
            if (steps[i].kind == NodeKind::Absent) continue;
            if (steps[i].time == txns[j]->time)
                marks[j] = 2;
            else if (marks[j] == 0)
                marks[j] = 1;
        }
    };
    if (a.selectionMode() == 1) {
        markFor(a.selectedDir());
    } else if (a.selectionMode() == 2) {
        for (const Node* c = a.selectedDir()->firstChild; c; c = c->next)
            if (c->flags & Node::SELECTED) markFor(c);
    }
    return marks;
}

ContentInfo content() {
    ContentInfo c;
    c.pos = 12;
    c.size = 10;
    return c;
}

// r/x.txt and r/y.txt: x stored at 100 and 300; y stored at 200 and deleted at 400.
struct TwoFiles : TresmoData {
    Node* root;
    Node* x;
    Node* y;

    TwoFiles() {
        setNow(1000);
        root = addNode("r", nullptr, nullptr);
        x = addNode("x.txt", root, nullptr);
        y = addNode("y.txt", root, x);
        ContentInfo c = content();
        beginTxn(100);
        updNode(root, NodeKind::Folder, nullptr);
        updNode(x, NodeKind::File, &c);
        beginTxn(200);
        updNode(y, NodeKind::File, &c);
        beginTxn(300);
        updNode(x, NodeKind::File, &c);
        beginTxn(400);
        updNode(y, NodeKind::Absent, nullptr);
    }
};

TEST(VersionMarks, ChangeInOneSelectedFileOutranksExistenceInAnother) {
    TwoFiles a;
    // Newest first: 400, 300, 200, 100.
    a.selectFile(a.x, true);
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{1, 2, 1, 2}));

    a.selectFile(a.x, false);
    a.selectFile(a.y, true);
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{0, 1, 2, 0}));

    a.selectFile(a.x, true);
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{1, 2, 2, 2}));

    // The folder changed wherever something beneath it did.
    a.selectFolder(a.root);
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{2, 2, 2, 2}));

    // No selection leaves no mark behind.
    a.clearSelection();
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{0, 0, 0, 0}));
}

TEST(VersionMarks, PendingStepComesBeforeTheStoredOnes) {
    // The scan found x.txt changed: the pending transaction at 500 is a change of it.
    TwoFiles a;
    a.x->flags = static_cast<uint16_t>(NodeKind::File) | Node::CHANGED | Node::SUBTREE_CHANGED;
    a.beginTxn(500);
    a.selectFile(a.x, true);
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{2, 1, 2, 1, 2}));

    // Gone on disk instead: nothing at 500, the stored history unchanged below it.
    a.x->flags &= ~Node::KIND_MASK;
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{0, 1, 2, 1, 2}));
    EXPECT_EQ(walkedMarks(a), marksOf(a));
}

TEST(VersionMarks, PendingStepOnTheNewestTransactionHidesItsStoredVersion) {
    // The scan flags without a pending transaction of their own: y.txt's pending step falls on
    // the newest transaction (400), where it hides the stored deletion.
    TwoFiles a;
    a.y->flags = static_cast<uint16_t>(NodeKind::File) | Node::CHANGED | Node::SUBTREE_CHANGED;
    a.selectFile(a.y, true);
    a.updateVersionMarks();
    EXPECT_EQ(marksOf(a), (std::vector<int>{2, 1, 2, 0}));
    EXPECT_EQ(walkedMarks(a), marksOf(a));
}

// Random histories in one folder: files, folders and deletions coming and going, an item
// updated twice in one transaction now and then, scan flags with or without a pending
// transaction, and every kind of selection.
TEST(VersionMarks, RandomHistoriesMatchTheWalkOverEveryTransaction) {
    std::mt19937 rng(20260612);
    auto chance = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    const NodeKind kinds[] = {NodeKind::File, NodeKind::File, NodeKind::Absent, NodeKind::Folder};
    int marked = 0;
    for (int round = 0; round < 4000; ++round) {
        TresmoData a;
        a.setNow(1000000);
        Node* root = a.addNode("r", nullptr, nullptr);
        Node* dir = a.addNode("d", root, nullptr);
        std::vector<Node*> items;
        Node* after = nullptr;
        int itemCount = 1 + static_cast<int>(rng() % 7);
        for (int i = 0; i < itemCount; ++i) {
            after = a.addNode("f" + std::to_string(i), dir, after);
            items.push_back(after);
        }
        ContentInfo c = content();
        int64_t time = 100;
        int txnCount = 1 + static_cast<int>(rng() % 14);
        for (int t = 0; t < txnCount; ++t) {
            a.beginTxn(time);
            time += 1 + static_cast<int64_t>(rng() % 50);
            for (Node* n : items) {
                int repeat = chance(40) ? (chance(5) ? 2 : 1) : 0;
                for (int r = 0; r < repeat; ++r) {
                    NodeKind k = kinds[rng() % 4];
                    a.updNode(n, k, k == NodeKind::File ? &c : nullptr);
                }
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
    // The histories are not all empty of marks: the comparison covered both kinds.
    EXPECT_GT(marked, 10000);
}

}  // namespace
