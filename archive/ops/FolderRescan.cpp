#include "archive/ops/FolderRescan.h"

#include "archive/os/os.h"
#include "archive/support/paths.h"

#include <algorithm>

FolderRescan::FolderRescan(const TresmoData& tree, const FileSel& sel,
                           const std::vector<FolderChange>& changes)
    : _sel(sel) {
    // The listings take what the archive keeps, whatever the selection asked for at init.
    _sel.setMetaFormat(tree.metaFormat());
    const std::string& root = sel.folder();
    if (root.empty()) return;
    for (const FolderChange& c : changes) {
        if (c.dir != root && c.dir.compare(0, root.size() + 1, root + "/") != 0) continue;
        // The deepest folder on the way that the tree has seen: what lies below it is new to
        // the tree and listed whole.
        Node* n = tree.root();
        std::string dir = root;
        bool whole = true;
        if (n && n->kind() == NodeKind::Folder) {
            const char* p = c.dir.size() > root.size() ? c.dir.c_str() + root.size() + 1 : "";
            const char *s, *e;
            while (nextComponent(p, s, e)) {
                Node* child;
                std::string_view name(s, static_cast<size_t>(e - s));
                if (!tree.findChild(name, n, child) || child->kind() != NodeKind::Folder) {
                    whole = false;
                    break;
                }
                n = child;
                dir += '/';
                dir += name;
            }
        }
        const bool deep = c.deep && whole;
        auto same = std::find_if(_targets.begin(), _targets.end(),
                                 [&](const Target& t) { return t.node == n; });
        if (same != _targets.end()) {
            same->listing.deep = same->listing.deep || deep;
            continue;
        }
        Target t{n, {}, {}};
        t.listing.root = root;
        t.listing.dir = dir;
        t.listing.deep = deep;
        if (n)
            for (Node* k = n->firstChild; k; k = k->next)
                if (k->kind() == NodeKind::Folder) t.listing.kept.emplace_back(k->name);
        _targets.push_back(std::move(t));
    }
    for (Target& t : _targets) {
        if (t.listing.deep) {
            t.listing.kept.clear();
        } else if (t.node) {
            t.before = seenChildren(t.node);
        }
    }
    // The deepest first: a folder that turns out empty sends its parent to the next round,
    // which is then more often already listed in this one.
    std::stable_sort(_targets.begin(), _targets.end(), [](const Target& a, const Target& b) {
        return a.listing.dir.size() > b.listing.dir.size();
    });
}

void FolderRescan::list(Progress* progress) {
    _time = os::sys().time();
    _recent = false;
    for (Target& t : _targets) {
        ScanFilter filter(_sel);
        listFolder(filter, t.listing, progress);
        for (const FolderListing::Entry& e : t.listing.entries)
            _recent = _recent || e.mtime >= _time;
        if (!t.listing.deep && t.node && !t.listing.failed) reduceListing(t.listing, t.before);
    }
}

bool FolderRescan::apply(TresmoData& tree, MsgList& warnings, std::vector<FolderChange>& again) {
    for (const Target& t : _targets)
        if (t.listing.failed && t.listing.dir == _sel.folder()) return false;
    // A change scan leaves a pending transaction exactly when the root is marked; the newest
    // transaction is otherwise a committed one, perhaps at now itself.
    const bool hadPending = tree.root() && (tree.root()->flags & Node::SUBTREE_CHANGED);
    for (const Target& t : _targets) {
        warnings.insert(warnings.end(), t.listing.warnings.begin(), t.listing.warnings.end());
        if (mergeListing(tree, t.node, t.listing)) {
            char parent[MAX_PATH];
            if (getParentPath(parent, sizeof parent, t.listing.dir.c_str()))
                again.push_back({parent, false});
        }
    }
    const bool pending = markChangedSubtrees(tree);
    if (hadPending) tree.dropPendingTxn();
    tree.moveNow(std::max(tree.now(), _time));
    if (pending) tree.beginTxn(tree.now());
    return true;
}
