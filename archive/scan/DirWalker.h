// Walking folders.
//
// DirWalker keeps a current folder path and moves it one folder at a time, calling a hook at
// each step, so a subclass can keep a cursor in the archive tree in step with the file system
// (the scan, the commit and the export are walkers).
#pragma once

#include "archive/support/paths.h"

#include <cstddef>

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

  protected:
    virtual void onEnterDir(const char* name) { (void)name; }
    virtual void onExitDir() {}

    char _dir[MAX_PATH];
};
