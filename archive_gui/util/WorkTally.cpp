#include "archive_gui/util/WorkTally.h"

void WorkTally::expect(int64_t files, int64_t bytes) {
    if (_totals) _to.expect(files, bytes);
}

void WorkTally::advance(int64_t files, int64_t bytes) {
    _bytes += bytes;
    _files += files;
    _to.advance(files, bytes);
}
