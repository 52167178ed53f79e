#include "archive/scan/ChangeFinder.h"

#include "archive/support/Progress.h"

#include <cstring>
#include <vector>

namespace {

// Calls f for top and every node beneath it, parents before children, without recursion.
template <class F>
void forEachInSubtree(Node* top, F f) {
    for (Node* n = top; n;) {
        f(n);
        if (n->firstChild) {
            n = n->firstChild;
            continue;
        }
        while (n != top && !n->next)
            n = n->parent;
        if (n == top) break;
        n = n->next;
    }
}

class ChangeFinder final : public FileFinder {
  public:
    ChangeFinder(TresmoData& tree, ScanFilter& filter, MsgList& warnings, Progress* progress,
                 std::vector<std::string>* skippedPaths)
        : FileFinder(filter),
          _tree(tree),
          _warnings(warnings),
          _progress(progress),
          _skippedPaths(skippedPaths) {}

  protected:
    void onEnterDir(const char* name) override {
        Node* n = seen(name, NodeKind::Folder);
        if (n->storedKind() != NodeKind::Folder) n->flags |= Node::CHANGED;
        _cursor = n;
        _last = nullptr;
    }
    void onExitDir() override {
        _last = _cursor;
        _cursor = _cursor ? _cursor->parent : nullptr;
    }
    void found(const char* name, int64_t mtime) override {
        Node* n = seen(name, NodeKind::File);
        n->mtime = mtime;
        const Version* v = n->versions;
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c || c->mtime != storedTime(mtime)) n->flags |= Node::CHANGED;
        if (_progress) {
            _progress->advance(1, 0);
            _progress->checkCancel();
        }
    }
    void skipped(Msg msg, const std::string& dir, const os::DirEntry& entry) override {
        _warnings.push_back(std::move(msg));
        if (!_skippedPaths) return;
        // Below the watched folder, as the tree names it; a folder ends with '/'.
        const std::string& root = filter().root();
        std::string path = dir.size() > root.size() ? dir.substr(root.size() + 1) + "/" : "";
        path += entry.name;
        if (entry.type == os::DirEntry::Type::Dir) path += '/';
        _skippedPaths->push_back(std::move(path));
    }
    void skippedDir(const char* name) override {
        Node* n;
        if (!_tree.findChild(name, _cursor, n)) {
            // Nothing stored to keep: new folders entered only to reach it, with nothing of
            // their own seen, are not added.
            for (Node* f = _cursor;
                 f && f->parent && f->storedKind() == NodeKind::Absent && !hasSeenChild(f);
                 f = f->parent)
                f->flags = 0;
            return;
        }
        // What is stored beneath a folder we could not read stays as it is.
        forEachInSubtree(n, [](Node* m) {
            m->flags = static_cast<uint16_t>(m->storedKind());
            const ContentInfo* c = m->versions ? m->versions->content() : nullptr;
            m->mtime = c ? c->mtime : 0;
        });
    }

  private:
    static bool hasSeenChild(const Node* n) {
        for (const Node* c = n->firstChild; c; c = c->next)
            if (c->kind() != NodeKind::Absent) return true;
        return false;
    }
    // Finds or adds the node of name under the cursor and gives it the kind it was seen as.
    Node* seen(const char* name, NodeKind kind) {
        // The walker reports a folder's entries in name order, so each lookup starts at the
        // entry seen before it.
        Node* n;
        if (_tree.findChildFrom(name, _cursor, _last, n)) {
            // Equal but for letter case: keep the form seen now (same length).
            if (n->parent) std::memcpy(const_cast<char*>(n->name), name, std::strlen(name));
        } else {
            n = _tree.addNode(name, _cursor, n);
        }
        n->flags = static_cast<uint16_t>(kind);
        _last = n;
        return n;
    }

    TresmoData& _tree;
    MsgList& _warnings;
    Progress* _progress;
    std::vector<std::string>* _skippedPaths;
    Node* _cursor = nullptr;
    Node* _last = nullptr;  // the child of _cursor seen last
};

}  // namespace

bool markChangedSubtrees(TresmoData& tree) {
    Node* root = tree.root();
    if (!root) return false;
    forEachInSubtree(root, [](Node* n) { n->flags &= ~Node::SUBTREE_CHANGED; });
    // Children come after their parent in preorder, so a reverse pass sees every child first.
    std::vector<Node*> order;
    forEachInSubtree(root, [&](Node* n) { order.push_back(n); });
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Node* n = *it;
        if (n->flags & Node::CHANGED) n->flags |= Node::SUBTREE_CHANGED;
        if ((n->flags & Node::SUBTREE_CHANGED) && n->parent)
            n->parent->flags |= Node::SUBTREE_CHANGED;
    }
    return root->flags & Node::SUBTREE_CHANGED;
}

void findChangesIn(TresmoData& tree, ScanFilter& filter, MsgList& warnings, Progress* progress,
                   std::vector<std::string>* skippedPaths) {
    forEachInSubtree(tree.root(), [](Node* n) {
        n->flags = 0;
        n->mtime = 0;
    });
    ChangeFinder finder(tree, filter, warnings, progress, skippedPaths);
    char parent[MAX_PATH];
    VERIFY(getParentPath(parent, sizeof parent, filter.root().c_str()));
    finder.setDir(parent);
    finder.find();
    // What is stored but was not seen is gone, with everything beneath it.
    forEachInSubtree(tree.root(), [](Node* n) {
        NodeKind k = n->storedKind();
        if (k != NodeKind::Absent && n->kind() == NodeKind::Absent) n->flags |= Node::CHANGED;
    });
    if (markChangedSubtrees(tree)) tree.beginTxn(tree.now());
}
