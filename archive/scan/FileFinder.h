// The scan of the watched folder.
//
// FileFinder scans the watched folder under a ScanFilter: it lists each folder sorted in the
// tree's name order, counts files by type, reports what it must skip as warnings, and reports
// every accepted file through found().
//
// Only regular files and folders are seen, and symbolic links where the filter keeps file
// metadata (reported as files, with LINK_MODE in their mode). A link is never followed (the
// watched folder that is one counts as no folder); sockets, fifos and devices are passed over
// in silence. Where the filter keeps file metadata, the walker also goes into every folder it
// lists, empty ones included, so that its hooks see each folder. Of two names in
// one folder that differ only in letter case, the one that sorts first by bytes is kept and
// the other skipped with 3703 (a file) or 3705 (a folder). A subfolder that cannot be listed is
// skipped with 3704 and reported through skippedDir(), so a scan can keep what it stored beneath
// it; the start folder itself that cannot be listed makes find() throw the system error.
#pragma once

#include "archive/os/os.h"
#include "archive/scan/DirWalker.h"
#include "archive/scan/ScanFilter.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <string>

class ListingPool;

class FileFinder : public DirWalker {
  public:
    explicit FileFinder(ScanFilter& filter) : _filter(filter) {}

    // Scans dir, or the filter's root when dir is null. Throws the system error when the start
    // folder cannot be listed (missing, not a folder, a symbolic link, no access). The listings
    // come from crawled when given, a pool crawl() started at the same root; the scan lists
    // whatever that has not.
    void find(const char* dir = nullptr, ListingPool* crawled = nullptr);
    // Starts pool listing the folders a scan under filter enters, ahead of the scan.
    static void crawl(ListingPool& pool, const ScanFilter& filter);

    ScanFilter& filter() { return _filter; }

  protected:
    // mode: the file's permission bits, with LINK_MODE for a symbolic link; size: its bytes.
    virtual void found(const char* name, int64_t mtime, uint16_t mode, int64_t size) {
        (void)name;
        (void)mtime;
        (void)mode;
        (void)size;
    }
    // Something in folder dir is not taken (a name twin, too big, too long, unreadable): data
    // that a save does not store.
    virtual void skipped(Msg msg, const std::string& dir, const os::DirEntry& entry) {
        (void)msg;
        (void)dir;
        (void)entry;
    }
    // A subfolder of the current folder (the walker has moved there) could not be listed.
    virtual void skippedDir(const char* name) { (void)name; }
    // Whether to list the subfolder name of folder dir, which the filter takes; a scan that
    // knows the subfolder as it is says no (the walker has not moved to dir).
    virtual bool descend(const std::string& dir, const std::string& name) {
        (void)dir;
        (void)name;
        return true;
    }

  private:
    // Names longer than this leave no room for the longest name a folder path may still get.
    static constexpr size_t PATH_RESERVE = 10;
    // Whether the scan lists subfolder name of folder dir (unless descend() says no).
    static bool enters(const ScanFilter& filter, const std::string& dir, const std::string& name) {
        return dir.size() + name.size() + PATH_RESERVE < MAX_PATH &&
               filter.scanSubfolder(name.c_str());
    }
    // False, with _listError set, when dir cannot be listed.
    bool scan(const std::string& dir);

    ScanFilter& _filter;
    int _listError = 0;
    ListingPool* _pool = nullptr;  // during find()
};
