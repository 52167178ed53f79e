// rewriteArchive: the states of one archive committed into another by the save.
#include "archive/ops/Rewrite.h"

#include "archive/ops/ContentSource.h"
#include "archive/ops/RecordStream.h"
#include "archive/ops/RestoredContent.h"
#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/scan/ChangeFinder.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgRecovery.h"
#include "archive/support/Progress.h"
#include "archive/support/tstamp.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace {

// A failure the read or a save has shown: HeldErrors holds it.
struct Shown {};

// Holds back the errors that the read and the saves show, so that a rewrite that fails shows
// one chain under its own message; warnings are shown once it is done.
class HeldErrors final : public Presenter {
  public:
    HeldErrors() : _previous(installPresenter(this)) {}
    ~HeldErrors() override { release(); }
    void showError(const Error& e) override {
        if (!first) first = e;
    }
    void showMsgs(const MsgList& list) override {
        _msgs.insert(_msgs.end(), list.begin(), list.end());
    }
    void verifyFailed(const char* file, int line, const char* expr) override {
        release();
        ::verifyFailed(file, line, expr);
    }
    void release() {
        if (_released) return;
        _released = true;
        installPresenter(_previous);
        if (!_msgs.empty()) ::showMsgs(_msgs);
    }
    std::optional<Error> first;

  private:
    Presenter* _previous;
    MsgList _msgs;
    bool _released = false;
};

// The contents of the state being committed, restored from the old archive: the save asks by
// the new tree's node, the marking pass says which stored version that node stands for.
class ArchiveSource final : public ContentSource {
  public:
    explicit ArchiveSource(StgFile& file) : _file(file) {}
    std::unique_ptr<ByteSource> content(const Node* node, const std::string&,
                                        size_t bufSize) override {
        auto it = wanted.find(node);
        VERIFY(it != wanted.end());
        return std::make_unique<RestoredContent>(_file, it->second, bufSize);
    }
    bool reuses(const Node* node) const override { return same.count(node) != 0; }
    std::unordered_map<const Node*, ContentInfo> wanted;
    // Files whose stored content the state keeps, with other permission bits.
    std::unordered_set<const Node*> same;

  private:
    StgFile& _file;
};

std::string fileName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of node below the watched folder.
std::string relPath(const Node* node) {
    std::string path;
    for (const Node* n = node; n && n->parent; n = n->parent)
        path = path.empty() ? std::string(n->name) : std::string(n->name) + "/" + path;
    return path;
}

void syncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    os::syncDir(slash == std::string::npos ? "." : path.substr(0, slash + 1));
}

class Rewriter {
  public:
    Rewriter(const std::string& oldPath, const std::string& tempPath, const RewriteOptions& o,
             RewriteReport& report, Progress* progress)
        : _oldPath(oldPath), _tempPath(tempPath), _opts(o), _report(report), _progress(progress) {
        _folder = o.folder;
        if (_folder.empty()) {
            _folder = "/" + fileName(oldPath);
            if (_folder.size() > 6 && _folder.ends_with(".trsm"))
                _folder.resize(_folder.size() - 5);
        }
    }

    void run() {
        readOld();
        std::vector<const Txn*> txns;
        for (const Txn* t = _old.txns(); t; t = t->older)
            txns.push_back(t);
        std::reverse(txns.begin(), txns.end());
        _report.txnsBefore = static_cast<int32_t>(txns.size());
        size_t first = 0;
        if (_opts.keepLast > 0 && txns.size() > static_cast<size_t>(_opts.keepLast))
            first = txns.size() - static_cast<size_t>(_opts.keepLast);
        if (_opts.keepSince >= 0) {
            while (first < txns.size() && txns[first]->time < _opts.keepSince)
                ++first;
        }
        if (first == txns.size())
            throw makeError("Tresmo.rewrite.keep", _oldPath,
                            timeText(std::max<int64_t>(_opts.keepSince, 0)));
        if (_progress) _progress->expect(static_cast<int64_t>(txns.size() - first), 0);
        ArchiveSource source(*_old.storage());
        _source = &source;
        _new.setContentSource(&source);
        _new.setPath(_tempPath);
        _map.assign(static_cast<size_t>(_old.nextId()), nullptr);
        for (size_t i = first; i < txns.size(); ++i) {
            const int64_t t = txns[i]->time;
            if (i == first) {
                _new.setNow(t);
                _new.setBaseAndName(_folder.c_str());
                if (!_new.read()) throw Shown{};
                // NEW keeps permission bits exactly when OLD does.
                _new.setMetaFormat(_old.metaFormat());
            } else {
                // Moved on first: a transaction left pending by a save that lost versions lies
                // at the clock's time, after every one still to come.
                _new.moveNow(t);
                _new.dropPendingTxn();
            }
            if (markState(t)) {
                SaveStats stats;
                if (!_new.save(_progress, &stats)) throw Shown{};
                _report.versionsKept += stats.files;
                noteLost(t);
            }
            if (_progress) _progress->advance(1, 0);
        }
        for (const Txn* t = _new.txns(); t; t = t->older)
            if (t->time <= txns.back()->time) ++_report.txnsKept;
        _new.setContentSource(nullptr);
        if (!_opts.replace) _old.storage()->close();
    }

    // With replace: checks the new archive whole, then puts it in the old one's place while
    // the old one is still locked.
    void replaceOld(const std::string& newPath) {
        // Every transaction replayed and every version restored, its CRC checked.
        Tresmo check;
        check.setReader(true);
        check.setPath(newPath);
        check.setNow(std::numeric_limits<int32_t>::max() * int64_t{4});
        check.setName("archive");
        check.storage()->open(StgFile::Access::Read);
        if (!check.read()) throw Shown{};
        if (check.readOnly()) throw makeError("Tresmo.rewrite.unverified", newPath);
        for (const Node* n = check.root(); n; n = nextInTree(n, nullptr))
            for (const Version* v = n->versions; v; v = v->older)
                if (const ContentInfo* c = v->content())
                    check.restore(*c, relPath(n), [](std::span<const uint8_t>) {});
        check.storage()->close();
        const std::string before = beforeRewritePath(_oldPath);
        struct stat st;
        if (os::sys().stat(before.c_str(), &st) == 0)
            throw makeError("Tresmo.rewrite.exists", before);
        if (os::sys().rename(_oldPath.c_str(), before.c_str()) != 0)
            throw makeError(systemError(), "Tresmo.rewrite.rename", _oldPath, before);
        if (os::sys().rename(newPath.c_str(), _oldPath.c_str()) != 0) {
            Error failure = makeError(systemError(), "Tresmo.rewrite.rename", newPath, _oldPath);
            // The old archive goes back under its name; the new one stays complete beside it.
            os::sys().rename(before.c_str(), _oldPath.c_str());
            throw failure;
        }
        syncFolderOf(_oldPath);
        _old.storage()->close();
    }

  private:
    void readOld() {
        _old.setReader(true);
        _old.setPath(_oldPath);
        if (_opts.replace) _old.storage()->open(StgFile::Access::Write);
        // Read whole, whatever the transactions' times: no save goes into it.
        _old.setNow(std::numeric_limits<int32_t>::max() * int64_t{4});
        _old.setBaseAndName(_folder.c_str());
        if (!_old.read()) throw Shown{};
        _old.storage()->open(StgFile::Access::Read);
        if (_old.readOnly() && !_old.aheadOfClock()) salvage();
    }

    // The old archive's records are damaged after the transactions read: what each later
    // record stream holds is replayed as far as it can be placed, a damaged one up to its
    // damage. After a damaged link the chain cannot be followed: the rest is not found.
    void salvage() {
        StgFile& file = *_old.storage();
        StgRecovery::Walk w = StgRecovery::walk(file);
        // After a damaged link the chain goes on from the next complete transaction; the
        // damaged one (a 0 among the links) has records that cannot be found.
        for (uint64_t broken = w.broken ? w.brokenAt : 0; broken;) {
            ++_report.txnsUnread;
            const uint64_t next = StgRecovery::findComplete(file, broken + 1, file.committedSize());
            if (!next) break;
            StgRecovery::Walk rest = StgRecovery::walk(file, next);
            w.links.push_back(0);
            w.links.insert(w.links.end(), rest.links.begin(), rest.links.end());
            broken = rest.broken ? rest.brokenAt : 0;
        }
        int32_t read = 0;
        for (const Txn* t = _old.txns(); t; t = t->older)
            ++read;
        _report.damagedAt = read + 1;
        RecordReplay replay(_old);
        replay.salvage();
        for (size_t k = static_cast<size_t>(read); k < w.links.size(); ++k) {
            if (w.links[k] == 0) {
                replay.lostFrom();
                continue;
            }
            try {
                StgReader r(file, w.links[k], stg::TXN_SEQUENCE | stg::CHECK_CRC);
                r.start();
                replay.stopAt(replay.txnCount() + 1);
                replay.run(r);
                _old.applySalvagedMeta(w.links[k]);
            } catch (Error& e) {
                if (e.hasCode(9000)) throw;  // a failing disk is not damage
                replay.lostFrom();
                ++_report.txnsDamaged;
            }
        }
        _report.recordsSkipped = replay.skipped();
        _warnings.push_back(makeMsg("Tresmo.rewrite.damaged", _oldPath, _report.damagedAt,
                                    _report.txnsDamaged + _report.txnsUnread,
                                    _report.recordsSkipped));
    }

    // The new tree's node for a node of the old one, added where the scan would add it.
    Node* counterpart(const Node* o) {
        Node*& n = _map[static_cast<size_t>(o->id)];
        if (n) return n;
        if (!o->parent) {
            n = _new.root() ? _new.root() : _new.addNode(_new.name(), nullptr, nullptr);
            return n;
        }
        Node* parent = _map[static_cast<size_t>(o->parent->id)];
        Node* at;
        if (!_new.findChild(o->name, parent, at)) at = _new.addNode(o->name, parent, at);
        return n = at;
    }

    // Marks the new tree as a scan of a folder holding the old archive's state at t would:
    // every node its kind at t and its time, CHANGED where that differs from what the new
    // archive stores; opens the pending transaction when anything does. False when nothing
    // differs.
    bool markState(int64_t t) {
        for (Node* n = _new.root(); n; n = nextInTree(n, nullptr)) {
            n->flags = 0;
            n->mtime = 0;
        }
        _source->wanted.clear();
        _source->same.clear();
        const bool bits = _new.metaFormat();
        _marked.clear();
        for (const Node* o = _old.root(); o;) {
            const Version* v = Tresmo::versionAt(o, t);
            const NodeKind kind = v ? v->kind() : NodeKind::Absent;
            const ContentInfo* c = v ? v->content() : nullptr;
            if (kind == NodeKind::Absent || (kind == NodeKind::File && !c)) {
                o = nextInTree(o, nullptr, false);
                continue;
            }
            Node* n = counterpart(o);
            const ContentInfo* s = n->versions ? n->versions->content() : nullptr;
            // The bits as a scan would see them; a change of them alone is a change.
            n->mode = v->scanMode();
            const bool otherBits = bits && n->versions && n->versions->scanMode() != n->mode;
            if (kind == NodeKind::Folder) {
                n->flags = static_cast<uint16_t>(NodeKind::Folder);
                if (n->storedKind() != NodeKind::Folder || otherBits) n->flags |= Node::CHANGED;
            } else if (_lost.count(v)) {
                // Known to be lost: the new archive keeps what it stores for the file.
                n->flags = static_cast<uint16_t>(n->storedKind());
                n->mtime = s ? s->mtime : 0;
                if (n->versions) n->mode = n->versions->scanMode();
            } else {
                n->flags = static_cast<uint16_t>(NodeKind::File);
                n->mtime = c->mtime;
                // A file become a link (or back) is stored again, as the save stores it.
                if (!s || s->mtime != c->mtime || s->size != c->size || s->crc != c->crc ||
                    n->versions->isLink() != v->isLink()) {
                    n->flags |= Node::CHANGED;
                    _source->wanted[n] = *c;
                    _marked.push_back({n, o, v});
                } else if (otherBits) {
                    n->flags |= Node::CHANGED;
                    _source->same.insert(n);
                }
            }
            o = nextInTree(o, nullptr, kind == NodeKind::Folder);
        }
        for (Node* n = _new.root(); n; n = nextInTree(n, nullptr))
            if (n->storedKind() != NodeKind::Absent && n->kind() == NodeKind::Absent)
                n->flags |= Node::CHANGED;
        if (!markChangedSubtrees(_new)) return false;
        _new.beginTxn(_new.now());
        return true;
    }

    // The versions the save of the state at t left out: their content could not be restored.
    void noteLost(int64_t t) {
        for (const Marked& m : _marked) {
            const Version* nv = m.node->versions;
            if (nv && nv->txn->time == t && nv->kind() == NodeKind::File) continue;
            _lost.insert(m.version);
            _report.lost.push_back({relPath(m.old), m.version->txn->time});
            _warnings.push_back(makeMsg("Tresmo.rewrite.lostVersion", relPath(m.old),
                                        timeText(m.version->txn->time)));
        }
    }

  public:
    MsgList _warnings;

  private:
    struct Marked {
        Node* node;       // in the new tree
        const Node* old;  // in the old tree
        const Version* version;
    };

    const std::string& _oldPath;
    const std::string& _tempPath;
    const RewriteOptions& _opts;
    RewriteReport& _report;
    Progress* _progress;
    std::string _folder;
    Tresmo _old, _new;
    ArchiveSource* _source = nullptr;
    std::vector<Node*> _map;  // the new tree's node of each old node, by the old node's id
    std::unordered_set<const Version*> _lost;
    std::vector<Marked> _marked;
};

int64_t fileSize(const std::string& path) {
    struct stat st;
    return os::sys().stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

}  // namespace

std::string beforeRewritePath(const std::string& oldPath) {
    return oldPath + ".before-rewrite";
}

bool rewriteArchive(const std::string& oldPath, const std::string& newPath,
                    const RewriteOptions& options, RewriteReport& report, Progress* progress) {
    report = RewriteReport{};
    const std::string temp = newPath + ".rewrite-part";
    bool made = false;
    std::optional<Error> failure;
    HeldErrors held;
    try {
        struct stat o, n;
        if (os::sys().stat(oldPath.c_str(), &o) != 0)
            throw makeError(makeError(systemError(), "StgFile.open.1"), "Tresmo.read.1", oldPath, 0,
                            0);
        // An empty file opened for the lock would be given a header.
        if (o.st_size < static_cast<off_t>(StgFile::FILE_HEADER_LEN))
            throw makeError(makeError("StgFile.readFileHeader.1"), "Tresmo.read.1", oldPath, 0, 0);
        if (os::sys().stat(newPath.c_str(), &n) == 0) {
            if (n.st_dev == o.st_dev && n.st_ino == o.st_ino)
                throw makeError("Tresmo.rewrite.same", oldPath, newPath);
            if (!options.force) throw makeError("Tresmo.rewrite.exists", newPath);
        }
        if (os::sys().stat(temp.c_str(), &n) == 0) throw makeError("Tresmo.rewrite.exists", temp);
        report.bytesBefore = static_cast<int64_t>(o.st_size);
        Rewriter rewriter(oldPath, temp, options, report, progress);
        made = true;
        rewriter.run();
        if (os::sys().rename(temp.c_str(), newPath.c_str()) != 0)
            throw makeError(systemError(), "Tresmo.rewrite.rename", temp, newPath);
        made = false;
        syncFolderOf(newPath);
        report.bytesAfter = fileSize(newPath);
        if (options.replace) rewriter.replaceOld(newPath);
        if (!rewriter._warnings.empty()) ::showMsgs(rewriter._warnings);
    } catch (Error& e) {
        failure = std::move(e);
    } catch (Shown&) {
        failure = std::move(held.first);
        if (!failure) failure = makeError("Tresmo.save.1");
    }
    held.release();
    if (!failure) return true;
    if (made) os::sys().unlink(temp.c_str());
    ::showError(makeError(std::move(*failure), "Tresmo.rewrite.1", oldPath, newPath));
    return false;
}
