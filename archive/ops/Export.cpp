// The export: the export walker, and the restore of one version to a file, to memory, to a
// temporary file or to a viewer.
#include "archive/delta/DeltaDecoder.h"
#include "archive/objects/ToolConfig.h"
#include "archive/ops/StgBase.h"
#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/scan/DirWalker.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileWriter.h"
#include "archive/storage/StgFile.h"
#include "archive/support/Progress.h"
#include "archive/support/process.h"

#include <cstring>
#include <fcntl.h>
#include <memory>

namespace {

// A restored file is written in pieces of this size. Small pieces (a kilobyte) cost a system
// call each, and most of an export's time goes to the kernel.
constexpr size_t WRITE_BUFFER = 65536;
constexpr size_t COPY_CHUNK = 65536;

// A stored name that would lead an export out of its target folder.
bool isUnsafeName(const char* name) {
    return name[0] == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
           std::strchr(name, '/') != nullptr;
}

}  // namespace

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
            _stg->open(StgFile::Access::Read);
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
        _stg->open(StgFile::Access::Read);
        // Into the file add() created, through the private folder's descriptor.
        exportFile(path, content, _temp.dirFd());
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
        _stg->open(StgFile::Access::Read);
        Export walker(*this, target, progress);
        const char* as = name.empty() ? nullptr : name.c_str();
        if (selectionMode() == SelMode::Folder)
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
    if (selectionMode() != SelMode::Files || selectionCount() != 1) return false;
    NodeState s = changeState(selectedItem());
    return diff ? s == NodeState::Modified : s != NodeState::Removed;
}

void Tresmo::openFile(bool diff) {
    if (selectionMode() != SelMode::Files || selectionCount() != 1) return;
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
