// The export: the export walker, and the restore of one version to a file, to memory, to a
// temporary file or to a viewer.
#include "archive/delta/DeltaDecoder.h"
#include "archive/objects/ToolConfig.h"
#include "archive/ops/FileWriteQueue.h"
#include "archive/ops/StgBase.h"
#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/scan/DirWalker.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/FileWriter.h"
#include "archive/storage/LinkReader.h"
#include "archive/storage/StgFile.h"
#include "archive/support/Progress.h"
#include "archive/support/cfg.h"
#include "archive/support/process.h"
#include "archive/support/removeTree.h"

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string_view>
#include <vector>

namespace {

// Decoded blocks of a delta's base kept in memory while it is applied (64 KiB each: 16 MiB): a
// delta copying to and fro within 16 MiB of its base decodes each block once.
const int32_t* baseCacheBlocks = intSetting("Tresmo.baseCacheBlocks", 256, 1, 4096);
// Threads that make the files of a folder's export: 1 makes them on the walker alone, 2 adds a
// second thread for small files (the kernel's work of making files is most of the time).
const int32_t* exportThreads = intSetting("Tresmo.exportThreads", 2, 1, 2);
// A restored file is written in pieces of this size. Small pieces (a kilobyte) cost a system
// call each, and most of an export's time goes to the kernel.
constexpr size_t WRITE_BUFFER = 65536;
constexpr size_t COPY_CHUNK = 65536;

// A stored name that would lead an export out of its target folder.
bool isUnsafeName(const char* name) {
    return name[0] == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
           std::strchr(name, '/') != nullptr;
}

// The path with its links resolved, or as given when it cannot be (it may be gone).
std::string canonical(const std::string& path) {
    std::string real;
    return os::realPath(path, real) ? real : path;
}

// The temporary names of files restored into a folder the export made itself.
constexpr std::string_view TEMP_PREFIX = ".tresmo-export-";

// Whether inner is outer or lies inside it; both canonical.
bool within(const std::string& inner, const std::string& outer) {
    return outer == "/" || (inner.compare(0, outer.size(), outer) == 0 &&
                            (inner.size() == outer.size() || inner[outer.size()] == '/'));
}

}  // namespace

// The export: restores a folder or a file as it was at the end of the range. It walks the
// target with folder descriptors and never follows a symbolic link it meets there. What it
// restores is built under a temporary name beside its final one (each file too, inside it) and
// renamed into place only once complete, so a failure leaves no partial copy under a final
// name and a replaced copy stays until the new one stands in its place.

class Tresmo::Export final : public DirWalker {
  public:
    Export(Tresmo& t, const std::string& target, Progress* progress)
        : DirWalker(target.c_str()),
          _t(t),
          _progress(progress),
          _queue(*exportThreads > 1 && os::sys().sharedByThreads()) {
        _fd = os::sys().open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (_fd < 0) {
            Error cause = systemError();
            throw makeError(std::move(cause), "Tresmo.Export.exportDir", target, "");
        }
        _folder = std::make_shared<OpenFolder>(_fd);
    }

    // Exports node (a folder when folder is set) as name into the target. An existing name is
    // refused, or with replace swapped for the complete new copy and then deleted.
    void exportItem(const Node* node, const char* name, bool folder, bool replace) {
        if (isUnsafeName(name)) throw makeError("Tresmo.Export.checkName", name);
        checkPlace(name);
        struct stat st;
        if (!replace && os::sys().fstatat(_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            throw makeError(systemError(EEXIST), "Tresmo.Export.place", shown(name));
        const std::string temp = freeName(name);
        try {
            if (folder) {
                makeDir(temp.c_str(), name);
                exportChildren(node, temp.c_str(), name);
                _queue.finish();
            } else if (!writeFile(node, temp.c_str(), name)) {
                return;  // nothing stored at the end of the range
            }
        } catch (Error&) {
            _queue.abandon();
            discard(temp);
            throw;
        }
        place(temp, name, replace);
    }

  private:
    // A folder the walk stands in below another, and how its files get temporary names.
    struct Level {
        std::shared_ptr<OpenFolder> folder;
        bool ownTemps;
    };

    // Export never replaces or writes into the watched folder (its unsaved changes would be
    // lost) nor replaces a folder that holds it or the archive.
    void checkPlace(const char* name) {
        std::string into = canonical(dir());
        std::string path = (into == "/" ? "" : into) + "/" + name;
        std::string base = _t.base(), archive = canonical(_t.path());
        if (!base.empty()) {
            std::string watched = canonical((base == "/" ? "" : base) + "/" + _t.name());
            if (within(path, watched) || within(watched, path))
                throw makeError("Tresmo.Export.overlap", path, watched);
        }
        if (!archive.empty() && within(archive, path))
            throw makeError("Tresmo.Export.overlap", path, archive);
    }

    std::string shown(const std::string& name) const {
        char path[MAX_PATH];
        return printFileName(path, sizeof path, name.c_str()) ? path : name;
    }

    // A name not in use in the current folder, for a copy on its way into place as final
    // (which may itself be such a name).
    std::string freeName(const char* final) const {
        struct stat st;
        for (int i = 1; i < 10000; ++i) {
            std::string name = ".tresmo-export-" + std::to_string(i);
            if (name != final &&
                os::sys().fstatat(_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return name;
        }
        throw makeError(systemError(EEXIST), "Tresmo.Export.place", dir());
    }

    // Removes a copy that did not make it into place; its own failure would only hide the
    // one that is being reported.
    void discard(const std::string& temp) {
        try {
            removeTree(_fd, temp.c_str(), shown(temp));
        } catch (Error&) {
        }
    }

    // Moves the complete copy temp into place as name. With replace, whatever is there is
    // swapped out in one rename (two on a file system that cannot swap) and deleted after.
    void place(const std::string& temp, const char* name, bool replace) {
        std::string old;
        int r = -1;
        if (!replace) {
            r = os::sys().renameat(_fd, temp.c_str(), _fd, name, RENAME_NOREPLACE);
        } else if (os::syncFileSystem(_fd)) {  // the new copy is on disk before the old goes
            r = os::sys().renameat(_fd, temp.c_str(), _fd, name, RENAME_EXCHANGE);
            if (r == 0)
                old = temp;
            else if (errno == EINVAL)
                r = moveAside(temp, name, old);
            if (r != 0 && errno == ENOENT)  // nothing to replace
                r = os::sys().renameat(_fd, temp.c_str(), _fd, name, RENAME_NOREPLACE);
        }
        if (r != 0) {
            Error e = systemError();
            discard(temp);
            throw makeError(std::move(e), "Tresmo.Export.place", shown(name));
        }
        if (old.empty()) return;
        try {
            removeTree(_fd, old.c_str(), shown(old));
        } catch (Error& e) {
            // Cut, so that a deep path cannot push the message over its length limit.
            std::string why = e.text + (e.cause ? ": " + e.cause->text : std::string());
            showMsgs(MsgList{makeMsg("Tresmo.Export.oldCopy", shown(old), why.substr(0, 500))});
        }
    }

    // The two renames of a swap: name to a free name (old), then temp to name; on failure
    // name is put back. Returns 0 or -1 with errno set.
    int moveAside(const std::string& temp, const char* name, std::string& old) {
        std::string aside = freeName(name);
        if (os::sys().renameat(_fd, name, _fd, aside.c_str(), RENAME_NOREPLACE) != 0) return -1;
        if (os::sys().renameat(_fd, temp.c_str(), _fd, name, RENAME_NOREPLACE) != 0) {
            int err = errno;
            os::sys().renameat(_fd, aside.c_str(), _fd, name, RENAME_NOREPLACE);
            errno = err;
            return -1;
        }
        old = aside;
        return 0;
    }

    // Creates the folder as in the current folder; name is what it is shown as.
    void makeDir(const char* as, const char* name) {
        if (os::sys().mkdirat(_fd, as, 0777) != 0)
            throw makeError(systemError(), "Tresmo.Export.exportDir", dir(), name);
    }

    // Exports node's children into the folder as (shown as name) of the current folder.
    // Exports what node holds into its copy, the folder as in the current one (shown as name).
    // Folders nest as deep as the archive says: they are walked without recursion, holding the
    // descriptor of each folder on the way down.
    void exportChildren(const Node* top, const char* as, const char* name) {
        std::vector<Level> parents;
        // Back in the first parent also when a child fails, for the copy to be removed from
        // there.
        struct Back {
            Export& e;
            std::vector<Level>& parents;
            ~Back() {
                while (!parents.empty())
                    e.leave(parents);
            }
        } back{*this, parents};
        enter(as, name, parents, top);
        const Node* folder = top;
        for (const Node* c = top->firstChild;;) {
            if (!c) {
                // A folder's bits go on last: a folder without write permission is full by then.
                applyFolderMode(folder);
                leave(parents);
                if (folder == top) return;
                c = folder->next;
                folder = folder->parent;
            } else if (c->flags & Node::FOLDER_AT_TO) {
                if (isUnsafeName(c->name)) throw makeError("Tresmo.Export.checkName", c->name);
                char path[MAX_PATH];
                if (!printFileName(path, sizeof path, c->name))
                    throw makeError("Tresmo.Export.exportDir", dir(), c->name);
                makeDir(c->name, c->name);
                enter(c->name, c->name, parents, c);
                folder = c;
                c = c->firstChild;
            } else {
                if (c->flags & Node::FILE_AT_TO) exportFile(c);
                c = c->next;
            }
        }
    }

    // The bits of the folder's version at the end of the range, on the folder the walker
    // stands in (archives with file metadata only; others keep what the umask gives).
    void applyFolderMode(const Node* folder) {
        const Version* v = versionAt(folder, _t.to());
        if (!_t.metaFormat() || !v) return;
        // Files still being made in the folder need to write into it and rename there.
        if ((v->perm() & 0300) != 0300) _queue.finish();
        if (os::sys().fchmod(_fd, v->perm()) != 0)
            throw makeError(systemError(), "Tresmo.Export.exportDir", dir(), "");
    }

    // Enters the folder as (shown as name), the copy of folder that the export made.
    void enter(const char* as, const char* name, std::vector<Level>& parents, const Node* folder) {
        int sub = os::sys().openat(_fd, as, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        if (sub < 0) throw makeError(systemError(), "Tresmo.Export.exportDir", dir(), name);
        auto opened = std::make_shared<OpenFolder>(sub);
        if (!enterDir(name)) throw makeError("Tresmo.Export.exportDir", dir(), name);
        parents.push_back(Level{std::move(_folder), _ownTemps});
        _folder = std::move(opened);
        _fd = sub;
        // The folder is new: only the export's files are in it. The files get numbered
        // temporary names of their own, unless the archive itself has names like them there.
        _ownTemps = true;
        for (const Node* c = folder->firstChild; c && _ownTemps; c = c->next)
            _ownTemps = std::string_view(c->name).substr(0, TEMP_PREFIX.size()) != TEMP_PREFIX;
    }

    void leave(std::vector<Level>& parents) {
        _folder = std::move(parents.back().folder);
        _ownTemps = parents.back().ownTemps;
        _fd = _folder->fd;
        parents.pop_back();
        exitDir();
    }

    void exportFile(const Node* node) {
        if (isUnsafeName(node->name)) throw makeError("Tresmo.Export.checkName", node->name);
        if (_ownTemps && queueFile(node)) return;
        // Numbered names may be on their way in on the queue's thread, not yet made.
        const std::string temp = _ownTemps ? numberedTemp() : freeName(node->name);
        if (writeFile(node, temp.c_str(), node->name) &&
            os::sys().renameat(_fd, temp.c_str(), _fd, node->name, RENAME_NOREPLACE) != 0) {
            Error e = systemError();
            discard(temp);
            throw makeError(std::move(e), "Tresmo.Export.place", shown(node->name));
        }
    }

    std::string numberedTemp() { return std::string(TEMP_PREFIX) + std::to_string(++_temps); }

    // Restores node's version at the end of the range into memory and has it written, here or
    // on the queue's thread, when it is a small file; false when it is not.
    bool queueFile(const Node* node) {
        const Version* v = versionAt(node, _t.to());
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c) return true;  // nothing stored at the end of the range
        const bool link = _t.metaFormat() && v->isLink();
        if (link || c->size < 0 || c->size > FileWriteQueue::MAX_BYTES) return false;
        if (_progress) _progress->checkCancel();
        FileWriteQueue::File f{_folder,         numberedTemp(), node->name, "",
                               _queue.buffer(), c->mtime,       c->crc,     std::nullopt};
        char path[MAX_PATH];
        if (!printFileName(path, sizeof path, node->name))
            throw makeError("Tresmo.Export.exportFile", dir(), node->name);
        f.path = path;
        if (_t.metaFormat()) f.mode = v->perm();
        f.bytes.reserve(static_cast<size_t>(c->size));
        try {
            _t.restoreTo(*c, [&](std::span<const uint8_t> bytes) {
                f.bytes.insert(f.bytes.end(), bytes.begin(), bytes.end());
            });
        } catch (Error& e) {
            throw makeError(std::move(e), "Tresmo.exportFile", path);
        }
        if (!_queue.offer(f)) {
            FileWriteQueue::write(f);
            _queue.recycle(std::move(f.bytes));
        }
        if (_progress) _progress->advance(1, c->size);
        return true;
    }

    // Restores node's version at the end of the range as the new file temp; false when there
    // is none.
    bool writeFile(const Node* node, const char* temp, const char* name) {
        char path[MAX_PATH];
        if (!printFileName(path, sizeof path, name))
            throw makeError("Tresmo.Export.exportFile", dir(), name);
        const Version* v = versionAt(node, _t.to());
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c) return false;
        if (_progress) _progress->checkCancel();
        if (_t.metaFormat() && v->isLink()) {
            makeLink(*c, temp, path);
        } else {
            _t.exportFile(path, *c, _fd, temp);
            if (_t.metaFormat() && os::sys().fchmodat(_fd, temp, v->perm()) != 0)
                throw makeError(systemError(), "Tresmo.exportFile", path);
        }
        if (_progress) _progress->advance(1, c->size);
        return true;
    }

    // Creates the link temp in the current folder with the stored target, verbatim: it may
    // point anywhere, or nowhere. Its bits are the system's (a link has no bits of its own).
    void makeLink(const ContentInfo& c, const char* temp, const char* path) {
        try {
            if (c.size <= 0 || c.size >= static_cast<int64_t>(LinkReader::MAX_TARGET))
                throw makeError("Tresmo.Export.link", path);
            std::string target;
            uint32_t crc = crc32::init();
            _t.restoreTo(c, [&](std::span<const uint8_t> bytes) {
                crc = crc32::update(crc, bytes.data(), bytes.size());
                target.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            });
            if (crc32::finalize(crc) != c.crc) throw makeError("Tresmo.exportFile.2");
            if (target.find('\0') != std::string::npos) throw makeError("Tresmo.Export.link", path);
            if (os::sys().symlinkat(target.c_str(), _fd, temp) != 0) throw systemError();
            // The link's own time, as a file gets its own (never the time of what it names).
            const struct timespec times[2] = {{static_cast<time_t>(c.mtime), 0},
                                              {static_cast<time_t>(c.mtime), 0}};
            if (os::sys().utimensat(_fd, temp, times, AT_SYMLINK_NOFOLLOW) != 0)
                throw systemError();
        } catch (Error& e) {
            throw makeError(std::move(e), "Tresmo.exportFile", path);
        }
    }

    Tresmo& _t;
    Progress* _progress;
    FileWriteQueue _queue;
    std::shared_ptr<OpenFolder> _folder;  // the current folder, open as _fd
    int _fd = -1;
    bool _ownTemps = false;  // files of the current folder get numbered temporary names
    uint64_t _temps = 0;     // numbered temporary names given
};

void Tresmo::restoreTo(const ContentInfo& content,
                       const std::function<void(std::span<const uint8_t>)>& out) {
    if (content.pos == 0) return;
    // No version larger than the largest file a save reads can have been stored: a claim
    // beyond it is forged, and would only cost the time of producing the bytes.
    if (content.size > FileReader::MAX_SIZE)
        throw makeError(systemError(EFBIG), "FileReader.open.3");
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
    StgBase base(*_stg, content.pos, static_cast<size_t>(*baseCacheBlocks));
    base.start();
    StgReader delta(*_stg, content.diffPos, stg::FILE_DIFF);
    delta.start();
    size_t used = 0;
    int64_t made = 0;
    uint32_t maxOut = content.size < 0 ? 0 : static_cast<uint32_t>(content.size);
    delta::applyDelta(delta, base, maxOut, [&](uint8_t b) {
        chunk[used++] = b;
        if (used == COPY_CHUNK) {
            deliver(used);
            made += static_cast<int64_t>(used);
            used = 0;
        }
    });
    deliver(used);
    // A delta that ends short of the recorded size is as wrong as one that runs past it, even
    // when the CRC of what it made matches.
    if (made + static_cast<int64_t>(used) != content.size) throw makeError("Tresmo.exportFile.1");
}

void Tresmo::exportFile(const char* path, const ContentInfo& content, int dirFd,
                        const char* tempName) {
    try {
        std::unique_ptr<FileWriter> w;
        if (dirFd < 0) {
            w = std::make_unique<FileWriter>(path, WRITE_BUFFER);
        } else if (tempName) {
            w = std::make_unique<FileWriter>(dirFd, tempName, WRITE_BUFFER);
        } else {
            // A file its caller already made, exclusively, in the folder.
            const char* slash = std::strrchr(path, '/');
            w = std::make_unique<FileWriter>(dirFd, slash ? slash + 1 : path, WRITE_BUFFER);
        }
        w->open(tempName != nullptr);
        w->setFileTime(content.mtime);
        restoreTo(content, [&](std::span<const uint8_t> bytes) { w->write(bytes); });
        if (w->close() != content.crc) throw makeError("Tresmo.exportFile.2");
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.exportFile", path);
    }
}

void Tresmo::restore(const ContentInfo& content, const std::string& name,
                     const std::function<void(std::span<const uint8_t>)>& out) {
    // Closed again however the call ends, out's own exceptions included.
    struct Opened {
        StgFile* stg = nullptr;
        ~Opened() {
            if (!stg) return;
            try {
                stg->close();
            } catch (Error&) {  // a reader's close has nothing to lose; the restore's error counts
            }
        }
    } opened;
    try {
        if (!_stg->isOpen()) {
            _stg->open(StgFile::Access::Read);
            opened.stg = _stg.get();
        }
        uint32_t crc = crc32::init();
        restoreTo(content, [&](std::span<const uint8_t> bytes) {
            crc = crc32::update(crc, bytes.data(), bytes.size());
            out(bytes);
        });
        if (crc32::finalize(crc) != content.crc) throw makeError("Tresmo.exportFile.2");
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.exportFile", name);
    }
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

Tresmo::ExportTotal Tresmo::exportTotal(const Node* item, int64_t t) {
    ExportTotal total;
    for (const Node* n = item; n;) {
        const Version* v = versionAt(n, t);
        const bool folder = v && v->kind() == NodeKind::Folder;
        total.folders += folder ? 1 : 0;
        if (const ContentInfo* c = v && !folder ? v->content() : nullptr) {
            ++total.files;
            total.bytes += c->size;
        }
        n = nextInTree(n, item, folder);  // what is gone at t takes nothing beneath it along
    }
    return total;
}

bool Tresmo::exportSelected(const std::string& target, const std::string& name, Progress* progress,
                            bool replace) {
    Node* item = selectedItem();
    if (!item || !_stg) return false;
    bool ok = true;
    try {
        VERIFY(target.size() < MAX_PATH);
        if (progress) {
            const ExportTotal total = exportTotal(item, to());
            progress->expect(total.files, total.bytes);
        }
        _stg->open(StgFile::Access::Read);
        Export walker(*this, target, progress);
        const char* as = name.empty() ? item->name : name.c_str();
        walker.exportItem(item, as, selectionMode() == SelMode::Folder, replace);
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

bool Tresmo::openFile(bool diff) {
    if (selectionMode() != SelMode::Files || selectionCount() != 1) return true;
    Node* node = selectedItem();
    std::string newer;
    if (base()[0] && to() == now()) {
        char path[MAX_PATH];
        VERIFY(printPath(path, sizeof path, node));
        if (!pathExists(path)) return true;
        newer = path;
    } else {
        const Version* v = versionAt(node, to());
        const ContentInfo* c = v ? v->content() : nullptr;
        if (!c) return true;
        const char* p = exportTempFile(node->name, *c);
        if (!p) return true;
        newer = p;
    }
    char line[1000];
    if (!diff) {
        ToolConfig& viewers = viewerConfig();
        int i = viewers.find(node->name);
        if (i >= 0 && viewers.viewerCommand(line, sizeof line, i, newer))
            return startProcess(viewers.viewerArgv(i, newer));
        return shellOpen(newer.c_str());
    }
    const Version* old = nullptr;
    for (const Version* v = node->versions; v && !old; v = v->older)
        if (v->txn->time < from()) old = v;
    const ContentInfo* c = old ? old->content() : nullptr;
    if (!c) return true;
    const char* older = exportTempFile(node->name, *c);
    if (!older) return true;
    ToolConfig& tools = diffToolConfig();
    int i = tools.find(node->name);
    if (i >= 0 && tools.diffCommand(line, sizeof line, i, older, newer))
        return startProcess(tools.diffArgv(i, older, newer));
    return shellOpen(older) && shellOpen(newer.c_str());
}
