// The save: the commit walker, and the import of one file whole or as a delta.
#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaEncoder.h"
#include "archive/ops/ContentSource.h"
#include "archive/ops/DeltaAhead.h"
#include "archive/ops/ReadAhead.h"
#include "archive/ops/RecordStream.h"
#include "archive/ops/Tresmo.h"
#include "archive/ops/TxnMeta.h"
#include "archive/os/os.h"
#include "archive/scan/ChangeFinder.h"
#include "archive/scan/DirWalker.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/Progress.h"
#include "archive/support/cfg.h"

#include <memory>
#include <vector>

namespace {

constexpr size_t READ_BUFFER = 1048576;

const int32_t* diffMinSize = intSetting("Tresmo.diffMinSize", 1024, 0);
const double* diffMaxSeg = doubleSetting("Tresmo.diffMaxSeg", 0.001953125);
const double* diffMaxNew = doubleSetting("Tresmo.diffMaxNew", 0.25);

// The newest full version a delta may be taken against, when the deltas stored since it do
// not yet take more room than it.
const ContentInfo* deltaBase(const Node* node) {
    // A link's target is stored whole; nor is a file taken as the delta of a link's target.
    if (node->mode & LINK_MODE || (node->versions && node->versions->isLink())) return nullptr;
    double deltas = 0;
    for (const Version* v = node->versions; v; v = v->older) {
        const ContentInfo* c = v->content();
        if (!c || c->pos == 0) continue;
        if (c->diffPos == 0) return deltas <= c->storedSize ? c : nullptr;
        deltas += ownStoredSize(v);
    }
    return nullptr;
}

// What keeps one file out of a save but not the others: it could not be opened or read, or it
// changed while it was read or in the refresh's own second. A failure of the archive itself
// (or a cancel) fails the whole save.
bool isFileFailure(const Error& e) {
    bool file = false;
    for (const Error* c = &e; c; c = c->cause.get()) {
        // A stored version a rewrite cannot restore is lost, whatever broke in its archive.
        if (c->code == 2045) return true;
        if (c->code >= 3000 && c->code < 3500) return false;
        file |= (c->code >= 3600 && c->code <= 3604) || c->code == 2014 || c->code == 2022 ||
                c->code == 2024;
    }
    return file;
}

}  // namespace

class Tresmo::Save final : public DirWalker {
  public:
    Save(Tresmo& t, Progress* progress, SaveStats& stats)
        : _t(t),
          _progress(progress),
          _stats(stats),
          // The records grow by a few bytes per file over the whole save: a thread of their own
          // would mostly wait, spinning, beside the two that code the files.
          _records(nullptr, stg::TXN_SEQUENCE, false),
          _rec(t, _records) {}

    void run() {
        expectChanged();
        // First, at the transaction's start: readers of contents alone pass over it.
        if (_t.metaFormat()) txnmeta::write(*_t._stg, metaEntries());
        std::vector<ReadAhead::File> files;
        std::vector<DeltaAhead::File> deltas;
        if (_t.root()) listFiles(_t.root(), files, deltas);
        _ahead = std::make_unique<ReadAhead>(std::move(files), _t.contentSource());
        _bases = std::make_unique<DeltaAhead>(std::move(deltas), *_t._stg);
        _records.begin();
        _rec.beginTxn(_t.now());
        char base[MAX_PATH];
        VERIFY(_t.printPath(base, sizeof base, nullptr));
        setDir(base);
        if (_t.root()) saveR(_t.root(), nullptr);
        if (!_warnings.empty()) showMsgs(_warnings);
        // A transaction that would record no change is not written.
        if (_changes == 0) {
            _t._stg->rollback();
        } else {
            _records.finish();
            _records.writeTo(*_t._stg);
            _t._stg->commit();
            _committed = true;
            if (_t.metaFormat()) keepModes();
        }
        markChangedSubtrees(_t);
    }
    bool committed() const { return _committed; }

  private:
    // The files this save reads and their sizes as the scan saw them: the progress' total
    // (a stat of each would cost a first save of 100,000 files a fifth of a second). A
    // rewrite counts transactions instead.
    void expectChanged() {
        if (!_progress || !_t.contentSource().live()) return;
        int64_t files = 0, bytes = 0;
        Node* root = _t.root();
        for (Node* n = root; n; n = nextInTree(n, root, n->flags & Node::SUBTREE_CHANGED)) {
            if (!(n->flags & Node::CHANGED) || n->kind() != NodeKind::File) continue;
            ++files;
            bytes += n->size;
        }
        _progress->expect(files, bytes);
    }

    // Every node that may get a version in this transaction (what changed and the folders
    // above it) whose bits are not its kind's default; an entry that ends up without a version
    // is ignored by the reader.
    std::vector<MetaEntry> metaEntries() const {
        std::vector<MetaEntry> out;
        std::vector<std::string> path{""};
        Node* root = _t.root();
        for (Node* n = root; n; n = nextInTree(n, root, n->flags & Node::SUBTREE_CHANGED)) {
            if (!(n->flags & Node::SUBTREE_CHANGED)) continue;
            size_t depth = 0;
            for (const Node* a = n; a != root; a = a->parent)
                ++depth;
            path.resize(depth + 1);
            if (n != root) path[depth] = (depth > 1 ? path[depth - 1] + "/" : "") + n->name;
            const NodeKind k = n->kind();
            if (k == NodeKind::Absent || n->mode == defaultMode(k)) continue;
            const uint8_t kind = k == NodeKind::Folder ? MetaEntry::FOLDER
                                 : n->mode & LINK_MODE ? MetaEntry::LINK
                                                       : MetaEntry::FILE;
            out.push_back({path[depth], kind, static_cast<uint16_t>(n->mode & 07777)});
        }
        return out;
    }

    // The versions this transaction gave get the bits the scan saw, as a reload reads them.
    void keepModes() {
        Node* root = _t.root();
        for (Node* n = root; n; n = nextInTree(n, root, n->flags & Node::SUBTREE_CHANGED))
            if (n->versions && n->versions->txn == _t.txns() && n->kind() != NodeKind::Absent &&
                n->kind() == n->storedKind())
                n->versions->setPerm(n->mode);
    }

    // A file whose content the scan found as stored, changed in its bits alone. (A rewrite
    // decides by its own versions, which may share a time.)
    const ContentInfo* sameContent(const Node* node) const {
        if (!_t.metaFormat()) return nullptr;
        const ContentInfo* c = node->versions ? node->versions->content() : nullptr;
        if (!c) return nullptr;
        const ContentSource& source = _t.contentSource();
        if (!source.live()) return source.reuses(node) ? c : nullptr;
        const bool link = node->mode & LINK_MODE;
        return c->mtime == storedTime(node->mtime) && node->versions->isLink() == link ? c
                                                                                       : nullptr;
    }

    void fileDone() {
        if (_progress && _t.contentSource().live()) _progress->advance(1, 0);
    }

    void saveR(Node* node, Node* after) {
        if (_progress) _progress->checkCancel();
        if (node->flags & Node::CHANGED) {
            if (node->kind() == NodeKind::Absent) {
                _rec.delSubtree(node);
                _t.delSubtree(node);
                ++_stats.removed;
                ++_changes;
            } else if (node->kind() == NodeKind::Folder) {
                if (!node->versions) _rec.addNode(node, after);
                _rec.updFolder(node);
                _t.updNode(node, NodeKind::Folder, nullptr);
                ++_changes;
            } else {
                // A folder that became a file: what it held is gone in this transaction.
                for (Node* c = node->firstChild; c; c = c->next) {
                    if (c->storedKind() == NodeKind::Absent) continue;
                    _rec.delSubtree(c);
                    _t.delSubtree(c);
                    ++_stats.removed;
                    ++_changes;
                }
                saveFile(node, after);
            }
        }
        if (node->kind() == NodeKind::Folder) {
            VERIFY(enterDir(node->name));
            Node* prev = nullptr;
            for (Node* c = node->firstChild; c; c = c->next) {
                saveR(c, prev);
                // A new file left out is not in the archive: the next is added after the one
                // before it.
                if (c->versions) prev = c;
            }
            VERIFY(exitDir());
        }
    }

    void saveFile(Node* node, Node* after) {
        char path[MAX_PATH];
        VERIFY(printFileName(path, sizeof path, node->name));
        const uint64_t start = _t._stg->end();
        ContentInfo c;
        c.mtime = node->mtime;
        bool delta = false;
        if (const ContentInfo* same = sameContent(node)) {
            // The new version names the stored content again: nothing is read or written.
            c = *same;
            ++_changes;
            _rec.updFile(node, c);
            _t.updNode(node, NodeKind::File, &c);
            ++_stats.files;
            fileDone();
            return;
        }
        try {
            // A file written in the second the refresh started may still be changing; one
            // from a clock ahead of ours is saved with its time, and said so.
            const bool live = _t.contentSource().live();
            if (live && node->mtime == _t.now()) throw makeError("Tresmo.Save.saveR.1", path);
            if (live && node->mtime > _t.now())
                _warnings.push_back(
                    makeMsg("Tresmo.save.ahead", path, std::to_string(node->mtime - _t.now())));
            if (const ContentInfo* base = deltaBase(node)) {
                c.pos = base->pos;
                c.size = base->size;
                delta = _t.importDiff(node, path, c, *_bases, _progress);
            }
            if (!delta && _ahead->take(node, path, *_t._stg, c)) {
                if (_progress) _progress->advance(0, c.size);
            } else if (!delta) {
                c = ContentInfo{};
                c.mtime = node->mtime;
                _t.importFile(node, path, c, _progress);
            }
        } catch (Error& e) {
            if (!isFileFailure(e)) throw;
            // Left out of this save, with nothing of it in the archive; it stays pending.
            _t._stg->rewind(start);
            const Error* reason = &e;
            while (reason->cause)
                reason = reason->cause.get();
            // A rewrite lists the versions it could not restore itself.
            if (_t.contentSource().live())
                _warnings.push_back(makeMsg("Tresmo.save.leftOut", path, reason->text));
            ++_stats.leftOut;
            fileDone();
            return;
        }
        if (!node->versions) _rec.addNode(node, after);
        ++_changes;
        c.mtime = storedTime(c.mtime);
        _rec.updFile(node, c);
        _t.updNode(node, NodeKind::File, &c);
        ++_stats.files;
        fileDone();
        if (delta) ++_stats.deltas;
        _stats.bytesRead += c.size;
    }

    // The files stored whole (new, or without a version a delta could be taken against) and
    // those stored as deltas, in the order saveR meets them.
    void listFiles(Node* node, std::vector<ReadAhead::File>& whole,
                   std::vector<DeltaAhead::File>& deltas) {
        char path[MAX_PATH];
        if ((node->flags & Node::CHANGED) && node->kind() == NodeKind::File && !sameContent(node)) {
            if (const ContentInfo* base = deltaBase(node))
                deltas.push_back({node, base->pos, static_cast<uint32_t>(base->size)});
            else if (_t.printPath(path, sizeof path, node))
                whole.push_back({node, path});
        }
        if (node->kind() == NodeKind::Folder)
            for (Node* c = node->firstChild; c; c = c->next)
                listFiles(c, whole, deltas);
    }

    Tresmo& _t;
    Progress* _progress;
    SaveStats& _stats;
    StgWriter _records;
    RecordWriter<StgWriter> _rec;
    std::unique_ptr<ReadAhead> _ahead;
    std::unique_ptr<DeltaAhead> _bases;
    MsgList _warnings;
    int _changes = 0;  // records beyond the transaction's begin
    bool _committed = false;
};

bool Tresmo::save(Progress* progress, SaveStats* stats) {
    if (!_stg) return false;
    SaveStats local;
    SaveStats& s = stats ? *stats : local;
    s = SaveStats{};
    bool ok = true;
    try {
        // What lies beyond a part that could not be read would be lost to a save on top.
        if (_readFailed) throw makeError("Tresmo.save.notRead", _path);
        if (aheadOfClock()) throw aheadError();
        _stg->open();
        if (_stg->grown()) catchUp(progress);
        if (_stg->tailSize() > 0) _stg->cutTail(tailPath(), progress);
        uint64_t before = _stg->committedSize();
        // Another program may have saved the very changes already.
        if (root() && (root()->flags & Node::SUBTREE_CHANGED)) {
            Save walker(*this, progress, s);
            walker.run();
            if (!walker.committed()) dropPendingTxn();
        }
        s.bytesStored = static_cast<int64_t>(_stg->committedSize() - before);
    } catch (Error& e) {
        try {
            _stg->rollback();
        } catch (Error&) {
            // The open of the next save notices and reports a tail it could not cut.
        }
        showError(makeError(std::move(e), "Tresmo.save.1"));
        ok = false;
    }
    ok = closeStorage("Tresmo.save.2") && ok;
    // A reload in the transaction's own second would find a transaction at its load time.
    // Bounded to a second: a clock set back meanwhile would keep it waiting for hours.
    for (int i = 0; ok && i < 20 && os::sys().time() <= now(); ++i)
        os::sys().sleepMs(50);
    // What the save left out stays pending, for a later save at a later time.
    if (ok && s.leftOut > 0) {
        moveNow(os::sys().time());
        if (markChangedSubtrees(*this)) beginTxn(now());
    }
    return ok;
}

void Tresmo::importFile(const Node* node, const char* path, ContentInfo& content,
                        Progress* progress) {
    try {
        std::unique_ptr<ByteSource> source = _source->content(node, path, READ_BUFFER);
        ByteSource& r = *source;
        r.open();
        if (content.mtime != 0 && content.mtime < r.mtime()) throw makeError("Tresmo.importFile.1");
        if (r.size() == 0) {
            r.close();
            if (r.changedWhileRead()) throw makeError("Tresmo.importFile.1");
            content = ContentInfo{};
            content.mtime = r.mtime();
            return;
        }
        // A file of one block never wakes the encoder's second thread; one thread codes with
        // larger tables.
        StgWriter w(_stg.get(), stg::FILE_CONTENT, r.size() > lz::BLOCK_SIZE);
        w.begin();
        while (r.len() > 0) {
            if (progress) progress->checkCancel();
            size_t n = r.len();
            w.writeBytes(std::span<const uint8_t>(r.buffer(), n));
            if (progress) progress->advance(0, static_cast<int64_t>(n));
            r.shift(n);
        }
        w.finish();
        uint32_t crc = r.close();
        if (r.changedWhileRead()) throw makeError("Tresmo.importFile.1");
        content.pos = static_cast<uint32_t>(w.itemStart());
        content.diffPos = 0;
        content.storedSize = static_cast<int32_t>(w.itemEnd() - w.itemStart());
        content.size = static_cast<int32_t>(r.size());
        content.mtime = r.mtime();
        content.crc = crc;
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.importFile", path);
    }
}

bool Tresmo::importDiff(const Node* node, const char* path, ContentInfo& content, DeltaAhead& bases,
                        Progress* progress) {
    try {
        std::unique_ptr<ByteSource> source = _source->content(node, path, READ_BUFFER);
        ByteSource& r = *source;
        r.open();
        if (content.mtime != 0 && content.mtime < r.mtime()) throw makeError("Tresmo.importDiff.1");
        if (static_cast<int64_t>(r.size()) < *diffMinSize) return false;
        DeltaAhead::Image indexed =
            bases.take(node, content.pos, static_cast<uint32_t>(content.size));
        DataImage& image = *indexed.image;
        auto consumed = [&](size_t n) {
            if (!progress) return;
            progress->advance(0, static_cast<int64_t>(n));
            progress->checkCancel();
        };
        auto w = std::make_unique<StgWriter>(_stg.get(), stg::FILE_DIFF);
        w->begin();
        if (!delta::encodeDelta(r, image, *w, delta::budgetFor(r.size(), *diffMaxSeg, *diffMaxNew),
                                consumed)) {
            // An abandoned delta leaves nothing: the whole content is written where it began,
            // once the writer (and its coder's second thread) has let go of the file.
            const uint64_t start = w->itemStart();
            w.reset();
            _stg->rewind(start);
            return false;
        }
        w->finish();
        uint32_t crc = r.close();
        if (r.changedWhileRead()) throw makeError("Tresmo.importDiff.1");
        content.diffPos = static_cast<uint32_t>(w->itemStart());
        content.storedSize = static_cast<int32_t>(w->itemEnd() - w->itemStart());
        content.size = static_cast<int32_t>(r.size());
        content.mtime = r.mtime();
        content.crc = crc;
        return true;
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.importDiff", path);
    }
}
