// The archive in memory: one tree of folders and files under the watched folder, a chain of
// versions on every node and the list of transactions.
//
// Everything lives in one page pool (Malloc) owned by the TresmoData: pointers between nodes,
// versions and transactions all point into it, no node owns another, and the whole tree is
// released at once by clear() and setNow(). The tree is never edited in place: it is rebuilt
// from the storage file on every load, extended by a scan and by the commit of that scan.
#pragma once

#include "archive/support/Malloc.h"
#include "archive/support/paths.h"

#include <cstdint>
#include <string_view>

enum class NodeKind : uint16_t { Absent = 0, Folder = 1, File = 2 };
// The permission bits a version has when its transaction lists none for it.
constexpr uint16_t defaultMode(NodeKind kind) {
    return kind == NodeKind::Folder ? 0755 : 0644;
}
// Beside the permission bits of a node's or version's mode: a symbolic link, kept as a file
// whose content is its target (archives with file metadata only).
constexpr uint16_t LINK_MODE = 0x4000;

enum class NodeState { None = 0, Unchanged = 1, Modified = 2, Added = 3, Removed = 4 };

// The six words that describe one stored file version; also the payload of a version record.
struct ContentInfo {
    uint32_t pos = 0;        // item of the full content (the delta's base for a delta version)
    uint32_t diffPos = 0;    // item of the delta, 0 for a full version
    int32_t storedSize = 0;  // bytes this version's own item takes, header and CRC included
    int32_t size = 0;        // length of the file
    int64_t mtime = 0;       // last-write time; stored as a 32-bit word, read back unsigned
    uint32_t crc = 0;        // CRC-32 of the content, 0 for an empty file
};

struct NodeStats {
    int32_t files = 0;
    int32_t changes = 0;
    int32_t pending = 0;
    double storedBytes = 0;

    void add(const NodeStats& o) {
        files += o.files;
        changes += o.changes;
        pending += o.pending;
        storedBytes += o.storedBytes;
    }
};

struct Txn {
    int64_t time = 0;  // strictly increasing from older to newer
    int32_t mark = 0;  // 0, 1 or 2, for the version list
    int32_t seq = 0;   // 0 for the oldest, one more for each newer: a transaction's place
    Txn* older = nullptr;
};

struct Version {
    static constexpr uint16_t KIND_MASK = 0x3;
    static constexpr uint16_t COMMITTED = 0x10;

    static constexpr uint16_t MODE_SET = 0x8000;

    Txn* txn = nullptr;
    Version* older = nullptr;
    uint16_t flags = 0;
    // Permission bits | MODE_SET (| LINK_MODE), or 0 for the default of the version's kind.
    uint16_t mode = 0;

    NodeKind kind() const { return static_cast<NodeKind>(flags & KIND_MASK); }
    bool committed() const { return flags & COMMITTED; }
    uint16_t perm() const { return mode ? mode & 07777 : defaultMode(kind()); }
    bool isLink() const { return mode & LINK_MODE; }
    // bits: permission bits, with LINK_MODE for a link.
    void setPerm(uint16_t bits) {
        mode = bits == defaultMode(kind()) ? 0 : static_cast<uint16_t>(bits | MODE_SET);
    }
    // The permission bits and LINK_MODE, as a scan gives them for its node.
    uint16_t scanMode() const { return static_cast<uint16_t>(mode & LINK_MODE) | perm(); }
    // The content of a committed file version; null for any other version.
    const ContentInfo* content() const;
    ContentInfo* content();
};

// A file version carries its content right behind the common part; a version of another kind
// has no room for it.
struct FileVersion : Version {
    ContentInfo info;
};

// The bytes a version added to the archive: its own item's, or none when it names the content
// of the version before it again (a change of its bits alone).
int32_t ownStoredSize(const Version* v);

struct Node {
    // flags bits 0-1: the node's kind now
    static constexpr uint16_t KIND_MASK = 0x3;
    static constexpr uint16_t SELECTED = 0x4;          // selected file
    static constexpr uint16_t CHANGED = 0x8;           // new, modified, re-appeared or gone
    static constexpr uint16_t SUBTREE_CHANGED = 0x20;  // this node or one beneath is CHANGED
    // Range bits, rewritten as a whole by the range pass.
    static constexpr uint16_t WAS_FOLDER = 0x100;
    static constexpr uint16_t WAS_FILE = 0x200;
    static constexpr uint16_t CHANGED_IN_RANGE = 0x400;
    static constexpr uint16_t FOLDER_AT_FROM = 0x800;
    static constexpr uint16_t FILE_AT_FROM = 0x1000;
    static constexpr uint16_t FOLDER_AT_TO = 0x2000;
    static constexpr uint16_t FILE_AT_TO = 0x4000;
    static constexpr uint16_t RANGE_MASK = 0xFF00;

    int32_t id = -1;             // dense number once written or read, -1 before
    int32_t listRow = 0;         // owned by the file list view: its row plus one
    void* treeItem = nullptr;    // owned by the folder tree view
    const char* name = nullptr;  // in the pool
    uint16_t flags = 0;
    // Permission bits (and LINK_MODE) the scan saw (archives with file metadata only).
    uint16_t mode = 0;
    uint32_t size = 0;  // of a file, as the scan saw it (a file never exceeds the size limit)
    int64_t mtime = 0;
    Version* versions = nullptr;  // newest first
    NodeStats* info = nullptr;    // folder statistics, allocated on first need
    Node* parent = nullptr;
    Node* firstChild = nullptr;  // children sorted by name, case-insensitively
    Node* next = nullptr;

    NodeKind kind() const { return static_cast<NodeKind>(flags & KIND_MASK); }
    // Kind of the newest stored version; Absent without versions.
    NodeKind storedKind() const { return versions ? versions->kind() : NodeKind::Absent; }
};

// The node after n in preorder within top's subtree, null after the last; without descend,
// what lies beneath n is skipped. A walk needs no stack: archives nest without limit.
template <class N>
N* nextInTree(N* n, const Node* top, bool descend = true) {
    if (descend && n->firstChild) return n->firstChild;
    for (; n && n != top; n = n->parent)
        if (n->next) return n->next;
    return nullptr;
}

// What the views have selected: nothing, one folder, or files of one folder.
enum class SelMode { None, Folder, Files };

class TresmoData {
  public:
    TresmoData() = default;
    TresmoData(const TresmoData&) = delete;
    TresmoData& operator=(const TresmoData&) = delete;

    // Takes a fresh node for name and links it behind `after`, or as the root when neither
    // parent nor after is given, or as the first child of parent. Does not compare names.
    Node* addNode(std::string_view name, Node* parent, Node* after);
    // With no parent: out = root. Otherwise the child that compares equal (true), or the last
    // child that sorts before name (false; null if none), to be passed as addNode's `after`.
    bool findChild(std::string_view name, Node* parent, Node*& out) const;
    // As findChild, but starts the walk at the child `from` when it sorts before name: a scan
    // that meets names in order finds each in constant time.
    bool findChildFrom(std::string_view name, Node* parent, Node* from, Node*& out) const;
    Txn* beginTxn(int64_t time);
    // Adds a version of the newest transaction to node and to each ancestor that has none yet.
    void updNode(Node* node, NodeKind kind, const ContentInfo* content);
    // Marks node deleted with everything beneath it that still exists.
    void delSubtree(Node* node);
    // base, then the names from the root down, joined by '/'; false when it does not fit size.
    bool printPath(char* buf, size_t size, const Node* node) const;

    // Gives node the next dense id, in the order nodes are first written or read.
    void assignId(Node* node) { node->id = _nextId++; }

    // Empties the tree: nodes, transactions, range, selection; releases the pool.
    void clearData();
    // Empties the tree for a reload at time t; a range end equal to the old now moves to t.
    // The name is gone with the pool and must be set again.
    void setNow(int64_t t);
    // Moves now on to a later t without emptying the tree (a save that met newer
    // transactions); a range end at the old now moves along.
    void moveNow(int64_t t);
    // Forgets the pending transaction that a change scan begins at now, so that transactions
    // read later can go below it.
    void dropPendingTxn() {
        if (_txns && _txns->time >= _now) _txns = _txns->older;
    }
    void setName(std::string_view s);
    // base := the folder's parent path, name := its last component, whole (dots included).
    void setBaseAndName(const char* folder);

    // --- Queries for the views (TresmoQueries.cpp) ---
    // The range the views show; from = to = now is the current state with pending changes.
    void setRange(int64_t from, int64_t to) {
        _from = from;
        _to = to;
    }
    // What happened to node inside the range, from its range bits (after updateFolderInfo).
    NodeState changeState(const Node* node) const;
    // Runs the range pass over the whole tree: range bits of every node, folder statistics.
    void updateFolderInfo();
    void updateSelectionInfo();
    void updateVersionMarks();
    void clearSelection();
    void selectFolder(Node* node);
    void selectFile(Node* node, bool on);
    // Drops selected items that the range no longer shows.
    void pruneSelection();
    // The one selected item, or null unless exactly one is selected.
    Node* selectedItem() const;
    bool hasPendingChanges() const;
    bool isSingleSelection() const { return _selCount == 1; }
    SelMode selectionMode() const { return _selMode; }
    int32_t selectionCount() const { return _selCount; }
    Node* selectedDir() const { return _selDir; }
    const NodeStats& selectionStats() const { return _selStats; }
    // The range pass for one node: its range bits (0xFF00) and what it adds to stats.
    uint16_t rangeFlags(const Node* node, NodeStats& stats) const;

    const char* name() const { return _name ? _name : ""; }
    const char* base() const { return _base ? _base : ""; }
    Node* root() const { return _root; }
    Txn* txns() const { return _txns; }
    int32_t nextId() const { return _nextId; }
    int64_t now() const { return _now; }
    // Whether the archive keeps file metadata (permission bits) beside its contents.
    bool metaFormat() const { return _meta; }
    void setMetaFormat(bool on) { _meta = on; }
    int64_t from() const { return _from; }
    int64_t to() const { return _to; }
    Malloc& pool() { return _pool; }

  protected:
    const char* copyString(std::string_view s);
    void setBase(std::string_view s) { _base = copyString(s); }

    const char* _name = nullptr;
    const char* _base = nullptr;
    int32_t _nextId = 0;
    Node* _root = nullptr;
    Txn* _txns = nullptr;
    int64_t _now = 0;
    int64_t _from = 0;
    int64_t _to = 0;
    bool _meta = false;
    SelMode _selMode = SelMode::None;
    int32_t _selCount = 0;
    Node* _selDir = nullptr;
    NodeStats _selStats;
    Malloc _pool;
};
