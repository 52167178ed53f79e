// Removing files and folder trees, and the temporary files that viewer and diff programs are
// given, in private folders.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// Deletes a file (or a symbolic link, never what it points to). Throws 5000 "delFile" with the
// system error as cause.
void delFile(const char* path);
// Deletes a folder with everything in it, depth first; links inside are removed, never
// followed. The first failure ends the removal (what was deleted stays deleted) and is thrown:
// 5001 when the folder's search pattern does not fit MAX_PATH, 5002/5003 when a subfolder's or
// a file's path does not fit, 5000 from delFile, 5004 when a folder cannot be removed (with
// the system error as cause). A folder that cannot be listed is removed as if it were empty.
void delDir(const char* path);

// The first of dir/<title><format(title, i)>.<ext> for i = 1..maxCount that does not exist,
// where format is a printf format taking the title (%s) and i (%d), e.g. "%s_%03d". False
// when all are taken or a name does not fit.
bool makeUniquePath(char* buf, size_t size, const char* dir, const char* name, const char* format,
                    int maxCount);

// The temporary files made for one open archive, in a folder of their own.
//
// The folder is private to the user and the process: made on the first add() by mkdtemp (mode
// 0700) as BASE/PREFIX-PID-XXXXXX, where BASE is $XDG_RUNTIME_DIR when set, else $TMPDIR, else
// /tmp, and PREFIX is the "tempSub" setting (a name, "Tresmo" by default; empty or with a '/'
// it is the default). No other user can guess, pre-create or write into it, and every file in
// it is created exclusively and never through a link, so a restored copy never writes through
// anything planted there. The pid in the name tells a later process whose folder it is.
//
// The destructor closes the folder and deletes nothing, since a viewer may read a copy after
// this process has ended (tresmo-cli open): removing is clear()'s work, and folders that
// ended processes left behind are removed by the next list that makes its folder.
class TempFileList {
  public:
    TempFileList() = default;
    ~TempFileList();
    TempFileList(const TempFileList&) = delete;
    TempFileList& operator=(const TempFileList&) = delete;

    // Creates a new empty file (mode 0600) in the private folder, named after name
    // ("report.doc" gives ".../report_001.doc", then _002, ...), kept in the list. With fd, the
    // file stays open for writing and the descriptor is the caller's. The path (owned by the
    // list), or null when the folder cannot be made or all 999 names are taken.
    const char* add(const char* name, int* fd = nullptr);
    // Deletes every listed file, then the folder with whatever viewers left beside the copies.
    // Files that exist but cannot be deleted are shown as warnings 5005
    // "TempFileList.clear.1", tried once more, and forgotten: afterwards every entry is null. A
    // folder that cannot be removed is left for the clean-up of a later process.
    void clear();

    size_t size() const { return _paths.size(); }
    // Entry i, or null when it was removed.
    const char* at(size_t i) const { return _paths[i] ? _paths[i]->c_str() : nullptr; }
    // The private folder and its descriptor; "" and -1 until the first add().
    const std::string& dir() const { return _dir; }
    int dirFd() const { return _dirFd; }

  private:
    bool makeDir();

    // Pointers, so a returned path stays valid while the vector grows.
    std::vector<std::unique_ptr<std::string>> _paths;
    std::string _dir;
    int _dirFd = -1;
};

// Removes the temporary folders this user's processes left behind under the base folder (see
// TempFileList): named with the prefix, a directory (a link is never followed), owned by this
// user, of a process that no longer runs, and untouched for a minute, as a viewer started by
// a process that has just ended may not have opened its copy yet.
void removeStaleTempDirs();
