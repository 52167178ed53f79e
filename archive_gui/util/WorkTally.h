// Stands between the engine and the progress box for one piece of work: counts the files and
// bytes done, for the line that tells how the work ended, and passes on what the box is told.
#pragma once

#include "archive/support/Progress.h"

#include <cstdint>

class WorkTally : public Progress {
  public:
    // totals: whether the engine's own totals reach the box (a load's is the bytes of the
    // archive, which it never counts off, so it stays out).
    explicit WorkTally(Progress& to, bool totals = true) : _to(to), _totals(totals) {}

    void expect(int64_t files, int64_t bytes) override;
    void advance(int64_t files, int64_t bytes) override;
    bool cancelled() const override { return _to.cancelled(); }

    int64_t files() const { return _files; }
    int64_t bytes() const { return _bytes; }

  private:
    Progress& _to;
    bool _totals;
    int64_t _files = 0;
    int64_t _bytes = 0;
};
