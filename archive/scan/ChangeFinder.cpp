#include "archive/scan/ChangeFinder.h"

#include "archive/os/os.h"
#include "archive/support/Progress.h"

#include <algorithm>
#include <cstring>
#include <sys/stat.h>
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

// What a scan of its folder finds again, beneath top (and top itself with withTop): nothing yet.
// A node keeps its selection mark, which the views' selection pass owns.
void forget(Node* top, bool withTop) {
    forEachInSubtree(top, [top, withTop](Node* n) {
        if (n == top && !withTop) return;
        n->flags &= Node::SELECTED;
        n->mtime = 0;
    });
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
        if (_tree.metaFormat()) {
            // The walker has not moved in yet; a listing gives no bits of the folder itself.
            struct stat st;
            char path[MAX_PATH];
            n->mode = printFileName(path, sizeof path, name) && os::sys().stat(path, &st) == 0
                          ? static_cast<uint16_t>(st.st_mode & 07777)
                      : n->versions ? n->versions->perm()
                                    : defaultMode(NodeKind::Folder);
            if (n->versions && n->versions->kind() == NodeKind::Folder &&
                n->versions->perm() != n->mode)
                n->flags |= Node::CHANGED;
        }
        _cursor = n;
        _last = nullptr;
    }
    void onExitDir() override {
        _last = _cursor;
        _cursor = _cursor ? _cursor->parent : nullptr;
    }
    void found(const char* name, int64_t mtime, uint16_t mode, int64_t size) override {
        Node* n = seen(name, NodeKind::File);
        n->mtime = mtime;
        n->mode = mode;
        n->size = static_cast<uint32_t>(size);
        const Version* v = n->versions;
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c || c->mtime != storedTime(mtime)) n->flags |= Node::CHANGED;
        // Bits alone, or a file that became a link or the other way round.
        if (c && _tree.metaFormat() && v->scanMode() != mode) n->flags |= Node::CHANGED;
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

  public:
    // Walks the entries of a listing as the scan met them; gives the kept subfolders' nodes.
    std::vector<Node*> replay(const FolderListing& listing) {
        std::vector<Node*> kept;
        for (const FolderListing::Entry& e : listing.entries) {
            VERIFY(goTo(e.dir.c_str()));
            if (e.kind == FolderListing::Entry::Kind::Found) {
                found(e.name.c_str(), e.mtime, e.mode, e.size);
            } else if (e.kind == FolderListing::Entry::Kind::Entered) {
                char sub[MAX_PATH];
                VERIFY(buildFilePath(sub, sizeof sub, e.dir.c_str(), e.name.c_str()));
                VERIFY(goTo(sub));
            } else if (e.kind == FolderListing::Entry::Kind::SkippedDir) {
                skippedDir(e.name.c_str());
            } else {
                // Seen before and as it was: only the letter case of its name may be new.
                Node* n;
                if (!_tree.findChild(e.name, _cursor, n)) continue;
                std::memcpy(const_cast<char*>(n->name), e.name.c_str(), e.name.size());
                kept.push_back(n);
            }
        }
        return kept;
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
            // A folder that is a file now: a merged listing finds what was seen beneath it.
            if (kind == NodeKind::File && n->kind() == NodeKind::Folder) forget(n, false);
        } else {
            n = _tree.addNode(name, _cursor, n);
        }
        n->flags = static_cast<uint16_t>(static_cast<uint16_t>(kind) | (n->flags & Node::SELECTED));
        if (kind == NodeKind::Folder) n->mtime = 0;  // a file's time goes with the file
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

// Records a scan for a FolderListing.
class Lister final : public FileFinder {
  public:
    Lister(ScanFilter& filter, FolderListing& listing, Progress* progress)
        : FileFinder(filter), _l(listing), _progress(progress) {}

  protected:
    // Only where the walker goes into every folder (archives with file metadata).
    void onEnterDir(const char* name) override {
        if (filter().metaFormat())
            _l.entries.push_back({FolderListing::Entry::Kind::Entered, dir(), name, 0});
    }
    void found(const char* name, int64_t mtime, uint16_t mode, int64_t size) override {
        _l.entries.push_back({FolderListing::Entry::Kind::Found, dir(), name, mtime, mode, size});
        if (_progress) _progress->checkCancel();
    }
    void skipped(Msg msg, const std::string&, const os::DirEntry&) override {
        _l.warnings.push_back(std::move(msg));
    }
    void skippedDir(const char* name) override {
        _l.entries.push_back({FolderListing::Entry::Kind::SkippedDir, dir(), name, 0});
    }
    bool descend(const std::string& dir, const std::string& name) override {
        if (_l.deep || dir != _l.dir ||
            std::none_of(_l.kept.begin(), _l.kept.end(),
                         [&](const std::string& k) { return compareNames(k, name) == 0; }))
            return true;
        _l.entries.push_back({FolderListing::Entry::Kind::Kept, dir, name, 0});
        return false;
    }

  private:
    FolderListing& _l;
    Progress* _progress;
};

// Marks what is stored but was not seen, beneath top and top itself, as gone.
void markGone(Node* top) {
    forEachInSubtree(top, [](Node* n) {
        NodeKind k = n->storedKind();
        if (k != NodeKind::Absent && n->kind() == NodeKind::Absent) n->flags |= Node::CHANGED;
    });
}

}  // namespace

void listFolder(ScanFilter& filter, FolderListing& listing, Progress* progress) {
    listing.entries.clear();
    listing.warnings.clear();
    listing.failed = false;
    Lister lister(filter, listing, progress);
    lister.setDir(listing.dir.c_str());
    try {
        lister.find(listing.dir.c_str());
    } catch (Error& e) {
        if (!e.hasCode(9000)) throw;
        listing.failed = true;
        listing.entries.clear();
    }
}

std::vector<SeenChild> seenChildren(const Node* dir) {
    std::vector<SeenChild> out;
    for (Node* c = dir->firstChild; c; c = c->next)
        out.push_back({c->name, c->kind(), c->mtime, c, c->mode});
    return out;
}

void reduceListing(FolderListing& listing, const std::vector<SeenChild>& before) {
    using Kind = FolderListing::Entry::Kind;
    listing.reduced = true;
    listing.entered = !listing.entries.empty();
    listing.gone.clear();
    // Both lists are in the tree's name order: one walk pairs them.
    size_t k = 0;
    auto passTo = [&](const std::string* name) {
        for (; k < before.size() && (!name || compareNames(before[k].name, *name) < 0); ++k)
            if (before[k].kind != NodeKind::Absent) listing.gone.push_back(before[k].node);
    };
    std::vector<FolderListing::Entry> kept;
    for (FolderListing::Entry& e : listing.entries) {
        if (e.dir == listing.dir && e.kind != Kind::SkippedDir) {
            passTo(&e.name);
            if (k < before.size() && compareNames(before[k].name, e.name) == 0) {
                const SeenChild& c = before[k++];
                const bool same =
                    c.name == e.name &&
                    (e.kind == Kind::Kept || e.kind == Kind::Entered
                         ? c.kind == NodeKind::Folder
                         : c.kind == NodeKind::File && c.mtime == e.mtime && c.mode == e.mode);
                if (same) continue;
            }
        }
        kept.push_back(std::move(e));
    }
    passTo(nullptr);
    listing.entries = std::move(kept);
}

bool mergeListing(TresmoData& tree, Node* top, const FolderListing& listing) {
    const bool wasSeen = top && top->kind() == NodeKind::Folder;
    std::vector<Node*> oldDirs;
    if (top && listing.deep) {
        forget(top, true);
    } else if (top && listing.reduced) {
        for (Node* n : listing.gone)
            forget(n, true);
        if (!listing.entered) {
            top->flags &= Node::SELECTED;
            top->mtime = 0;
        }
    } else if (top) {
        top->flags &= Node::SELECTED;
        top->mtime = 0;
        for (Node* c = top->firstChild; c; c = c->next) {
            if (c->kind() == NodeKind::Folder) {
                oldDirs.push_back(c);
            } else {
                c->flags &= Node::SELECTED;
                c->mtime = 0;
            }
        }
    }
    FileSel none;
    ScanFilter unused(none);
    MsgList warnings;
    ChangeFinder finder(tree, unused, warnings, nullptr, nullptr);
    char parent[MAX_PATH];
    VERIFY(getParentPath(parent, sizeof parent, listing.root.c_str()));
    finder.setDir(parent);
    if (listing.reduced && listing.entered) VERIFY(finder.goTo(listing.dir.c_str()));
    std::vector<Node*> kept = finder.replay(listing);
    // A subfolder seen before and not found again is gone, or no longer taken.
    for (Node* d : oldDirs)
        if (d->kind() == NodeKind::Folder && std::find(kept.begin(), kept.end(), d) == kept.end())
            forget(d, true);
    if (Node* from = top ? top : tree.root()) markGone(from);
    return wasSeen && top->kind() != NodeKind::Folder && top->parent;
}

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
                   std::vector<std::string>* skippedPaths, ListingPool* crawled) {
    forEachInSubtree(tree.root(), [](Node* n) {
        n->flags = 0;
        n->mtime = 0;
    });
    ChangeFinder finder(tree, filter, warnings, progress, skippedPaths);
    char parent[MAX_PATH];
    VERIFY(getParentPath(parent, sizeof parent, filter.root().c_str()));
    finder.setDir(parent);
    finder.find(nullptr, crawled);
    // What is stored but was not seen is gone, with everything beneath it.
    markGone(tree.root());
    if (markChangedSubtrees(tree)) tree.beginTxn(tree.now());
}
