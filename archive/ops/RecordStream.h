// The record stream: what each transaction appends to describe the tree, and its replay.
//
// Each record is a type byte and its fields; nodes are named by their dense id, given in the
// order their add records appear across all transactions. Replay applies exactly the tree
// operations the commit applied when it wrote the records, so the replayed tree equals the
// tree right after each commit, including the folder versions that propagation creates and
// that have no records of their own.
//
// Reader and writer are templates over the value source and sink (StgReader and StgWriter in
// the archive, in-memory ones in tests and fuzz targets): any type with readByte, readNumber,
// readWord and eof, or writeByte, writeNumber and writeWord.
#pragma once

#include "archive/support/msg.h"
#include "archive/tree/TresmoData.h"

#include <cstdint>
#include <string>
#include <vector>

namespace record {

constexpr uint8_t BEGIN_TXN = 'A';
constexpr uint8_t ADD_ROOT = 'C';
constexpr uint8_t ADD_FIRST = 'D';
constexpr uint8_t ADD_AFTER = 'E';
constexpr uint8_t UPD_FOLDER = 'F';
constexpr uint8_t UPD_FULL = 'G';
constexpr uint8_t UPD_DELTA = 'H';
constexpr uint8_t DEL_SUBTREE = 'I';

constexpr int32_t MAX_NAME = 259;

}  // namespace record

// Replays records into a tree whose now, name and base are set. On failure the records
// replayed so far stay in the tree and txnCount()/recordNo() tell where it stopped.
//
// Resuming replays the transactions that followed those already in the tree (another
// program's saves) into a tree that a change scan has marked: a node that the scan added
// and a record now adds under the same name becomes the stored node, and nodes are placed
// by name among the scan's.
class RecordReplay {
  public:
    explicit RecordReplay(TresmoData& tree, bool resume = false) : _tree(tree), _resume(resume) {
        if (resume) adoptIds();
    }

    // Salvage of an archive whose records are damaged, on the tree read before the damage:
    // replays on from there (a damaged stream as far as it decodes, the later streams whole).
    // Once lostFrom() says that records were lost, node ids from there on may belong to nodes
    // the damage took: a record naming a node that is not known is read but not applied
    // (skipped() counts them), and so is an add beneath such a node. The ids of the nodes a
    // later transaction adds are found from the update a save writes right after each add.
    void salvage() {
        _salvage = true;
        adoptIds();
    }
    void lostFrom() { _offsetKnown = false; }
    int skipped() const { return _skipped; }

  private:
    void adoptIds() {
        _ids.resize(static_cast<size_t>(_tree.nextId()));
        // Preorder without recursion: folders may nest thousands deep.
        for (Node* n = _tree.root(); n;) {
            if (n->id >= 0 && n->id < _tree.nextId()) _ids[static_cast<size_t>(n->id)] = n;
            if (n->firstChild) {
                n = n->firstChild;
                continue;
            }
            while (n && !n->next)
                n = n->parent;
            if (n) n = n->next;
        }
        for (Node* n : _ids)
            if (!n) throw makeError("Tresmo.read.addNode.2");
    }

  public:
    template <class Reader>
    void run(Reader& in) {
        while (!in.eof()) {
            uint8_t type = in.readByte();
            if (type == record::BEGIN_TXN && _txns == _stopAt) return;
            apply(type, in);
            ++_recordNo;
        }
    }
    // run() ends before the transaction with this 0-based number begins.
    void stopAt(int txn) { _stopAt = txn; }

    int txnCount() const { return _txns; }
    int recordNo() const { return _recordNo; }

  private:
    template <class Reader>
    Node* readId(Reader& in, const char* failure) {
        int32_t id = in.readNumber();
        if (_salvage && id >= 0) return salvagedId(static_cast<size_t>(id));
        if (id < 0 || static_cast<size_t>(id) >= _ids.size()) throw makeError(failure);
        return _ids[static_cast<size_t>(id)];
    }

    // The node of id in salvage, null when it is not known. The first id named after an add
    // whose own id was not known is that add's: the ids before it were lost.
    Node* salvagedId(size_t id) {
        if (_awaitId && id >= _ids.size()) {
            _ids.resize(id, nullptr);
            _ids.push_back(_pending);
            _offsetKnown = true;
        }
        _awaitId = false;
        return id < _ids.size() ? _ids[id] : nullptr;
    }

    template <class Reader>
    void apply(uint8_t type, Reader& in) {
        using namespace record;
        // An add whose id nothing confirmed leaves the ids that follow unknown for good.
        if (_awaitId && type != UPD_FOLDER && type != UPD_FULL && type != UPD_DELTA)
            _awaitId = _offsetKnown = false, _idsLost = true;
        switch (type) {
            case BEGIN_TXN: {
                ++_txns;
                _recordNo = 1;
                int64_t time = in.readWord();  // a stored time is an unsigned 32-bit word
                if (_tree.txns() && time <= _tree.txns()->time)
                    throw makeError("Tresmo.read.beginTxn.1");
                // A clock set back, or ahead when this was saved: the history is read all the
                // same, at a now just after it; the caller refuses to save on top of it.
                if (time >= _tree.now()) _tree.moveNow(time + 1);
                _tree.beginTxn(time);
                return;
            }
            case ADD_ROOT:
            case ADD_FIRST:
            case ADD_AFTER: {
                Node* parent = nullptr;
                Node* after = nullptr;
                if (type != ADD_ROOT) {
                    int32_t len = in.readNumber();
                    if (len < 0 || len > MAX_NAME) throw makeError("Tresmo.read.addNode.1");
                    _name.resize(static_cast<size_t>(len));
                    for (char& c : _name)
                        c = static_cast<char>(in.readByte());
                    // Names live as C strings: one holding a NUL would be a different name.
                    if (_name.find('\0') != std::string::npos)
                        throw makeError("Tresmo.read.addNode.1");
                    parent = readId(in, "Tresmo.read.addNode.2");
                    if (type == ADD_AFTER) {
                        after = readId(in, "Tresmo.read.addNode.3");
                        if (_salvage && (!after || after->parent != parent)) after = nullptr;
                        if (after && after->parent != parent)
                            throw makeError("Tresmo.read.addNode.4");
                    }
                    if (_salvage && !placeable(parent)) {
                        ++_skipped;
                        addUnknown(nullptr);
                        return;
                    }
                    // Placed by name, as the scan places it: the node before it may be lost,
                    // or one of that name may be there already.
                    if (_salvage && _tree.findChild(_name, parent, after)) {
                        addUnknown(after);
                        return;
                    }
                }
                Node* node = nullptr;
                if (_resume) node = scanned(type == ADD_ROOT ? _tree.name() : _name, parent, after);
                if (!node)
                    node = type == ADD_ROOT ? _tree.addNode(_tree.name(), nullptr, nullptr)
                                            : _tree.addNode(_name, parent, after);
                _tree.assignId(node);
                addUnknown(node);
                return;
            }
            case UPD_FOLDER:
            case UPD_FULL:
            case UPD_DELTA: {
                if (!_tree.txns()) throw makeError("Tresmo.read.updNode.1");
                Node* node = readId(in, "Tresmo.read.updNode.2");
                const bool skip = _salvage && !placeable(node);
                _skipped += skip;
                if (!skip) checkKinds(node, type != UPD_FOLDER);
                if (type == UPD_FOLDER) {
                    if (!skip) _tree.updNode(node, NodeKind::Folder, nullptr);
                    return;
                }
                ContentInfo c;
                c.pos = in.readWord();
                c.diffPos = type == UPD_DELTA ? in.readWord() : 0;
                c.storedSize = in.readNumber();
                c.size = in.readNumber();
                c.mtime = in.readWord();
                c.crc = in.readWord();
                // No save stores a negative length; restoring one would deliver nothing.
                if (c.size < 0 || c.storedSize < 0) throw makeError("Tresmo.read.updNode.1");
                if (!skip) _tree.updNode(node, NodeKind::File, &c);
                return;
            }
            case DEL_SUBTREE: {
                if (!_tree.txns()) throw makeError("Tresmo.read.delSubtree.1");
                Node* node = readId(in, "Tresmo.read.delSubtree.2");
                if (_salvage && !placeable(node)) {
                    ++_skipped;
                    return;
                }
                checkKinds(node, false);
                _tree.delSubtree(node);
                return;
            }
            default:
                throw makeError("Tresmo.read.default");
        }
    }

    // An update gives each ancestor without a version in this transaction one of its present
    // kind: were that a file, a version without content would be read as a file version. The
    // watched folder is a folder. A save removes what a folder held before storing it as a file.
    void checkKinds(const Node* node, bool asFile) {
        if (asFile && !node->parent) throw makeError("Tresmo.read.kind.1");
        for (const Node* a = node->parent; a; a = a->parent) {
            if (a->versions && a->versions->txn == _tree.txns()) return;
            if (a->storedKind() == NodeKind::File)
                throw makeError("Tresmo.read.kind.2", node->name, a->name);
        }
    }

    // The scan's node of that name when it has no id yet; otherwise null, with after moved to
    // the place among the scan's nodes where the name belongs.
    Node* scanned(std::string_view name, Node* parent, Node*& after) {
        if (!parent) {
            Node* root = _tree.root();
            if (root && root->id >= 0) throw makeError("Tresmo.read.addNode.2");
            return root;
        }
        Node* at;
        bool found = _tree.findChild(name, parent, at);
        if (found && at->id < 0) return at;
        if (!found) after = at;
        return nullptr;
    }

    // Whether a node named in salvage can take the record: known, and not beneath a file.
    bool placeable(const Node* node) const {
        if (!node) return false;
        for (const Node* a = node->parent; a; a = a->parent)
            if (a->storedKind() == NodeKind::File) return false;
        return true;
    }

    // The node an add made (null: not placed) under its id, or, in salvage after a loss,
    // held until the update that follows names its id.
    void addUnknown(Node* node) {
        if (!_salvage || _offsetKnown) {
            _ids.push_back(node);
        } else if (!_idsLost) {
            _pending = node;
            _awaitId = true;
        }
    }

    TresmoData& _tree;
    bool _resume;
    bool _salvage = false;
    bool _offsetKnown = true;  // ids go on densely from the known ones
    bool _awaitId = false;     // the last record was an add whose id is still to be found
    bool _idsLost = false;     // ids after a loss could not be found: later adds are not placed
    Node* _pending = nullptr;
    int _skipped = 0;
    std::vector<Node*> _ids;
    std::string _name;
    int _txns = 0;
    int _stopAt = -1;
    int _recordNo = 0;
};

// Writes records; ids are given by the tree as add records are written.
template <class Writer>
class RecordWriter {
  public:
    RecordWriter(TresmoData& tree, Writer& out) : _tree(tree), _out(out) {}

    void beginTxn(int64_t time) {
        _out.writeByte(record::BEGIN_TXN);
        _out.writeWord(static_cast<uint32_t>(time));
    }
    // The add record of node; after is the sibling before it (null for the first child).
    // Its parent and that sibling must have ids already.
    void addNode(Node* node, const Node* after) {
        if (!node->parent) {
            _out.writeByte(record::ADD_ROOT);
        } else {
            _out.writeByte(after ? record::ADD_AFTER : record::ADD_FIRST);
            size_t len = std::char_traits<char>::length(node->name);
            _out.writeNumber(static_cast<int32_t>(len));
            for (size_t i = 0; i < len; ++i)
                _out.writeByte(static_cast<uint8_t>(node->name[i]));
            _out.writeNumber(node->parent->id);
            if (after) _out.writeNumber(after->id);
        }
        _tree.assignId(node);
    }
    void updFolder(const Node* node) {
        _out.writeByte(record::UPD_FOLDER);
        _out.writeNumber(node->id);
    }
    void updFile(const Node* node, const ContentInfo& c) {
        _out.writeByte(c.diffPos ? record::UPD_DELTA : record::UPD_FULL);
        _out.writeNumber(node->id);
        _out.writeWord(c.pos);
        if (c.diffPos) _out.writeWord(c.diffPos);
        _out.writeNumber(c.storedSize);
        _out.writeNumber(c.size);
        _out.writeWord(static_cast<uint32_t>(c.mtime));
        _out.writeWord(c.crc);
    }
    void delSubtree(const Node* node) {
        _out.writeByte(record::DEL_SUBTREE);
        _out.writeNumber(node->id);
    }

  private:
    TresmoData& _tree;
    Writer& _out;
};
