// Walking folders.
//
// DirWalker keeps a current folder path and moves it one folder at a time, calling a hook at
// each step, so a subclass can keep a cursor in the archive tree in step with the file system
// (the scan, the commit and the export are walkers). FileFinder scans the watched folder under
// a ScanFilter: it lists each folder sorted in the tree's name order, counts files by type,
// reports what it must skip as warnings, and reports every accepted file through found().
//
// Only regular files and folders are seen: symbolic links (the watched folder included),
// sockets, fifos and devices are passed over in silence and never followed. Of two names in
// one folder that differ only in letter case, the one that sorts first by bytes is kept and
// the other skipped with 3703. A subfolder that cannot be listed is skipped with 3704 and
// reported through skippedDir(), so a scan can keep what it stored beneath it; the start
// folder itself that cannot be listed makes find() throw the system error.
#pragma once

#include "archive/objects/FileSel.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <cstdint>
#include <string>
#include <vector>

class DirWalker {
  public:
    DirWalker() { _dir[0] = 0; }
    explicit DirWalker(const char* dir) { setDir(dir); }
    virtual ~DirWalker() = default;

    // Restarts from dir (shorter than MAX_PATH); no hook is called.
    void setDir(const char* dir);
    const char* dir() const { return _dir; }

    // _dir joined with name; false when it does not fit.
    bool printFileName(char* buf, size_t size, const char* name) const;
    // Moves into the subfolder name (hook first); false when the path would not fit.
    bool enterDir(const char* name);
    // Moves to the parent (hook first); false when there is none.
    bool exitDir();
    // Moves to dir crossing each folder boundary with the hooks: up to the common part, then
    // down. False only for a dir of MAX_PATH or more bytes.
    bool goTo(const char* dir);
    // Creates the subfolder name of _dir; false when the path does not fit or mkdir fails.
    bool mkDir(const char* name);

  protected:
    virtual void onEnterDir(const char* name) { (void)name; }
    virtual void onExitDir() {}

    char _dir[MAX_PATH];
};

struct TypeStat {
    std::string type;  // upper case, without the dot; empty for files without an extension
    bool listed = false;
    int32_t count = 0;
    double bytes = 0;
};

// The scan's working copy of a selection.
class ScanFilter {
  public:
    explicit ScanFilter(const FileSel& sel);

    const std::string& root() const { return _root; }
    bool scanSubfolder(const char* name) const;
    // Whether a file is taken; counts it by type either way.
    bool accept(const char* name, int64_t size);
    int32_t count(const std::string& type) const;
    double bytes(const std::string& type) const;
    // Every type met or listed, ordered by type (bytes, unsigned; the empty type first).
    std::vector<TypeStat> sortedTypes() const;
    // The type a file name is counted under.
    static std::string typeOf(const char* name);

  private:
    std::string _root;
    bool _includeSubfolders;
    std::string _exceptions;
    bool _hasExceptions;
    bool _excludeMode;
    std::vector<TypeStat> _types;  // most recently met first
};

class FileFinder : public DirWalker {
  public:
    explicit FileFinder(ScanFilter& filter) : _filter(filter) {}

    // Scans dir, or the filter's root when dir is null. Throws the system error when the start
    // folder cannot be listed (missing, not a folder, a symbolic link, no access).
    void find(const char* dir = nullptr);

    ScanFilter& filter() { return _filter; }

  protected:
    virtual void found(const char* name, int64_t mtime) {
        (void)name;
        (void)mtime;
    }
    virtual void skipped(Msg msg) { (void)msg; }
    // A subfolder of the current folder (the walker has moved there) could not be listed.
    virtual void skippedDir(const char* name) { (void)name; }

  private:
    // False, with _listError set, when dir cannot be listed.
    bool scan(const std::string& dir);

    ScanFilter& _filter;
    int _listError = 0;
};
