#include "archive_gui/util/WorkTally.h"

void WorkTally::plan(const std::vector<int64_t>& sizes) {
    _ends.clear();
    int64_t end = 0;
    for (int64_t s : sizes)
        _ends.push_back(end += s);
    _next = 0;
    _to.expect(static_cast<int64_t>(sizes.size()), end);
}

void WorkTally::expect(int64_t files, int64_t bytes) {
    if (_totals) _to.expect(files, bytes);
}

void WorkTally::advance(int64_t files, int64_t bytes) {
    _bytes += bytes;
    // A file is done once every byte up to its end is; an empty one with the file before it.
    for (; _next < _ends.size() && _ends[_next] <= _bytes; ++_next)
        ++files;
    _files += files;
    _to.advance(files, bytes);
}
