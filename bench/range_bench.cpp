// Applying a new view range to a loaded archive of 100,000 nodes over 1,000 transactions:
// the range pass with folder statistics, change states, selection statistics, transaction
// marks and pruning the selection, as the document does after View Version or a filter.
#include "archive/tree/TresmoData.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::string name(char prefix, int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%09d", prefix, i);
    return buf;
}

struct SyntheticArchive {
    TresmoData tree;
    std::vector<Node*> files;
    std::vector<Node*> folders;

    SyntheticArchive(int nodes, int txns) {
        std::mt19937 rnd(42);
        tree.setNow(2000000000);
        Node* root = tree.addNode("root", nullptr, nullptr);
        folders.push_back(root);
        tree.beginTxn(1000000);
        tree.updNode(root, NodeKind::Folder, nullptr);
        // Folders of about 50 entries, files named in order so each is added at the end.
        Node* last = nullptr;
        Node* folder = root;
        for (int i = 1; i < nodes; ++i) {
            if (i % 50 == 0) {
                Node* parent = folders[rnd() % folders.size()];
                Node* after = nullptr;
                for (Node* c = parent->firstChild; c; c = c->next)
                    after = c;
                folder = tree.addNode(name('d', i), parent, after);
                tree.updNode(folder, NodeKind::Folder, nullptr);
                folders.push_back(folder);
                last = nullptr;
                continue;
            }
            Node* f = tree.addNode(name('f', i), folder, last);
            last = f;
            ContentInfo c;
            c.pos = 12;
            c.size = 1000;
            c.storedSize = 400;
            tree.updNode(f, NodeKind::File, &c);
            files.push_back(f);
        }
        // Later transactions change about 100 files each; some are deleted.
        for (int t = 1; t < txns; ++t) {
            tree.beginTxn(1000000 + t * 60);
            for (int k = 0; k < 100; ++k) {
                Node* f = files[rnd() % files.size()];
                if (f->storedKind() == NodeKind::Absent || rnd() % 20 == 0) {
                    tree.updNode(f, NodeKind::Absent, nullptr);
                } else {
                    ContentInfo c;
                    c.pos = 12;
                    c.diffPos = 99;
                    c.storedSize = 50;
                    tree.updNode(f, NodeKind::File, &c);
                }
            }
        }
    }
};

void BM_ApplyRange(benchmark::State& state) {
    static SyntheticArchive a(100000, 1000);
    Node* dir = a.folders[a.folders.size() / 2];
    int k = 0;
    for (auto _ : state) {
        // Alternate between two ranges so every pass has real work.
        int64_t from = 1000000 + (k % 2 ? 300 : 500) * 60;
        a.tree.setRange(from, from + 200 * 60);
        a.tree.updateFolderInfo();
        int shown = 0;
        for (Node* f : a.files)
            shown += a.tree.changeState(f) != NodeState::None;
        for (Node* c = dir->firstChild; c; c = c->next)
            if (c->kind() != NodeKind::Folder) a.tree.selectFile(c, true);
        a.tree.pruneSelection();
        a.tree.updateSelectionInfo();
        a.tree.updateVersionMarks();
        benchmark::DoNotOptimize(shown);
        ++k;
    }
    state.counters["nodes"] = 100000;
    state.counters["txns"] = 1000;
}
BENCHMARK(BM_ApplyRange)->Unit(benchmark::kMillisecond);

}  // namespace
