// The query side of the archive tree: what happened to each node inside the view range,
// statistics per folder and for the selection, transaction marks, and the selection itself.
#include "archive/support/msg.h"
#include "archive/tree/TresmoData.h"

#include <cstdint>
#include <vector>

namespace {

// One step of a node's history as the views see it: the stored versions, newest first,
// preceded by a transient pending version when the last scan found changes beneath the node.
struct Step {
    const Txn* txn;
    NodeKind kind;
    const Version* stored;  // null for the pending version
};

// Calls f(step, olderKind, hasOlder) for each step from the newest until f returns false.
template <class F>
void walkHistory(const Node* node, const Txn* pending, F f) {
    const Version* v = node->versions;
    if ((node->flags & Node::SUBTREE_CHANGED) && pending) {
        Step s{pending, node->kind(), nullptr};
        if (!f(s, v)) return;
    }
    for (; v; v = v->older) {
        Step s{v->txn, v->kind(), v};
        if (!f(s, v->older)) return;
    }
}

}  // namespace

uint16_t TresmoData::rangeFlags(const Node* node, NodeStats& stats) const {
    uint16_t bits = 0;
    bool first = true;
    walkHistory(node, _txns, [&](const Step& s, const Version* older) {
        if (s.txn->time > _to) return true;
        if (first) {
            if (s.kind == NodeKind::Folder) bits |= Node::FOLDER_AT_TO;
            if (s.kind == NodeKind::File) bits |= Node::FILE_AT_TO;
            first = false;
        }
        if (s.kind == NodeKind::Folder) bits |= Node::WAS_FOLDER;
        if (s.kind == NodeKind::File) bits |= Node::WAS_FILE;
        if (s.txn->time < _from) {
            if (s.kind == NodeKind::Folder) bits |= Node::FOLDER_AT_FROM;
            if (s.kind == NodeKind::File) bits |= Node::FILE_AT_FROM;
            return false;
        }
        bits |= Node::CHANGED_IN_RANGE;
        // A change counts when it is a file version or ends a file's existence.
        if (s.kind == NodeKind::File || (older && older->kind() == NodeKind::File)) {
            ++stats.changes;
            if (!s.stored) ++stats.pending;
        }
        if (s.stored) {
            stats.storedBytes += ownStoredSize(s.stored);
        }
        return true;
    });
    if (bits & Node::WAS_FILE) ++stats.files;
    return bits;
}

NodeState TresmoData::changeState(const Node* node) const {
    uint16_t f = node->flags;
    if (!(f & (Node::FOLDER_AT_FROM | Node::FILE_AT_FROM)))
        return (f & (Node::FOLDER_AT_TO | Node::FILE_AT_TO)) ? NodeState::Added : NodeState::None;
    if (!(f & (Node::FOLDER_AT_TO | Node::FILE_AT_TO))) return NodeState::Removed;
    return (f & Node::CHANGED_IN_RANGE) ? NodeState::Modified : NodeState::Unchanged;
}

void TresmoData::updateFolderInfo() {
    if (!_root) return;
    // Depth first without recursion: one accumulator per level of the path from the root.
    struct Level {
        Node* node;
        NodeStats acc;
        bool entered;  // its children have been visited or are being visited
    };
    std::vector<Level> path;
    auto enter = [&](Node* n) {
        Level l{n, {}, false};
        n->flags = static_cast<uint16_t>((n->flags & ~Node::RANGE_MASK) | rangeFlags(n, l.acc));
        path.push_back(l);
    };
    enter(_root);
    while (!path.empty()) {
        Level& top = path.back();
        if (!top.entered) {
            top.entered = true;
            if (top.node->firstChild) {
                enter(top.node->firstChild);
                continue;
            }
        }
        Node* n = top.node;
        NodeStats acc = top.acc;
        path.pop_back();
        if (!n->parent || (n->flags & Node::WAS_FOLDER)) {
            if (!n->info) n->info = _pool.make<NodeStats>();
            *n->info = acc;
        }
        if (!path.empty()) path.back().acc.add(acc);
        if (n != _root && n->next) enter(n->next);
    }
}

void TresmoData::updateSelectionInfo() {
    _selStats = NodeStats{};
    if (_selMode == SelMode::Folder) {
        VERIFY(_selDir->info != nullptr);
        _selStats = *_selDir->info;
    } else if (_selMode == SelMode::Files) {
        for (Node* c = _selDir->firstChild; c; c = c->next)
            if (c->flags & Node::SELECTED) rangeFlags(c, _selStats);
    }
}

void TresmoData::updateVersionMarks() {
    if (!_txns) return;
    // Transactions are counted from the newest (0). A selected item existed over a run of them
    // for each step of its history and changed in the step's own; the runs are added up in a
    // difference array and resolved in one pass, so the cost is the selected items' versions
    // plus the transactions, not their product (Ctrl+A over 100,000 files and 10,000
    // transactions).
    const size_t count = static_cast<size_t>(_txns->seq) + 1;
    std::vector<int32_t> existing(count + 1, 0);
    std::vector<uint8_t> changed(count, 0);
    auto markFor = [&](const Node* item) {
        // Each step holds from the transaction after the newer step's down to its own. A step
        // whose transaction is not older than the newer step's holds nowhere: the pending step
        // hides a stored version of the same, newest transaction.
        size_t first = 0;
        walkHistory(item, _txns, [&](const Step& s, const Version*) {
            size_t at = static_cast<size_t>(_txns->seq - s.txn->seq);
            if (at < first) return true;
            if (s.kind != NodeKind::Absent) {
                ++existing[first];
                --existing[at + 1];
                changed[at] = 1;
            }
            first = at + 1;
            return true;
        });
    };
    if (_selMode == SelMode::Folder) {
        markFor(_selDir);
    } else if (_selMode == SelMode::Files) {
        for (Node* c = _selDir->firstChild; c; c = c->next)
            if (c->flags & Node::SELECTED) markFor(c);
    }
    int32_t live = 0;
    size_t i = 0;
    for (Txn* t = _txns; t; t = t->older, ++i) {
        live += existing[i];
        t->mark = changed[i] ? 2 : live > 0 ? 1 : 0;
    }
}

void TresmoData::clearSelection() {
    if (_selMode == SelMode::Files)
        for (Node* c = _selDir->firstChild; c; c = c->next)
            c->flags &= ~Node::SELECTED;
    _selMode = SelMode::None;
    _selCount = 0;
    _selDir = nullptr;
}

void TresmoData::selectFolder(Node* node) {
    clearSelection();
    _selMode = SelMode::Folder;
    _selCount = 1;
    _selDir = node;
}

void TresmoData::selectFile(Node* node, bool on) {
    if (!node->parent) return;  // the watched folder is no file: never a selection without one
    if (_selMode != SelMode::Files || _selDir != node->parent) {
        clearSelection();
        _selMode = SelMode::Files;
        _selDir = node->parent;
    }
    bool selected = node->flags & Node::SELECTED;
    if (selected == on) return;
    if (on) {
        node->flags |= Node::SELECTED;
        ++_selCount;
    } else {
        node->flags &= ~Node::SELECTED;
        if (--_selCount == 0) {
            _selMode = SelMode::None;
            _selDir = nullptr;
        }
    }
}

void TresmoData::pruneSelection() {
    if (_selMode == SelMode::None) return;
    if (!(_selDir->flags & Node::WAS_FOLDER)) {
        clearSelection();
        return;
    }
    if (_selMode == SelMode::Files) {
        Node* dir = _selDir;
        for (Node* c = dir->firstChild; c && _selMode == SelMode::Files; c = c->next)
            if ((c->flags & Node::SELECTED) && !(c->flags & Node::WAS_FILE)) selectFile(c, false);
    }
}

Node* TresmoData::selectedItem() const {
    if (_selCount != 1 || !_selDir) return nullptr;
    if (_selMode == SelMode::Folder) return _selDir;
    for (Node* c = _selDir->firstChild; c; c = c->next)
        if (c->flags & Node::SELECTED) return c;
    return nullptr;
}

bool TresmoData::hasPendingChanges() const {
    return _from == _now && _to == _now && _root && _root->info && _root->info->pending != 0;
}
