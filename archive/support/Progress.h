// Progress of long work (load, scan, save, export, verify) and the user's wish to stop it.
//
// The engine reports counts of files and bytes done against what it expects, and asks
// cancelled() between units of work; a cancelled operation stops with the error 2032 and
// leaves nothing half-done behind (a cancelled save rolls the storage file back).
#pragma once

#include <cstdint>

class Progress {
  public:
    virtual ~Progress() = default;
    // What the operation expects to do; either may be 0 when unknown.
    virtual void expect(int64_t files, int64_t bytes) {
        (void)files;
        (void)bytes;
    }
    // Work done since the last call.
    virtual void advance(int64_t files, int64_t bytes) {
        (void)files;
        (void)bytes;
    }
    virtual bool cancelled() const { return false; }

    // Throws the cancellation error when the user asked to stop.
    void checkCancel() const;
};
