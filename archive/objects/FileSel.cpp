#include "archive/objects/FileSel.h"

#include "archive/objects/ObjIo.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <algorithm>

namespace {

// Object type 10 of the object-file layer 10.
constexpr int32_t SEL_TYPE = 1010;
constexpr int32_t SEL_VERS = 1010;

// Read limits: a path of MAX_PATH with its NUL, exceptions of 99 and types of 19 characters.
constexpr int PATH_LIMIT = 260;
constexpr int EXCEPTIONS_LIMIT = 100;
constexpr int TYPE_LIMIT = 20;

}  // namespace

FileSel::FileSel() : _data(std::make_shared<Data>()) {}

FileSel::Data& FileSel::detach() {
    if (_data.use_count() > 1) _data = std::make_shared<Data>(*_data);
    return *_data;
}

bool FileSel::isListed(const std::string& type) const {
    const auto& t = _data->types;
    return std::find(t.begin(), t.end(), type) != t.end();
}

void FileSel::setFile(const std::string& path) {
    if (path == _data->file) return;
    Data& d = detach();
    d.file = path;
    d.saved = false;
}

void FileSel::setFolder(const std::string& path) {
    if (path == _data->folder) return;
    Data& d = detach();
    d.folder = path;
    d.saved = false;
}

void FileSel::setIncludeSubfolders(bool on) {
    if (on == _data->includeSubfolders) return;
    Data& d = detach();
    d.includeSubfolders = on;
    d.saved = false;
}

void FileSel::setExceptions(const std::string& text) {
    if (text == _data->exceptions) return;
    Data& d = detach();
    d.exceptions = text;
    d.saved = false;
}

void FileSel::setExcludeTypes(bool on) {
    if (on == _data->excludeTypes) return;
    Data& d = detach();
    d.excludeTypes = on;
    d.saved = false;
}

void FileSel::setListed(const std::string& type, bool on) {
    if (isListed(type) == on) return;
    Data& d = detach();
    if (on)
        d.types.push_back(type);
    else
        d.types.erase(std::find(d.types.begin(), d.types.end(), type));
    d.saved = false;
}

void FileSel::setMetaFormat(bool on) {
    if (on == _data->metaFormat) return;
    Data& d = detach();
    d.metaFormat = on;
    d.saved = false;
}

bool FileSel::write() {
    try {
        ObjFileWriter w(SEL_TYPE, SEL_VERS);
        w.open(_data->file);
        w.writeString(_data->file);
        w.writeString(_data->folder);
        w.writeBool(_data->includeSubfolders);
        w.writeString(_data->exceptions);
        w.writeBool(_data->excludeTypes);
        for (const std::string& t : _data->types) {
            w.writeBool(true);
            w.writeString(t);
        }
        w.writeBool(false);
        // Written only when set: a plain selection stays byte for byte what it always was.
        if (_data->metaFormat) w.writeBool(true);
        w.close();
    } catch (Error& e) {
        showError(makeError(std::move(e), "FileSel.write", _data->file));
        return false;
    }
    // Saving is not a change: copies that share the data see it saved too.
    _data->saved = true;
    return true;
}

bool FileSel::read() {
    std::string path = _data->file;
    VERIFY(!path.empty());
    try {
        readFrom(path);
    } catch (Error& e) {
        showError(makeError(std::move(e), "FileSel.read", path));
        return false;
    }
    return true;
}

bool FileSel::readQuietly() {
    const std::string path = _data->file;  // readFrom replaces the data that holds it
    try {
        readFrom(path);
    } catch (const Error&) {
        return false;
    }
    return true;
}

void FileSel::readFrom(const std::string& path) {
    ObjFileReader r(SEL_TYPE, SEL_VERS);
    r.open(path);
    // From here on the selection is the file's, even when a later value fails to read.
    _data = std::make_shared<Data>();
    _data->file = path;
    std::string storedPath = r.readString(PATH_LIMIT);
    std::string folder = r.readString(PATH_LIMIT);
    // A folder written as "x/..", "x/." or "x/" would give the archive's root the name "..",
    // "." or none, and an export under that name would leave its target: such a folder is read
    // as the folder it names, and the root itself (no name at all) not at all.
    char normal[MAX_PATH];
    if (!folder.empty())
        folder = normalizePath(normal, sizeof normal, folder.c_str()) && !isDriveRoot(normal)
                     ? normal
                     : "";
    if (!folder.empty()) {
        if (comparePaths(storedPath.c_str(), path.c_str()) != 0) {
            char moved[MAX_PATH];
            folder =
                relocatePath(moved, sizeof moved, folder.c_str(), storedPath.c_str(), path.c_str())
                    ? moved
                    : "";
        }
        if (!folder.empty() && isDirectory(folder.c_str())) _data->folder = folder;
    }
    _data->includeSubfolders = r.readBool();
    _data->exceptions = r.readString(EXCEPTIONS_LIMIT);
    _data->excludeTypes = r.readBool();
    while (r.readBool())
        _data->types.push_back(r.readString(TYPE_LIMIT));
    _data->metaFormat = r.more() && r.readBool();
    r.close();
    _data->saved = true;
}
