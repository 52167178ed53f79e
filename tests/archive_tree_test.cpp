#include "archive/support/Malloc.h"
#include "archive/tree/TresmoData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(Malloc, PiecesShareAPageUntilItIsFull) {
    Malloc pool;
    auto* a = static_cast<unsigned char*>(pool.alloc(2048));
    auto* b = static_cast<unsigned char*>(pool.alloc(2048));
    EXPECT_EQ(b, a + 2048);
    EXPECT_EQ(pool.pageCount(), 1u);
    pool.alloc(1);
    EXPECT_EQ(pool.pageCount(), 2u);
    pool.alloc(Malloc::Page::SIZE);  // a whole page by itself
    EXPECT_EQ(pool.pageCount(), 3u);
}

TEST(Malloc, ClearStartsAFreshZeroedPool) {
    Malloc pool;
    auto* p = static_cast<unsigned char*>(pool.alloc(100));
    for (int i = 0; i < 100; ++i)
        p[i] = 0xAB;
    pool.clear();
    EXPECT_EQ(pool.pageCount(), 0u);
    auto* q = static_cast<unsigned char*>(pool.alloc(100));
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(q[i], 0);
}

TEST(MallocDeathTest, PieceLargerThanAPageIsAVerificationFailure) {
    Malloc pool;
    EXPECT_EXIT(pool.alloc(Malloc::Page::SIZE + 1), ::testing::ExitedWithCode(1),
                "size <= Page::SIZE");
}

// Adds name under parent the way a scan does: look up, then link behind the neighbour.
Node* child(TresmoData& t, Node* parent, const std::string& name) {
    Node* out;
    if (t.findChild(name, parent, out)) return out;
    return t.addNode(name, parent, out);
}

std::vector<std::string> names(const Node* folder) {
    std::vector<std::string> v;
    for (const Node* c = folder->firstChild; c; c = c->next)
        v.push_back(c->name);
    return v;
}

TEST(TresmoData, ChildrenStayInCaseInsensitiveNameOrder) {
    TresmoData t;
    Node* root = t.addNode("proj", nullptr, nullptr);
    child(t, root, "b");
    Node* upperA = child(t, root, "A");
    EXPECT_EQ(child(t, root, "a"), upperA);  // the lookup of a finds A
    child(t, root, "ab");
    child(t, root, "_");  // 0x5F sorts after the upper-cased letters
    child(t, root, "B1");
    EXPECT_EQ(names(root), (std::vector<std::string>{"A", "ab", "b", "B1", "_"}));
}

TEST(TresmoData, Latin1LettersCompareWithoutCase) {
    EXPECT_EQ(compareNames("\xC9t\xE9", "\xE9T\xC9"), 0);
    EXPECT_NE(compareNames("\xF7", "\xD7"), 0);  // the division sign is not a letter
    EXPECT_LT(compareNames("\xFE", "\xFF"), 0);  // 0xFF stays as it is
    EXPECT_LT(compareNames("Z", "\xE0"), 0);     // compared as unsigned bytes
    EXPECT_LT(compareNames("abc", "abcd"), 0);
}

TEST(TresmoData, UpdNodePropagatesOncePerTransaction) {
    TresmoData t;
    Node* root = t.addNode("r", nullptr, nullptr);
    Node* a = child(t, root, "a");
    Node* b = child(t, a, "b");
    Node* f = child(t, b, "f.txt");
    Node* g = child(t, b, "g.txt");
    t.beginTxn(100);
    t.updNode(root, NodeKind::Folder, nullptr);
    t.updNode(a, NodeKind::Folder, nullptr);
    t.updNode(b, NodeKind::Folder, nullptr);
    ContentInfo c;
    c.size = 5;
    c.mtime = 77;
    t.updNode(f, NodeKind::File, &c);
    t.updNode(g, NodeKind::File, &c);
    EXPECT_EQ(root->versions->older, nullptr);  // one version in the first transaction
    Txn* second = t.beginTxn(200);
    t.updNode(f, NodeKind::File, &c);
    t.updNode(g, NodeKind::File, &c);
    for (Node* n : {root, a, b}) {
        ASSERT_EQ(n->versions->txn, second);
        EXPECT_EQ(n->versions->kind(), NodeKind::Folder);
        ASSERT_NE(n->versions->older, nullptr);
        EXPECT_EQ(n->versions->older->older, nullptr) << n->name;
        EXPECT_EQ(n->versions->content(), nullptr);
    }
    EXPECT_EQ(f->mtime, 77);
    ASSERT_NE(f->versions->content(), nullptr);
    EXPECT_EQ(f->versions->content()->size, 5);
}

TEST(TresmoData, DelSubtreeDeletesOnlyWhatStillExists) {
    TresmoData t;
    Node* root = t.addNode("r", nullptr, nullptr);
    Node* d = child(t, root, "d");
    Node* x = child(t, d, "x");
    Node* y = child(t, d, "y");
    t.beginTxn(1);
    for (Node* n : {root, d})
        t.updNode(n, NodeKind::Folder, nullptr);
    t.updNode(x, NodeKind::File, nullptr);
    t.updNode(y, NodeKind::File, nullptr);
    t.beginTxn(2);
    t.updNode(x, NodeKind::Absent, nullptr);
    Txn* third = t.beginTxn(3);
    t.delSubtree(d);
    EXPECT_EQ(d->versions->txn, third);
    EXPECT_EQ(d->kind(), NodeKind::Absent);
    EXPECT_EQ(y->versions->txn, third);
    EXPECT_EQ(y->storedKind(), NodeKind::Absent);
    EXPECT_NE(x->versions->txn, third);  // no second deletion
    EXPECT_EQ(root->versions->txn, third);
    EXPECT_EQ(root->versions->kind(), NodeKind::Folder);
}

TEST(TresmoData, DeepTreesNeedNoDeepStack) {
    TresmoData t;
    Node* n = t.addNode("r", nullptr, nullptr);
    t.beginTxn(1);
    t.updNode(n, NodeKind::Folder, nullptr);
    std::vector<Node*> chain{n};
    for (int i = 0; i < 100000; ++i) {
        n = t.addNode("d", n, nullptr);
        t.updNode(n, NodeKind::Folder, nullptr);
        chain.push_back(n);
    }
    t.beginTxn(2);
    t.delSubtree(chain[1]);
    for (size_t i = 1; i < chain.size(); ++i)
        ASSERT_EQ(chain[i]->storedKind(), NodeKind::Absent);
    char buf[260];
    EXPECT_FALSE(t.printPath(buf, sizeof buf, chain.back()));
}

TEST(TresmoData, PrintPathJoinsBaseAndNamesWithinTheBuffer) {
    TresmoData t;
    t.setNow(1000);
    Node* root = t.addNode("proj", nullptr, nullptr);
    Node* a = t.addNode("a", root, nullptr);
    Node* f = t.addNode(std::string(10, 'f'), a, nullptr);
    char buf[260];
    ASSERT_TRUE(t.printPath(buf, sizeof buf, f));
    EXPECT_STREQ(buf, "proj/a/ffffffffff");
    ASSERT_TRUE(t.printPath(buf, sizeof buf, nullptr));
    EXPECT_STREQ(buf, "");
    // "proj/a/ffffffffff" is 17 bytes: it fits 18 with its NUL, not 17.
    EXPECT_TRUE(t.printPath(buf, 18, f));
    EXPECT_FALSE(t.printPath(buf, 17, f));
}

TEST(TresmoData, SetNowMovesOnlyRangeEndsAtTheOldNow) {
    TresmoData t;
    t.setNow(1000);
    t.addNode("x", nullptr, nullptr);
    t.beginTxn(10);
    t.setNow(2000);
    EXPECT_EQ(t.from(), 2000);
    EXPECT_EQ(t.to(), 2000);
    EXPECT_EQ(t.root(), nullptr);
    EXPECT_EQ(t.txns(), nullptr);
    EXPECT_EQ(t.nextId(), 0);
}

}  // namespace
