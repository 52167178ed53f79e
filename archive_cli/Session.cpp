#include "archive_cli/Session.h"

#include "archive_cli/Cli.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/paths.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace cli {

namespace {

const std::string* selExt = stringSetting("ArchiveDoc.selExt", "sel");
const std::string* trsmExt = stringSetting("ArchiveDoc.trsmExt", "trsm");

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(pos, end - pos);
        if (!part.empty() && part != ".") parts.push_back(part);
        pos = end + 1;
    }
    return parts;
}

bool hasArchiveExt(const std::string& path, std::string& title) {
    char name[MAX_PATH], ext[MAX_PATH];
    if (!getFileName(name, sizeof name, path.c_str()) ||
        !getFileExt(ext, sizeof ext, path.c_str()) || compareNoCase(ext, trsmExt->c_str()) != 0)
        return false;
    if (!getFileTitle(name, sizeof name, path.c_str())) return false;
    title = name;
    return true;
}

}  // namespace

std::string selectionPathFor(const std::string& archivePath) {
    std::string title;
    if (hasArchiveExt(archivePath, title)) {
        char dir[MAX_PATH];
        if (getParentPath(dir, sizeof dir, archivePath.c_str())) {
            std::string d = dir;
            if (d.empty() || d.back() != '/') d += '/';
            return d + title + "." + *selExt;
        }
    }
    return archivePath + "." + *selExt;
}

std::string displayNameFor(const std::string& archivePath) {
    std::string title;
    if (hasArchiveExt(archivePath, title)) return title;
    size_t slash = archivePath.rfind('/');
    return slash == std::string::npos ? archivePath : archivePath.substr(slash + 1);
}

bool namesArchive(const std::string& path) {
    char ext[MAX_PATH];
    return getFileExt(ext, sizeof ext, path.c_str()) &&
           (compareNoCase(ext, trsmExt->c_str()) == 0 || compareNoCase(ext, selExt->c_str()) == 0);
}

std::string archiveWatching(const std::string& folder) {
    // Two stats a level, up to the root; a .sel is read only where its archive lies beside it.
    for (std::string d = folder; d.size() > 1 && d[0] == '/';) {
        const size_t slash = d.rfind('/');
        const std::string parent = d.substr(0, slash), name = d.substr(slash + 1);
        const std::string base = (parent.empty() ? "" : parent) + "/" + name + ".";
        struct stat st;
        if (os::sys().stat((base + *trsmExt).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            os::sys().stat((base + *selExt).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            FileSel sel;
            sel.setFile(base + *selExt);
            if (sel.readQuietly() && comparePaths(sel.folder().c_str(), d.c_str()) == 0)
                return base + *trsmExt;
        }
        d = parent;
    }
    return "";
}

std::string absolutePath(const std::string& path) {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
        std::string cwd = os::currentDir();
        if (cwd.empty()) throw Failure("cannot determine the current folder: " + systemText());
        full = cwd + "/" + full;
    }
    std::vector<std::string> out;
    for (const std::string& part : splitPath(full)) {
        if (part == "..") {
            if (!out.empty()) out.pop_back();
        } else {
            out.push_back(part);
        }
    }
    if (out.empty()) return "/";
    std::string last = out.back();
    out.pop_back();
    std::string dir;
    for (const std::string& p : out)
        dir += "/" + p;
    if (dir.empty()) dir = "/";
    std::string real;
    if (os::realPath(dir, real)) dir = real;
    return (dir == "/" ? "" : dir) + "/" + last;
}

Session::Session(const std::string& archiveArg, bool writer) : _path(absolutePath(archiveArg)) {
    struct stat st;
    if (os::sys().stat(_path.c_str(), &st) != 0)
        throw Failure("no archive at " + _path + ": " + systemText());
    if (!S_ISREG(st.st_mode)) throw Failure(_path + " is not an archive file");
    // The selection file beside an archive is a likely slip for the archive itself.
    char ext[MAX_PATH], title[MAX_PATH], dir[MAX_PATH];
    if (getFileExt(ext, sizeof ext, _path.c_str()) && compareNoCase(ext, selExt->c_str()) == 0 &&
        getFileTitle(title, sizeof title, _path.c_str()) &&
        getParentPath(dir, sizeof dir, _path.c_str()))
        throw Failure(_path + " is a selection file; its archive is " +
                      (dir == std::string("/") ? "" : dir) + "/" + title + "." + *trsmExt);
    if (_path.size() >= MAX_PATH) throw Failure("archive path too long: " + _path);
    _archive.setPath(_path);
    _archive.setReader(!writer);
    std::string selPath = selectionPathFor(_path);
    _sel.setFile(selPath);
    if (os::sys().stat(selPath.c_str(), &st) == 0 && !_sel.read()) throw Shown{};
}

void Session::load(int64_t now, Progress* progress) {
    _archive.setNow(now);
    if (hasFolder())
        _archive.setBaseAndName(_sel.folder().c_str());
    else
        _archive.setName(displayNameFor(_path));
    if (!_archive.read(progress)) throw Shown{};  // 2011 names the archive
    // now moves past a transaction the clock has not reached yet.
    _archive.setRange(_archive.now(), _archive.now());
    _archive.updateFolderInfo();
}

void Session::refresh(int64_t now, Progress* progress) {
    if (!hasFolder()) {
        throw Failure("the archive " + _path + " watches no folder (its selection file " +
                      _sel.file() +
                      " is missing or names a folder that no longer exists); tresmo-cli attach " +
                      _path + " FOLDER points it at the folder");
    }
    if (!_archive.refresh(_sel, now, displayNameFor(_path), progress)) {
        if (_archive.readOnly()) throw Shown{};  // 2011 names the archive
        throw Failure("could not scan " + _sel.folder() + ", the folder " + _path + " watches");
    }
    _archive.setRange(_archive.now(), _archive.now());
    _archive.updateFolderInfo();
}

std::vector<const Txn*> Session::transactions() const {
    std::vector<const Txn*> list;
    for (const Txn* t = _archive.txns(); t; t = t->older)
        if (t->time < _archive.now()) list.push_back(t);
    return {list.rbegin(), list.rend()};
}

const Txn* Session::newestTransaction() const {
    for (const Txn* t = _archive.txns(); t; t = t->older)
        if (t->time < _archive.now()) return t;
    return nullptr;
}

int64_t Session::resolve(const Point& point) const {
    if (point.txn == 0) return point.time;
    std::vector<const Txn*> list = transactions();
    if (point.txn > static_cast<int32_t>(list.size())) {
        throw Failure("no transaction " + std::to_string(point.txn) + ": the archive has " +
                      std::to_string(list.size()));
    }
    return list[static_cast<size_t>(point.txn - 1)]->time;
}

std::string Session::whenText(const std::string& at, int64_t t) const {
    if (at.empty()) return "as last stored";
    const std::vector<const Txn*> list = transactions();
    if (list.empty() || t < list.front()->time)
        return "as it was at " + localTimeText(t) + ", before its first transaction" +
               (list.empty() ? std::string() : " (at " + localTimeText(list.front()->time) + ")");
    const int32_t n = txnNumber(t);
    return "as it was at " + localTimeText(t) +
           (n ? " (transaction " + std::to_string(n) + ")" : std::string());
}

int32_t Session::txnNumber(int64_t t) const {
    for (const Txn* x = newestTransaction(); x; x = x->older)
        if (x->time == t) return x->seq + 1;
    return 0;
}

std::pair<int64_t, int64_t> Session::range(const std::string& text, int64_t now) const {
    RangeArg r = parseRange(text);
    const int64_t after = r.from ? resolve(*r.from) : -1;
    const int64_t to = r.to ? resolve(*r.to) : now;
    if (after > to) throw Usage("--range " + text + " ends before it starts");
    return {after + 1, to};
}

void Session::setRange(int64_t from, int64_t to) {
    _archive.setRange(from, to);
    _archive.updateFolderInfo();
}

Node* Session::findNode(const std::string& path) const {
    Node* node = _archive.root();
    if (!node) throw Failure("the archive " + _path + " is empty");
    const std::string& folder = _sel.folder();
    std::string full = path;
    // Inside the watched folder a relative path starts at the current folder, as in a shell.
    if (!full.empty() && full[0] != '/' && !folder.empty()) {
        const std::string cwd = os::currentDir();
        const int c = cwd.empty() ? 2 : comparePaths(folder.c_str(), cwd.c_str());
        if (c == 0 || c == -1) full = cwd + "/" + full;
    }
    std::vector<std::string> parts = splitPath(full);
    if (!full.empty() && full[0] == '/') {
        // An absolute path must lie in the watched folder; what follows the folder counts.
        std::vector<std::string> resolved;
        std::string joined;
        for (std::string& part : parts) {
            if (part != "..")
                resolved.push_back(std::move(part));
            else if (!resolved.empty())
                resolved.pop_back();
        }
        for (const std::string& part : resolved)
            joined += "/" + part;
        const int c = folder.empty() ? 2 : comparePaths(folder.c_str(), joined.c_str());
        if (c != 0 && c != -1)
            throw Failure(path + " is not inside the watched folder" +
                          (folder.empty() ? std::string() : " " + folder));
        resolved.erase(resolved.begin(),
                       resolved.begin() + static_cast<long>(splitPath(folder).size()));
        parts = std::move(resolved);
    }
    for (const std::string& part : parts) {
        Node* child = nullptr;
        if (part == ".." || !_archive.findChild(part, node, child)) {
            // A path taken from the current folder is named as the archive stores it too.
            std::string stored;
            for (const std::string& p : parts)
                stored += (stored.empty() ? "" : "/") + p;
            throw Failure("no " + path + (full == path ? "" : " (" + stored + ")") +
                          " in the archive " + _path);
        }
        node = child;
    }
    return node;
}

std::string Session::relPath(const Node* node) const {
    // Built from the end in one string: prepending part by part costs the square of the depth.
    size_t len = 0;
    for (const Node* n = node; n && n->parent; n = n->parent)
        len += std::strlen(n->name) + 1;
    if (len == 0) return ".";
    std::string out(len - 1, '/');
    for (const Node* n = node; n && n->parent; n = n->parent) {
        size_t l = std::strlen(n->name);
        len -= l + 1;
        out.replace(len, l, n->name);
    }
    return out;
}

}  // namespace cli
