// Stands between the engine and the progress box for one piece of work: counts the files and
// bytes done, for the line that tells how the work ended, and passes on what the box is told.
//
// The caller may know the totals better than the engine reports them: a save knows the files
// it will read, but reports only the bytes it reads, not where a file ends. Given the sizes of
// those files in the order they are read, the tally turns the bytes into files done as well.
// That count runs ahead where a delta that did not pay is read again and behind where a file is
// left out: it is for the eye; what the work really did comes from the engine's own result.
#pragma once

#include "archive/support/Progress.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class WorkTally : public Progress {
  public:
    // totals: whether the engine's own totals reach the box (a load's is the bytes of the
    // archive, which it never counts off, so it stays out).
    explicit WorkTally(Progress& to, bool totals = true) : _to(to), _totals(totals) {}

    // The sizes of the files about to be read, in their order; tells the box their totals.
    void plan(const std::vector<int64_t>& sizes);
    void expect(int64_t files, int64_t bytes) override;
    void advance(int64_t files, int64_t bytes) override;
    bool cancelled() const override { return _to.cancelled(); }

    int64_t files() const { return _files; }
    int64_t bytes() const { return _bytes; }

  private:
    Progress& _to;
    bool _totals;
    std::vector<int64_t> _ends;  // where each planned file ends in the bytes read
    size_t _next = 0;
    int64_t _files = 0;
    int64_t _bytes = 0;
};
