// Removing files and folder trees, the temporary folder, and the list of temporary files that
// viewer and diff programs are given.
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

// The temporary folder: $TMPDIR (or /tmp) plus the "tempSub" setting as a subfolder, created
// (private to the user) unless it already is a folder. An existing one that others may write
// to is refused. An empty "tempSub" means the temporary folder itself.
bool getTempDir(char* buf, size_t size);

// The first of dir/<title><format(title, i)>.<ext> for i = 1..maxCount that does not exist,
// where format is a printf format taking the title (%s) and i (%d), e.g. "%s_%03d". False
// when all are taken or a name does not fit.
bool makeUniquePath(char* buf, size_t size, const char* dir, const char* name, const char* format,
                    int maxCount);

// The temporary files made for one open archive. Owns its path strings; a removed entry stays
// in the list as null. The destructor frees the list but deletes no file: removing the files,
// and reporting what could not be removed, is clear()'s work.
class TempFileList {
  public:
    TempFileList() = default;
    TempFileList(const TempFileList&) = delete;
    TempFileList& operator=(const TempFileList&) = delete;

    // A new unique path in the temporary folder derived from name ("report.doc" gives
    // ".../report_001.doc" first), kept in the list; null when the folder cannot be made or
    // all 999 names are taken. The returned string is owned by the list.
    const char* add(const char* name);
    // Deletes every listed file. Files that exist but cannot be deleted are shown as warnings
    // 5005 "TempFileList.clear.1", tried once more, and forgotten: afterwards every entry is
    // null.
    void clear();

    size_t size() const { return _paths.size(); }
    // Entry i, or null when it was removed.
    const char* at(size_t i) const { return _paths[i] ? _paths[i]->c_str() : nullptr; }

  private:
    // Pointers, so a returned path stays valid while the vector grows.
    std::vector<std::unique_ptr<std::string>> _paths;
};
