#include "support/TreeDump.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <vector>

namespace {

const char* kindName(NodeKind k) {
    return k == NodeKind::Folder ? "Folder" : k == NodeKind::File ? "File" : "Absent";
}

std::string relPath(const Node* n) {
    if (!n->parent) return ".";
    std::string p = n->name;
    for (const Node* a = n->parent; a->parent; a = a->parent)
        p = std::string(a->name) + "/" + p;
    return p;
}

}  // namespace

std::string dumpTree(const TresmoData& tree) {
    std::vector<const Txn*> txns;
    for (const Txn* t = tree.txns(); t; t = t->older)
        txns.insert(txns.begin(), t);
    std::map<const Txn*, size_t> txnNo;
    std::string out = "transactions " + std::to_string(txns.size()) + "\n";
    for (size_t i = 0; i < txns.size(); ++i) {
        txnNo[txns[i]] = i + 1;
        out += "txn " + std::to_string(i + 1) + " time " + std::to_string(txns[i]->time) + "\n";
    }
    std::map<int32_t, const Node*> nodes;
    std::vector<const Node*> stack;
    if (tree.root()) stack.push_back(tree.root());
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        nodes[n->id] = n;
        for (const Node* c = n->firstChild; c; c = c->next)
            stack.push_back(c);
    }
    out += "nodes " + std::to_string(nodes.size()) + "\n";
    for (const auto& [id, n] : nodes) {
        out += "node " + std::to_string(id) + " " + kindName(n->kind()) + " " + relPath(n) + "\n";
        std::vector<const Version*> versions;
        for (const Version* v = n->versions; v; v = v->older)
            versions.insert(versions.begin(), v);
        for (const Version* v : versions) {
            out += "  v txn " + std::to_string(txnNo[v->txn]) + " " + kindName(v->kind());
            if (const ContentInfo* c = v->content()) {
                char buf[200];
                std::snprintf(buf, sizeof buf,
                              " pos=%u diffPos=%u storedSize=%d size=%d mtime=%" PRId64 " crc=%08X",
                              c->pos, c->diffPos, c->storedSize, c->size, c->mtime, c->crc);
                out += buf;
            }
            out += "\n";
        }
    }
    return out;
}
