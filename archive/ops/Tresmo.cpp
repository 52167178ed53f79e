#include "archive/ops/Tresmo.h"

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaDecoder.h"
#include "archive/delta/DeltaEncoder.h"
#include "archive/objects/ToolConfig.h"
#include "archive/ops/ContentSource.h"
#include "archive/ops/ReadAhead.h"
#include "archive/ops/RecordStream.h"
#include "archive/ops/TxnMeta.h"
#include "archive/os/os.h"
#include "archive/scan/ChangeFinder.h"
#include "archive/scan/ListingPool.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/FileWriter.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgRecovery.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/Progress.h"
#include "archive/support/cfg.h"
#include "archive/support/process.h"
#include "archive/support/tstamp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <span>
#include <unistd.h>
#include <vector>

namespace {

// The storage file of an archive: type 20 and version 10 of the archive layer.
constexpr int32_t STG_TYPE = 20;
constexpr int32_t STG_VERS = 10;

bool isDamage(const Error& e) {
    // A failing disk is not damage.
    return !e.hasCode(9000);
}

FolderSource folderSource;

}  // namespace

Tresmo::Tresmo() : _source(&folderSource) {}

void Tresmo::setContentSource(ContentSource* source) {
    _source = source ? source : &folderSource;
}

Tresmo::~Tresmo() {
    _temp.clear();
}

void Tresmo::setPath(const std::string& path) {
    _stg.reset();
    _readFailed = false;
    _aheadTime = -1;
    _path = path;
    if (!path.empty()) _stg = std::make_unique<StgFile>(path, STG_TYPE, STG_VERS);
}

void Tresmo::clear() {
    setPath("");
    clearData();
    _temp.clear();
}

bool Tresmo::isArchiveFile(const std::string& path) {
    return StgFile::startsWithHeader(path, STG_TYPE);
}

const Version* Tresmo::versionAt(const Node* node, int64_t t) {
    for (const Version* v = node->versions; v; v = v->older)
        if (v->txn->time <= t) return v;
    return nullptr;
}

bool Tresmo::hasRecentChanges() const {
    // Preorder without recursion: down to the first child, else on to the next sibling of the
    // nearest node that has one.
    for (const Node* n = root(); n;) {
        if ((n->flags & Node::CHANGED) && n->kind() == NodeKind::File && n->mtime == now())
            return true;
        if (n->firstChild) {
            n = n->firstChild;
            continue;
        }
        while (n && !n->next)
            n = n->parent;
        if (n) n = n->next;
    }
    return false;
}

bool Tresmo::aheadOfClock() const {
    return _aheadTime >= 0 && os::sys().time() <= _aheadTime;
}

Error Tresmo::aheadError() const {
    return makeError("Tresmo.save.clockBehind", _path, timeText(_aheadTime),
                     timeText(os::sys().time()));
}

bool Tresmo::waitForRecentChanges() const {
    if (!hasRecentChanges()) return false;
    // Bounded: a clock set back meanwhile would keep it waiting.
    for (int i = 0; i < 20 && os::sys().time() <= now(); ++i)
        os::sys().sleepMs(50);
    return true;
}

bool Tresmo::changedOnDisk() const {
    struct stat st;
    return _stg && !_stg->isOpen() && os::sys().stat(_path.c_str(), &st) == 0 &&
           !_stg->holds(static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                        static_cast<uint64_t>(st.st_size));
}

bool Tresmo::read(Progress* progress) {
    if (!_stg) return true;
    // A whole read takes the file as it is now: with what other programs appended since the
    // last one, or another file that was renamed over the name.
    // A caller that holds the file open (and its lock) keeps it open.
    const bool held = _stg->isOpen();
    if (!held) _stg = std::make_unique<StgFile>(_path, STG_TYPE, STG_VERS);
    bool ok = true;
    _aheadTime = -1;
    RecordReplay replay(*this);
    try {
        // Reading shares the file with other readers; only a new archive is made here.
        struct stat st;
        bool found = os::sys().stat(_path.c_str(), &st) == 0;
        if (!found && _reader) throw makeError(systemError(), "StgFile.open.1");
        bool exists = found && st.st_size > 0;
        if (!exists && _reader) throw makeError("StgFile.readFileHeader.1");
        _stg->open(exists ? StgFile::Access::Read : StgFile::Access::Write);
        StgRecovery::Walk w = StgRecovery::walk(*_stg);
        if (w.end < _stg->committedSize()) {
            uint64_t tail = _stg->committedSize() - w.end;
            _stg->keepTail(w.end);
            showMsgs(MsgList{makeMsg("StgFile.recover.1", tail)});
        }
        // An empty archive takes the format its selection asks for at the scan.
        setMetaFormat(false);
        if (_stg->committedSize() != StgFile::FILE_HEADER_LEN) {
            if (progress) progress->expect(0, static_cast<int64_t>(_stg->committedSize()));
            try {
                StgReader r(*_stg, StgFile::FILE_HEADER_LEN, stg::TXN_SEQUENCE | stg::CHECK_CRC);
                r.start();
                replay.run(r);
            } catch (Error& e) {
                if (!isDamage(e)) throw;
                readBeforeDamage(w.links, w.broken ? w.brokenAt : 0, replay.txnCount());
                _readFailed = true;
            }
            applyMeta(w.links, 0);
            noteAhead();
        }
    } catch (Error& e) {
        showError(
            makeError(std::move(e), "Tresmo.read.1", _path, replay.txnCount(), replay.recordNo()));
        ok = false;
    }
    if (!held) ok = closeStorage("Tresmo.read.2") && ok;
    _readFailed = _readFailed || !ok;
    return ok;
}

void Tresmo::readBeforeDamage(const std::vector<uint64_t>& links, uint64_t brokenAt, int begun) {
    // The damaged transaction: the first whose record stream fails its own check, else the
    // one whose records did not replay, else the link that broke the chain.
    size_t k = 0;
    for (; k < links.size(); ++k) {
        try {
            StgRecovery::checkRecordStream(*_stg, links[k]);
        } catch (Error& e) {
            if (!isDamage(e)) throw;
            break;
        }
    }
    if (k == links.size() && !brokenAt && begun > 0) k = static_cast<size_t>(begun - 1);
    const uint64_t at = k < links.size() ? links[k] : brokenAt;
    // Part of the damaged transaction may have been replayed: replay again without it.
    const std::string name = this->name(), base = this->base();
    setNow(now());
    setName(name);
    if (!base.empty()) setBase(base);
    RecordReplay replay(*this);
    replay.stopAt(static_cast<int>(k));
    try {
        StgReader r(*_stg, StgFile::FILE_HEADER_LEN, stg::TXN_SEQUENCE | stg::CHECK_CRC);
        r.start();
        replay.run(r);
    } catch (Error& e) {
        // Reaching for the damaged transaction's link after the last whole one.
        if (!isDamage(e) || replay.txnCount() < static_cast<int>(k)) throw;
    }
    showMsgs(MsgList{
        makeMsg("Tresmo.read.damaged", _path, static_cast<int64_t>(k + 1), std::to_string(at))});
}

std::string Tresmo::tailPath() const {
    int64_t t = os::sys().time();
    struct tm tm;
    char stamp[32];
    if (!os::utcTime(t, tm) || std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm) == 0)
        std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(t));
    return _path + ".tail-" + stamp;
}

bool Tresmo::closeStorage(const char* failureId) {
    try {
        _stg->close();
    } catch (Error& e) {
        showError(makeError(std::move(e), failureId));
        return false;
    }
    return true;
}

bool Tresmo::storageExists() {
    struct stat st;
    if (os::sys().stat(_path.c_str(), &st) == 0) return true;
    showError(makeError(makeError(systemError(), "StgFile.open.1"), "Tresmo.read.1", _path, 0, 0));
    return false;
}

bool Tresmo::repair(std::string* sidePath, Progress* progress) {
    if (sidePath) sidePath->clear();
    if (!_stg) return false;
    // The load below would create a missing file.
    if (!storageExists()) return false;
    // A full load checks every complete transaction; damage stops the repair untouched.
    clearData();
    setNow(std::numeric_limits<int32_t>::max() * int64_t{4});
    if (!name()[0]) setName("archive");
    if (!read(progress)) return false;
    // Damage is not cut: what lies beyond it would go with it.
    if (_readFailed) {
        showError(makeError(makeError("Tresmo.save.notRead", _path), "Tresmo.save.1"));
        return false;
    }
    if (_stg->tailSize() == 0) return true;
    bool ok = true;
    try {
        _stg->open();
        std::string side = _stg->cutTail(tailPath(), progress);
        if (sidePath) *sidePath = side;
    } catch (Error& e) {
        showError(makeError(std::move(e), "Tresmo.save.1"));
        ok = false;
    }
    ok = closeStorage("Tresmo.save.2") && ok;
    return ok;
}

void Tresmo::applyMeta(const std::vector<uint64_t>& links, int32_t firstSeq) {
    std::vector<Txn*> bySeq(txns() ? static_cast<size_t>(txns()->seq + 1) : 0);
    for (Txn* t = txns(); t; t = t->older)
        if (t->seq >= 0 && static_cast<size_t>(t->seq) < bySeq.size())
            bySeq[static_cast<size_t>(t->seq)] = t;
    std::vector<MetaEntry> entries;
    MsgList refused;
    // A forged item may list millions of wrong entries: the first are named, the rest counted.
    constexpr size_t NAMED = 20;
    int64_t unnamed = 0;
    for (size_t k = 0; k < links.size(); ++k) {
        const size_t seq = static_cast<size_t>(firstSeq) + k;
        // Transactions beyond damage were not replayed.
        if (seq >= bySeq.size() || !bySeq[seq]) break;
        try {
            const bool found = txnmeta::read(*_stg, links[k], entries);
            if (seq == 0) setMetaFormat(found);
            if (!found || !metaFormat()) continue;
        } catch (Error& e) {
            if (seq == 0) setMetaFormat(true);
            refused.push_back(makeMsg("Tresmo.read.meta", _path, static_cast<int64_t>(seq + 1),
                                      e.cause ? e.cause->text : e.text));
            continue;
        }
        for (const MetaEntry& e : entries) {
            const char* why = e.refused ? e.refused : placeMeta(e, bySeq[seq]);
            // The contents stay readable: only the entry is left out, and said so.
            if (why && refused.size() < NAMED)
                refused.push_back(makeMsg("Tresmo.read.metaEntry", _path,
                                          static_cast<int64_t>(seq + 1), txnmeta::shownPath(e.path),
                                          why));
            else if (why)
                ++unnamed;
        }
    }
    if (unnamed) refused.push_back(makeMsg("Tresmo.read.metaMore", _path, unnamed));
    if (!refused.empty()) showMsgs(refused);
}

const char* Tresmo::placeMeta(const MetaEntry& e, const Txn* txn) {
    // The version a node has at the transaction (one of that transaction or older).
    auto stateAt = [txn](const Node* n) {
        const Version* v = n->versions;
        while (v && v->txn->seq > txn->seq)
            v = v->older;
        return v;
    };
    Node* n = root();
    for (size_t at = 0; n && at < e.path.size();) {
        const Version* above = stateAt(n);
        if (above && above->kind() == NodeKind::File) return "a path below a file";
        const size_t end = std::min(e.path.find('/', at), e.path.size());
        Node* child;
        n = findChild(std::string_view(e.path).substr(at, end - at), n, child) ? child : nullptr;
        at = end + 1;
    }
    // An entry without a version of its transaction (a file the save left out) is ignored.
    Version* v = n ? n->versions : nullptr;
    while (v && v->txn != txn)
        v = v->older;
    if (!v) return nullptr;
    const NodeKind want = e.kind == MetaEntry::FOLDER ? NodeKind::Folder : NodeKind::File;
    if (v->kind() != want) return "a kind the stored version does not have";
    v->setPerm(e.kind == MetaEntry::LINK ? e.mode | LINK_MODE : e.mode);
    return nullptr;
}

void Tresmo::noteAhead() {
    if (txns() && txns()->time >= os::sys().time()) {
        _aheadTime = txns()->time;
        showMsgs(MsgList{
            makeMsg("Tresmo.read.ahead", _path, timeText(_aheadTime), timeText(os::sys().time()))});
    }
}

bool Tresmo::readNew() {
    if (!_stg || _stg->isOpen() || _readFailed || _stg->committedSize() == 0) return false;
    bool ok = true;
    try {
        _stg->open(StgFile::Access::Read);
        if (_stg->grown()) {
            dropPendingTxn();
            moveNow(os::sys().time());
            replayNew();
            noteAhead();
        }
    } catch (Error&) {
        // Replaced, cut, damaged or unreadable: the whole read that follows says what it is.
        ok = false;
    }
    try {
        _stg->close();
    } catch (Error&) {
        ok = false;
    }
    // A scan that follows compares the folder as it is now with the new transactions.
    if (ok) moveNow(std::max(now(), os::sys().time()));
    return ok;
}

void Tresmo::replayNew() {
    const uint64_t start = _stg->committedSize();
    StgRecovery::Walk w = StgRecovery::walk(*_stg, start, _stg->foundSize());
    _stg->adopt(w.end);
    const int32_t known = txns() ? txns()->seq + 1 : 0;
    RecordReplay replay(*this, true);
    try {
        if (w.end > start) {
            StgReader r(*_stg, start, stg::TXN_SEQUENCE | stg::CHECK_CRC);
            r.start();
            replay.run(r);
        }
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.read.1", _path, known + replay.txnCount(),
                        replay.recordNo());
    }
    applyMeta(w.links, known);
}

void Tresmo::catchUp(Progress* progress) {
    if (_scanned.folder().empty()) throw makeError("Tresmo.save.catchUp", _path);
    // Their saves are done once the lock is ours: nothing they wrote is later than the clock.
    dropPendingTxn();
    moveNow(os::sys().time() + 1);
    replayNew();
    // A transaction in the clock's own second is passed within a second; one further on was
    // saved with a clock ahead of ours, and nothing goes on top of it before ours passes it.
    for (int i = 0; i < 20 && txns() && os::sys().time() <= txns()->time; ++i)
        os::sys().sleepMs(50);
    if (txns() && os::sys().time() <= txns()->time) {
        _aheadTime = txns()->time;
        throw aheadError();
    }
    moveNow(os::sys().time());
    ScanFilter filter(_scanned);
    filter.setMetaFormat(metaFormat());
    MsgList warnings;
    _skipped.clear();
    findChangesIn(*this, filter, warnings, progress, &_skipped);
    if (!warnings.empty()) showMsgs(warnings);
}

bool Tresmo::findChanges(const FileSel& sel, Progress* progress, ListingPool* crawled) {
    _skipped.clear();
    if (sel.folder().empty()) return true;
    _scanned = sel;
    // Until its first transaction an archive has the format its selection chose at init.
    if (!txns()) setMetaFormat(sel.metaFormat());
    ScanFilter filter(sel);
    filter.setMetaFormat(metaFormat());
    MsgList warnings;
    bool ok = true;
    try {
        findChangesIn(*this, filter, warnings, progress, &_skipped, crawled);
    } catch (Error& e) {
        if (!warnings.empty()) showMsgs(warnings);
        showError(makeError(std::move(e), "Tresmo.findChanges", sel.folder()));
        return false;
    }
    if (!warnings.empty()) showMsgs(warnings);
    return ok;
}

bool Tresmo::refresh(const FileSel& sel, int64_t t, const std::string& displayName,
                     Progress* progress) {
    setNow(t);
    if (!sel.folder().empty())
        setBaseAndName(sel.folder().c_str());
    else
        setName(displayName);
    // The folder is listed on other threads while the archive loads: a scan of an unchanged
    // tree is mostly the kernel's work, which need not wait for the archive.
    ListingPool pool;
    if (!sel.folder().empty()) FileFinder::crawl(pool, ScanFilter(sel));
    bool ok = read(progress) && findChanges(sel, progress, &pool);
    updateFolderInfo();
    pruneSelection();
    updateSelectionInfo();
    updateVersionMarks();
    return ok;
}
