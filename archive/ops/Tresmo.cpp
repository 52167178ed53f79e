#include "archive/ops/Tresmo.h"

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaDecoder.h"
#include "archive/delta/DeltaEncoder.h"
#include "archive/objects/ToolConfig.h"
#include "archive/ops/ReadAhead.h"
#include "archive/ops/RecordStream.h"
#include "archive/os/os.h"
#include "archive/scan/ChangeFinder.h"
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
constexpr size_t READ_BUFFER = 1048576;
// A restored file is written in pieces of this size. Small pieces (a kilobyte) cost a system
// call each, and most of an export's time goes to the kernel.
constexpr size_t WRITE_BUFFER = 65536;
constexpr size_t COPY_CHUNK = 65536;

const int32_t* diffMinSize = intSetting("Tresmo.diffMinSize", 1024);
const double* diffMaxSeg = doubleSetting("Tresmo.diffMaxSeg", 0.001953125);
const double* diffMaxNew = doubleSetting("Tresmo.diffMaxNew", 0.25);

// The newest full version a delta may be taken against, when the deltas stored since it do
// not yet take more room than it.
const ContentInfo* deltaBase(const Node* node) {
    double deltas = 0;
    for (const Version* v = node->versions; v; v = v->older) {
        const ContentInfo* c = v->content();
        if (!c || c->pos == 0) continue;
        if (c->diffPos == 0) return deltas <= c->storedSize ? c : nullptr;
        deltas += c->storedSize;
    }
    return nullptr;
}

// A stored name that would lead an export out of its target folder.
bool isUnsafeName(const char* name) {
    return name[0] == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
           std::strchr(name, '/') != nullptr;
}

// A full-content item as the base of a delta: read once from the front to index it, then by
// seeks to confirm matches and to copy ranges when a delta version is restored.
class StgBase final : public BaseSource {
  public:
    StgBase(StgFile& file, uint32_t pos) : _r(file, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS) {}
    void start() override {
        if (_started) {
            _r.lzReader().seek(0);
            return;
        }
        _r.start();
        _started = true;
    }
    void seek(uint32_t pos) override {
        if (!_started) start();
        _r.lzReader().seek(pos);
    }
    uint8_t readByte() override { return _r.readByte(); }

  private:
    StgReader _r;
    bool _started = false;
};

// Beside the archive: "NAME.tail-YYYYMMDD-HHMMSS" in UTC.
std::string tailPath(const std::string& archive, int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char stamp[32];
    if (!gmtime_r(&tt, &tm) || std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm) == 0)
        std::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(t));
    return archive + ".tail-" + stamp;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The commit: walks the tree depth first, stores each changed file and writes the records.

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
        std::vector<ReadAhead::File> files;
        if (_t.root()) listNewFiles(_t.root(), files);
        _ahead = std::make_unique<ReadAhead>(std::move(files));
        _records.begin();
        _rec.beginTxn(_t.now());
        char base[MAX_PATH];
        VERIFY(_t.printPath(base, sizeof base, nullptr));
        setDir(base);
        if (_t.root()) saveR(_t.root(), nullptr);
        _records.finish();
        _records.writeTo(*_t._stg);
        _t._stg->commit();
        markChangedSubtrees(_t);
    }

  private:
    void saveR(Node* node, Node* after) {
        if (_progress) _progress->checkCancel();
        if (node->flags & Node::CHANGED) {
            if (node->kind() == NodeKind::Absent) {
                _rec.delSubtree(node);
                _t.delSubtree(node);
                ++_stats.removed;
            } else {
                if (!node->versions) _rec.addNode(node, after);
                if (node->kind() == NodeKind::Folder) {
                    _rec.updFolder(node);
                    _t.updNode(node, NodeKind::Folder, nullptr);
                } else {
                    saveFile(node);
                }
            }
        }
        if (node->kind() == NodeKind::Folder) {
            VERIFY(enterDir(node->name));
            Node* prev = nullptr;
            for (Node* c = node->firstChild; c; c = c->next) {
                saveR(c, prev);
                prev = c;
            }
            VERIFY(exitDir());
        }
    }

    void saveFile(Node* node) {
        char path[MAX_PATH];
        VERIFY(printFileName(path, sizeof path, node->name));
        // A file written in the second the refresh started may still be changing.
        if (node->mtime >= _t.now()) throw makeError("Tresmo.Save.saveR.1", path);
        ContentInfo c;
        c.mtime = node->mtime;
        bool delta = false;
        if (const ContentInfo* base = deltaBase(node)) {
            c.pos = base->pos;
            c.size = base->size;
            delta = _t.importDiff(path, c, _progress);
        }
        if (!delta && _ahead->take(node, path, *_t._stg, c)) {
            if (_progress) _progress->advance(0, c.size);
        } else if (!delta) {
            c = ContentInfo{};
            c.mtime = node->mtime;
            _t.importFile(path, c, _progress);
        }
        c.mtime = storedTime(c.mtime);
        _rec.updFile(node, c);
        _t.updNode(node, NodeKind::File, &c);
        ++_stats.files;
        if (delta) ++_stats.deltas;
        _stats.bytesRead += c.size;
    }

    // The files stored whole (new, or without a version a delta could be taken against), in
    // the order saveR meets them.
    void listNewFiles(Node* node, std::vector<ReadAhead::File>& out) {
        char path[MAX_PATH];
        if ((node->flags & Node::CHANGED) && node->kind() == NodeKind::File && !deltaBase(node) &&
            _t.printPath(path, sizeof path, node))
            out.push_back({node, path});
        if (node->kind() == NodeKind::Folder)
            for (Node* c = node->firstChild; c; c = c->next)
                listNewFiles(c, out);
    }

    Tresmo& _t;
    Progress* _progress;
    SaveStats& _stats;
    StgWriter _records;
    RecordWriter<StgWriter> _rec;
    std::unique_ptr<ReadAhead> _ahead;
};

// ---------------------------------------------------------------------------------------------
// The export: restores a folder or a file as it was at the end of the range. It walks the
// target with folder descriptors and never follows a symbolic link it meets there.

class Tresmo::Export final : public DirWalker {
  public:
    Export(Tresmo& t, const std::string& target, Progress* progress)
        : DirWalker(target.c_str()), _t(t), _progress(progress) {
        _fd = os::sys().open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (_fd < 0) {
            Error cause = systemError();
            throw makeError(std::move(cause), "Tresmo.Export.exportDir", target, "");
        }
    }
    ~Export() override {
        if (_fd >= 0) os::closeQuietly(_fd);
    }

    void exportDir(const Node* node, const char* name) {
        if (!name) name = node->name;
        if (isUnsafeName(name)) throw makeError("Tresmo.Export.checkName", name);
        char path[MAX_PATH];
        if (!printFileName(path, sizeof path, name))
            throw makeError("Tresmo.Export.exportDir", dir(), name);
        if (os::sys().mkdirat(_fd, name, 0777) != 0)
            throw makeError(systemError(), "Tresmo.Export.exportDir", dir(), name);
        int sub = os::sys().openat(_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        if (sub < 0) throw makeError(systemError(), "Tresmo.Export.exportDir", dir(), name);
        if (!enterDir(name)) {
            os::closeQuietly(sub);
            throw makeError("Tresmo.Export.exportDir", dir(), name);
        }
        int parent = _fd;
        _fd = sub;
        for (const Node* c = node->firstChild; c; c = c->next) {
            if (c->flags & Node::FOLDER_AT_TO)
                exportDir(c, nullptr);
            else if (c->flags & Node::FILE_AT_TO)
                exportFile(c, nullptr);
        }
        os::closeQuietly(_fd);
        _fd = parent;
        VERIFY(exitDir());
    }

    void exportFile(const Node* node, const char* name) {
        if (!name) name = node->name;
        if (isUnsafeName(name)) throw makeError("Tresmo.Export.checkName", name);
        char path[MAX_PATH];
        if (!printFileName(path, sizeof path, name))
            throw makeError("Tresmo.Export.exportFile", dir(), name);
        const Version* v = versionAt(node, _t.to());
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c) return;
        if (_progress) _progress->checkCancel();
        _t.exportFile(path, *c, _fd);
        if (_progress) _progress->advance(1, c->size);
    }

  private:
    Tresmo& _t;
    Progress* _progress;
    int _fd = -1;
};

// ---------------------------------------------------------------------------------------------

Tresmo::Tresmo() = default;

Tresmo::~Tresmo() {
    _temp.clear();
}

void Tresmo::setPath(const std::string& path) {
    _stg.reset();
    _path = path;
    if (!path.empty()) _stg = std::make_unique<StgFile>(path, STG_TYPE, STG_VERS);
}

void Tresmo::clear() {
    setPath("");
    clearData();
    _temp.clear();
}

const Version* Tresmo::versionAt(const Node* node, int64_t t) {
    for (const Version* v = node->versions; v; v = v->older)
        if (v->txn->time <= t) return v;
    return nullptr;
}

bool Tresmo::read(Progress* progress) {
    if (!_stg) return true;
    bool ok = true;
    RecordReplay replay(*this);
    try {
        _stg->open();
        uint64_t end = StgRecovery::completeEnd(*_stg);
        if (end < _stg->committedSize()) {
            uint64_t tail = _stg->committedSize() - end;
            _stg->keepTail(end);
            showMsgs(MsgList{makeMsg("StgFile.recover.1", tail)});
        }
        if (_stg->committedSize() != StgFile::FILE_HEADER_LEN) {
            if (progress) progress->expect(0, static_cast<int64_t>(_stg->committedSize()));
            StgReader r(*_stg, StgFile::FILE_HEADER_LEN, stg::TXN_SEQUENCE | stg::CHECK_CRC);
            r.start();
            replay.run(r);
        }
    } catch (Error& e) {
        showError(
            makeError(std::move(e), "Tresmo.read.1", _path, replay.txnCount(), replay.recordNo()));
        ok = false;
    }
    ok = closeStorage("Tresmo.read.2") && ok;
    return ok;
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

bool Tresmo::repair(std::string* sidePath) {
    if (sidePath) sidePath->clear();
    if (!_stg) return false;
    // The load below would create a missing file.
    if (!storageExists()) return false;
    // A full load checks every complete transaction; damage stops the repair untouched.
    clearData();
    setNow(std::numeric_limits<int32_t>::max() * int64_t{4});
    if (!name()[0]) setName("archive");
    if (!read()) return false;
    if (_stg->tailSize() == 0) return true;
    bool ok = true;
    try {
        _stg->open();
        std::string side = _stg->cutTail(tailPath(_path, os::sys().time()));
        if (sidePath) *sidePath = side;
    } catch (Error& e) {
        showError(makeError(std::move(e), "Tresmo.save.1"));
        ok = false;
    }
    ok = closeStorage("Tresmo.save.2") && ok;
    return ok;
}

bool Tresmo::findChanges(const FileSel& sel, Progress* progress) {
    if (sel.folder().empty()) return true;
    ScanFilter filter(sel);
    MsgList warnings;
    bool ok = true;
    try {
        findChangesIn(*this, filter, warnings, progress);
    } catch (Error& e) {
        if (!warnings.empty()) showMsgs(warnings);
        showError(makeError(std::move(e), "Tresmo.findChanges"));
        return false;
    }
    if (!warnings.empty()) showMsgs(warnings);
    return ok;
}

bool Tresmo::save(Progress* progress, SaveStats* stats) {
    if (!_stg) return false;
    SaveStats local;
    SaveStats& s = stats ? *stats : local;
    s = SaveStats{};
    bool ok = true;
    try {
        _stg->open();
        if (_stg->tailSize() > 0) _stg->cutTail(tailPath(_path, os::sys().time()));
        uint64_t before = _stg->committedSize();
        Save walker(*this, progress, s);
        walker.run();
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
    if (ok)
        while (os::sys().time() <= now())
            os::sys().sleepMs(50);
    return ok;
}

bool Tresmo::refresh(const FileSel& sel, int64_t t, const std::string& displayName,
                     Progress* progress) {
    setNow(t);
    if (!sel.folder().empty())
        setBaseAndName(sel.folder().c_str());
    else
        setName(displayName);
    bool ok = read(progress) && findChanges(sel, progress);
    updateFolderInfo();
    pruneSelection();
    updateSelectionInfo();
    updateVersionMarks();
    return ok;
}

void Tresmo::importFile(const char* path, ContentInfo& content, Progress* progress) {
    try {
        FileReader r(path, READ_BUFFER);
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

void Tresmo::restoreTo(const ContentInfo& content,
                       const std::function<void(std::span<const uint8_t>)>& out) {
    if (content.pos == 0) return;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[COPY_CHUNK]);
    auto deliver = [&](size_t n) { out(std::span<const uint8_t>(chunk.get(), n)); };
    if (content.diffPos == 0) {
        // The size a record claims is never trusted for memory: bytes are copied as the
        // stream delivers them, and a stream that ends early fails.
        StgReader r(*_stg, content.pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS);
        r.start();
        if (content.size >= 0) r.lzReader().setExpectedSize(static_cast<uint64_t>(content.size));
        for (int64_t left = content.size; left > 0;) {
            size_t n = static_cast<size_t>(std::min<int64_t>(left, COPY_CHUNK));
            r.readBytes(std::span<uint8_t>(chunk.get(), n));
            deliver(n);
            left -= static_cast<int64_t>(n);
        }
        return;
    }
    StgBase base(*_stg, content.pos);
    base.start();
    StgReader delta(*_stg, content.diffPos, stg::FILE_DIFF);
    delta.start();
    size_t used = 0;
    uint32_t maxOut = content.size < 0 ? 0 : static_cast<uint32_t>(content.size);
    delta::applyDelta(delta, base, maxOut, [&](uint8_t b) {
        chunk[used++] = b;
        if (used == COPY_CHUNK) {
            deliver(used);
            used = 0;
        }
    });
    deliver(used);
}

void Tresmo::exportFile(const char* path, const ContentInfo& content, int dirFd) {
    try {
        std::unique_ptr<FileWriter> w;
        if (dirFd < 0) {
            w = std::make_unique<FileWriter>(path, WRITE_BUFFER);
        } else {
            const char* slash = std::strrchr(path, '/');
            w = std::make_unique<FileWriter>(dirFd, slash ? slash + 1 : path, WRITE_BUFFER);
        }
        w->open();
        w->setFileTime(content.mtime);
        restoreTo(content, [&](std::span<const uint8_t> bytes) { w->write(bytes); });
        if (w->close() != content.crc) throw makeError("Tresmo.exportFile.2");
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.exportFile", path);
    }
}

std::string Tresmo::restore(const ContentInfo& content) {
    std::string data;
    bool opened = false;
    try {
        if (!_stg->isOpen()) {
            _stg->open();
            opened = true;
        }
        restoreTo(content, [&](std::span<const uint8_t> bytes) {
            data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        });
        if (crc32::of(data.data(), data.size()) != content.crc)
            throw makeError("Tresmo.exportFile.2");
    } catch (Error& e) {
        if (opened) _stg->close();
        throw makeError(std::move(e), "Tresmo.exportFile", "");
    }
    if (opened) _stg->close();
    return data;
}

const char* Tresmo::exportTempFile(const char* name, const ContentInfo& content) {
    const char* path = _temp.add(name);
    if (!path || !_stg) return nullptr;
    const char* result = path;
    try {
        _stg->open();
        exportFile(path, content);
    } catch (Error& e) {
        showError(makeError(std::move(e), "Tresmo.exportTempFile.1"));
        result = nullptr;
    }
    try {
        _stg->close();
    } catch (Error& e) {
        showError(makeError(std::move(e), "Tresmo.exportTempFile.2"));
    }
    return result;
}

bool Tresmo::exportSelected(const std::string& target, const std::string& name,
                            Progress* progress) {
    Node* item = selectedItem();
    if (!item || !_stg) return false;
    bool ok = true;
    try {
        VERIFY(target.size() < MAX_PATH);
        _stg->open();
        Export walker(*this, target, progress);
        const char* as = name.empty() ? nullptr : name.c_str();
        if (selectionMode() == 1)
            walker.exportDir(item, as);
        else
            walker.exportFile(item, as);
    } catch (Error& e) {
        showError(makeError(std::move(e), "Tresmo.export.1"));
        ok = false;
    }
    ok = closeStorage("Tresmo.export.2") && ok;
    return ok;
}

bool Tresmo::canOpenFile(bool diff) const {
    if (selectionMode() != 2 || selectionCount() != 1) return false;
    NodeState s = changeState(selectedItem());
    return diff ? s == NodeState::Modified : s != NodeState::Removed;
}

void Tresmo::openFile(bool diff) {
    if (selectionMode() != 2 || selectionCount() != 1) return;
    Node* node = selectedItem();
    std::string newer;
    if (base()[0] && to() == now()) {
        char path[MAX_PATH];
        VERIFY(printPath(path, sizeof path, node));
        if (!pathExists(path)) return;
        newer = path;
    } else {
        const Version* v = versionAt(node, to());
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c) return;
        const char* p = exportTempFile(node->name, *c);
        if (!p) return;
        newer = p;
    }
    char line[1000];
    if (!diff) {
        ToolConfig& viewers = viewerConfig();
        int i = viewers.find(node->name);
        if (i >= 0 && viewers.viewerCommand(line, sizeof line, i, newer))
            startProcess(viewers.viewerArgv(i, newer));
        else
            shellOpen(newer.c_str());
        return;
    }
    const Version* old = nullptr;
    for (const Version* v = node->versions; v && !old; v = v->older)
        if (v->txn->time < from()) old = v;
    const ContentInfo* c = old ? old->content() : nullptr;
    if (!c) return;
    const char* older = exportTempFile(node->name, *c);
    if (!older) return;
    ToolConfig& tools = diffToolConfig();
    int i = tools.find(node->name);
    if (i >= 0 && tools.diffCommand(line, sizeof line, i, older, newer)) {
        startProcess(tools.diffArgv(i, older, newer));
    } else {
        shellOpen(older);
        shellOpen(newer.c_str());
    }
}

bool Tresmo::importDiff(const char* path, ContentInfo& content, Progress* progress) {
    try {
        FileReader r(path, READ_BUFFER);
        r.open();
        if (content.mtime != 0 && content.mtime < r.mtime()) throw makeError("Tresmo.importDiff.1");
        if (static_cast<int64_t>(r.size()) < *diffMinSize) return false;
        StgBase base(*_stg, content.pos);
        DataImage image(base, static_cast<uint32_t>(content.size));
        image.buildIndex();
        StgWriter w(_stg.get(), stg::FILE_DIFF);
        w.begin();
        // An abandoned delta leaves its blocks in the file unreferenced; no record names them.
        auto consumed = [&](size_t n) {
            if (!progress) return;
            progress->advance(0, static_cast<int64_t>(n));
            progress->checkCancel();
        };
        if (!delta::encodeDelta(r, image, w, delta::budgetFor(r.size(), *diffMaxSeg, *diffMaxNew),
                                consumed))
            return false;
        w.finish();
        uint32_t crc = r.close();
        if (r.changedWhileRead()) throw makeError("Tresmo.importDiff.1");
        content.diffPos = static_cast<uint32_t>(w.itemStart());
        content.storedSize = static_cast<int32_t>(w.itemEnd() - w.itemStart());
        content.size = static_cast<int32_t>(r.size());
        content.mtime = r.mtime();
        content.crc = crc;
        return true;
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.importDiff", path);
    }
}
