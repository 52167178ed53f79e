#include "support/MemValues.h"
#include "support/TreeDump.h"

#include "archive/ops/RecordStream.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

// Turns the golden listing of a record stream ("rec TXN TYPE field=value ...") back into the
// record bytes, so replay can be checked against the golden dump without the storage layer.
std::vector<uint8_t> recordsFromListing(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    MemValueWriter w;
    while (std::getline(in, line)) {
        if (line.rfind("rec ", 0) != 0) continue;
        std::istringstream ls(line);
        std::string rec, txn, type;
        ls >> rec >> txn >> type;
        std::map<std::string, std::string> f;
        std::string field;
        while (ls >> field) {
            auto eq = field.find('=');
            std::string value = field.substr(eq + 1);
            if (!value.empty() && value[0] == '"') value = value.substr(1, value.size() - 2);
            f[field.substr(0, eq)] = value;
        }
        auto num = [&](const char* k) { return static_cast<int32_t>(std::stoll(f.at(k))); };
        auto word = [&](const char* k) {
            return static_cast<uint32_t>(std::stoull(f.at(k), nullptr, k[0] == 'c' ? 16 : 10));
        };
        char t = type[0];
        w.writeByte(static_cast<uint8_t>(t));
        if (t == 'A') w.writeWord(word("time"));
        if (t == 'D' || t == 'E') {
            w.writeNumber(static_cast<int32_t>(f.at("name").size()));
            for (char c : f.at("name"))
                w.writeByte(static_cast<uint8_t>(c));
            w.writeNumber(num("parent"));
            if (t == 'E') w.writeNumber(num("after"));
        }
        if (t == 'F' || t == 'I' || t == 'G' || t == 'H') w.writeNumber(num("id"));
        if (t == 'G' || t == 'H') {
            w.writeWord(word("pos"));
            if (t == 'H') w.writeWord(word("diffPos"));
            w.writeNumber(num("storedSize"));
            w.writeNumber(num("size"));
            w.writeWord(word("mtime"));
            w.writeWord(word("crc"));
        }
    }
    return w.bytes;
}

std::string fileText(const std::string& path, bool skipFirstLine) {
    std::ifstream in(path);
    std::string line, out;
    bool first = true;
    while (std::getline(in, line)) {
        if (first && skipFirstLine) {
            first = false;
            continue;
        }
        if (line.rfind("records ", 0) == 0) break;
        out += line + "\n";
    }
    return out;
}

void prepare(TresmoData& t, int64_t now = 2000000000) {
    t.setNow(now);
    t.setName("proj");
}

TEST(RecordReplay, GoldenHistoryReplaysIntoItsDump) {
    const std::string dir = TRESMO_GOLDEN_DIR "/history/";
    std::vector<uint8_t> bytes = recordsFromListing(dir + "proj-step4.records");
    ASSERT_GT(bytes.size(), 500u);
    TresmoData t;
    prepare(t);
    MemValueReader in(bytes);
    RecordReplay replay(t);
    replay.run(in);
    EXPECT_EQ(replay.txnCount(), 4);
    EXPECT_EQ(dumpTree(t), fileText(dir + "proj-step4.dump", true));
    EXPECT_EQ(t.nextId(), 19);
}

// Writes a history through the record writer while applying it to a tree, the way a commit
// does, and returns the records.
struct History {
    TresmoData tree;
    MemValueWriter out;
    RecordWriter<MemValueWriter> rec{tree, out};

    History() { prepare(tree); }
    void begin(int64_t time) {
        tree.beginTxn(time);
        rec.beginTxn(time);
    }
    Node* add(Node* parent, const char* name, NodeKind kind, int32_t size = 0) {
        Node* after = nullptr;
        Node* n;
        if (!parent) {
            n = tree.addNode(name, nullptr, nullptr);
        } else {
            tree.findChild(name, parent, after);
            n = tree.addNode(name, parent, after);
        }
        rec.addNode(n, after);
        update(n, kind, size);
        return n;
    }
    void update(Node* n, NodeKind kind, int32_t size = 0) {
        if (kind == NodeKind::Folder) {
            tree.updNode(n, kind, nullptr);
            rec.updFolder(n);
        } else {
            ContentInfo c;
            c.size = size;
            c.pos = size ? 100u + static_cast<uint32_t>(size) : 0;
            c.diffPos = size > 1000 ? 7 : 0;
            c.mtime = 4000000000LL;  // beyond 2038: stored as an unsigned word
            c.crc = 0xDEADBEEF;
            tree.updNode(n, kind, &c);
            rec.updFile(n, c);
        }
    }
    void remove(Node* n) {
        tree.delSubtree(n);
        rec.delSubtree(n);
    }
};

TEST(RecordReplay, ReplayedHistoryEqualsTheTreeAfterEachCommit) {
    History h;
    h.begin(1000);
    Node* root = h.add(nullptr, "", NodeKind::Folder);
    Node* f = h.add(root, "f", NodeKind::Folder);
    h.add(f, "x", NodeKind::File, 10);
    Node* b = h.add(root, "b.txt", NodeKind::File, 2000);
    h.add(root, "A", NodeKind::File, 3);
    h.begin(2000);
    h.remove(f);
    h.update(b, NodeKind::File, 5);
    h.begin(3000);
    h.update(f, NodeKind::File, 1);  // a folder's name comes back as a file: same node
    Node* z = h.add(root, "z", NodeKind::Folder);
    h.add(z, std::string(259, 'n').c_str(), NodeKind::File, 0);

    TresmoData replayed;
    prepare(replayed);
    MemValueReader in(h.out.bytes);
    RecordReplay(replayed).run(in);
    EXPECT_EQ(dumpTree(replayed), dumpTree(h.tree));
    // f gets one folder version in the first transaction, though x's version propagates to it.
    const std::string dump = dumpTree(replayed);
    EXPECT_NE(dump.find("node 1 File f\n  v txn 1 Folder\n  v txn 2 Absent\n  v txn 3 File"),
              std::string::npos)
        << dump;
    EXPECT_NE(dump.find("mtime=4000000000"), std::string::npos);
}

int replayCode(const std::vector<uint8_t>& bytes, TresmoData& t) {
    MemValueReader in(bytes);
    try {
        RecordReplay(t).run(in);
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}

int replayCode(const std::vector<uint8_t>& bytes, int64_t now = 2000000000) {
    TresmoData t;
    prepare(t, now);
    return replayCode(bytes, t);
}

TEST(RecordReplay, EveryRecordIsChecked) {
    auto stream = [](auto build) {
        MemValueWriter w;
        build(w);
        return w.bytes;
    };
    auto txn = [](MemValueWriter& w, uint32_t time) {
        w.writeByte('A');
        w.writeWord(time);
    };
    auto addChild = [](MemValueWriter& w, size_t len, int32_t parent, int32_t after = -2) {
        w.writeByte(after == -2 ? 'D' : 'E');
        w.writeNumber(static_cast<int32_t>(len));
        for (size_t i = 0; i < len; ++i)
            w.writeByte('n');
        w.writeNumber(parent);
        if (after != -2) w.writeNumber(after);
    };
    auto rootAnd = [&](auto more) {
        return stream([&](MemValueWriter& w) {
            txn(w, 100);
            w.writeByte('C');
            more(w);
        });
    };
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 100), txn(w, 100); })), 2000);
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 100), txn(w, 99); })), 2000);
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 500); }), 500), 2001);
    EXPECT_EQ(replayCode(stream([&](auto& w) { txn(w, 499); }), 500), 0);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 259, 0); })), 0);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 260, 0); })), 2002);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  w.writeByte('D');
                  w.writeNumber(-1);
              })),
              2002);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 1, 1); })), 2003);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { addChild(w, 1, 0, 5); })), 2004);
    // 'E' whose after node is a child of another folder.
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  addChild(w, 1, 0);     // id 1 under the root
                  addChild(w, 1, 1);     // id 2 under 1
                  addChild(w, 2, 0, 2);  // after 2, but parent 0
              })),
              2005);
    EXPECT_EQ(replayCode(stream([&](auto& w) {
                  w.writeByte('C');
                  w.writeByte('F');
                  w.writeNumber(0);
              })),
              2006);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  w.writeByte('G');
                  w.writeNumber(1);
              })),
              2007);
    EXPECT_EQ(replayCode(stream([&](auto& w) {
                  w.writeByte('C');
                  w.writeByte('I');
                  w.writeNumber(0);
              })),
              2008);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) {
                  w.writeByte('I');
                  w.writeNumber(3);
              })),
              2009);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { w.writeByte('B'); })), 2010);
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { w.writeByte('J'); })), 2010);
    // A stream that ends inside a record fails in the reader, not with a wrong tree.
    EXPECT_EQ(replayCode(rootAnd([&](auto& w) { w.writeByte('F'); })), 4202);
}

TEST(RecordReplay, AFailureLeavesWhatWasReplayedAndSaysWhere) {
    MemValueWriter w;
    w.writeByte('A');
    w.writeWord(10);
    w.writeByte('C');
    w.writeByte('F');
    w.writeNumber(0);
    w.writeByte('A');
    w.writeWord(20);
    w.writeByte('F');
    w.writeNumber(9);
    TresmoData t;
    prepare(t);
    MemValueReader in(w.bytes);
    RecordReplay replay(t);
    EXPECT_THROW(replay.run(in), Error);
    EXPECT_EQ(replay.txnCount(), 2);
    EXPECT_EQ(replay.recordNo(), 2);
    ASSERT_NE(t.root(), nullptr);
    EXPECT_EQ(t.root()->storedKind(), NodeKind::Folder);
}

}  // namespace
