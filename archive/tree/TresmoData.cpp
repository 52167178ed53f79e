#include "archive/tree/TresmoData.h"

#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <cstring>

namespace {

NodeKind kindOf(uint16_t flags) {
    return static_cast<NodeKind>(flags & Node::KIND_MASK);
}

// First sibling from n on that still exists in its newest version.
Node* firstLive(Node* n) {
    while (n && n->storedKind() == NodeKind::Absent)
        n = n->next;
    return n;
}

}  // namespace

const ContentInfo* Version::content() const {
    if (kind() != NodeKind::File || !committed()) return nullptr;
    return &static_cast<const FileVersion*>(this)->info;
}

ContentInfo* Version::content() {
    if (kind() != NodeKind::File || !committed()) return nullptr;
    return &static_cast<FileVersion*>(this)->info;
}

int32_t ownStoredSize(const Version* v) {
    const ContentInfo* c = v->content();
    if (!c) return 0;
    const ContentInfo* before = v->older ? v->older->content() : nullptr;
    if (before && before->pos == c->pos && before->diffPos == c->diffPos) return 0;
    return c->storedSize;
}

const char* TresmoData::copyString(std::string_view s) {
    char* p = static_cast<char*>(_pool.alloc(s.size() + 1));
    std::memcpy(p, s.data(), s.size());  // the piece is zero-filled: the NUL is there
    return p;
}

Node* TresmoData::addNode(std::string_view name, Node* parent, Node* after) {
    Node* node = _pool.make<Node>();
    node->name = copyString(name);
    if (after) {
        node->parent = after->parent;
        node->next = after->next;
        after->next = node;
    } else if (!parent) {
        // The root carries the archive's name, the watched folder's last component.
        if (_name)
            node->name = _name;
        else
            _name = node->name;
        _root = node;
    } else {
        node->parent = parent;
        node->next = parent->firstChild;
        parent->firstChild = node;
    }
    return node;
}

bool TresmoData::findChild(std::string_view name, Node* parent, Node*& out) const {
    return findChildFrom(name, parent, nullptr, out);
}

bool TresmoData::findChildFrom(std::string_view name, Node* parent, Node* from, Node*& out) const {
    if (!parent) {
        out = _root;
        return _root != nullptr;
    }
    out = nullptr;
    Node* c = parent->firstChild;
    if (from && from->parent == parent && compareNames(from->name, name) < 0) {
        out = from;
        c = from->next;
    }
    for (; c; c = c->next) {
        int r = compareNames(c->name, name);
        if (r == 0) {
            out = c;
            return true;
        }
        if (r > 0) break;
        out = c;
    }
    return false;
}

Txn* TresmoData::beginTxn(int64_t time) {
    Txn* t = _pool.make<Txn>();
    t->time = time;
    t->seq = _txns ? _txns->seq + 1 : 0;
    t->older = _txns;
    _txns = t;
    return t;
}

void TresmoData::updNode(Node* node, NodeKind kind, const ContentInfo* content) {
    VERIFY(_txns != nullptr);
    Version* v;
    if (kind == NodeKind::File) {
        FileVersion* fv = _pool.make<FileVersion>();
        if (content) fv->info = *content;
        v = fv;
    } else {
        v = _pool.make<Version>();
    }
    v->txn = _txns;
    v->older = node->versions;
    v->flags = static_cast<uint16_t>(static_cast<uint16_t>(kind) | Version::COMMITTED);
    node->flags = static_cast<uint16_t>((node->flags & ~(Node::KIND_MASK | Node::CHANGED)) |
                                        static_cast<uint16_t>(kind));
    node->versions = v;
    node->mtime = (kind == NodeKind::File && content) ? content->mtime : 0;

    // Each folder carries a version for every transaction in which something beneath it
    // changed; once an ancestor has one, all above it have one too. It repeats the stored
    // kind, as the replay does (a folder the scan found turned into a file is still stored
    // as a folder while the save removes what it held), and a file's carries its content: a
    // version is never read as a kind it has no room for.
    for (Node* a = node->parent; a; a = a->parent) {
        if (a->versions && a->versions->txn == _txns) break;
        NodeKind k = a->versions ? a->versions->kind() : kindOf(a->flags);
        Version* av;
        if (k == NodeKind::File) {
            FileVersion* fv = _pool.make<FileVersion>();
            if (const ContentInfo* c = a->versions ? a->versions->content() : nullptr)
                fv->info = *c;
            av = fv;
        } else {
            av = _pool.make<Version>();
        }
        av->txn = _txns;
        av->older = a->versions;
        av->flags = static_cast<uint16_t>(static_cast<uint16_t>(k) | Version::COMMITTED);
        a->versions = av;
    }
}

void TresmoData::delSubtree(Node* top) {
    // Preorder without recursion: an archive may nest folders thousands deep.
    Node* n = top;
    for (;;) {
        NodeKind was = n->storedKind();
        updNode(n, NodeKind::Absent, nullptr);
        if (Node* c = was == NodeKind::Folder ? firstLive(n->firstChild) : nullptr) {
            n = c;
            continue;
        }
        for (;;) {
            if (n == top) return;
            if (Node* s = firstLive(n->next)) {
                n = s;
                break;
            }
            n = n->parent;
        }
    }
}

bool TresmoData::printPath(char* buf, size_t size, const Node* node) const {
    // Every part adds at least two bytes, so a path that fits has few enough parts.
    constexpr int MAX_PARTS = 160;
    const char* parts[MAX_PARTS];
    int count = 0;
    for (const Node* n = node; n; n = n->parent) {
        if (count == MAX_PARTS) return false;
        parts[count++] = n->name;
    }
    size_t len = 0;
    auto append = [&](const char* s) {
        size_t l = std::strlen(s);
        if (len + l >= size) return false;
        std::memcpy(buf + len, s, l);
        len += l;
        return true;
    };
    if (size == 0 || !append(base())) return false;
    for (int i = count - 1; i >= 0; --i) {
        if (len > 0 && buf[len - 1] != '/' && !append("/")) return false;
        if (!append(parts[i])) return false;
    }
    buf[len] = 0;
    return true;
}

void TresmoData::clearData() {
    _pool.clear();
    _name = _base = nullptr;
    _nextId = 0;
    _root = nullptr;
    _txns = nullptr;
    _now = _from = _to = 0;
    _selMode = SelMode::None;
    _selCount = 0;
    _selDir = nullptr;
    _selStats = NodeStats{};
}

void TresmoData::setNow(int64_t t) {
    _pool.clear();
    _name = _base = nullptr;
    _nextId = 0;
    _root = nullptr;
    _txns = nullptr;
    if (_from == _now) _from = t;
    if (_to == _now) _to = t;
    _selMode = SelMode::None;
    _selCount = 0;
    _selDir = nullptr;
    _selStats = NodeStats{};
    _now = t;
}

void TresmoData::moveNow(int64_t t) {
    if (_from == _now) _from = t;
    if (_to == _now) _to = t;
    _now = t;
}

void TresmoData::setName(std::string_view s) {
    _name = copyString(s);
}

void TresmoData::setBaseAndName(const char* folder) {
    char parent[MAX_PATH];
    VERIFY(getParentPath(parent, sizeof parent, folder));
    _base = copyString(parent);
    const char* slash = std::strrchr(folder, '/');
    _name = copyString(slash ? slash + 1 : folder);
}
