// Restores a file version from its delta (format in DeltaFormat.h) and its base.
//
// A delta comes from the storage file, which may be damaged or crafted, so nothing in it is
// trusted: an unknown op byte, a negative count, a range that ends before it starts, or more
// output than the version's recorded size fails with 2026 ("Invalid DIFF format"); a range
// beyond the base fails with the base source's own error. The work is bounded by the delta's
// length and the version's size, never by a number found in the delta.
#pragma once

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaFormat.h"
#include "archive/support/msg.h"

#include <cstdint>

namespace delta {

// Runs the operations read from `delta` (anything with readByte() and readNumber()) up to
// 'C', passing every restored byte to put(uint8_t). At most maxOut bytes are produced (the
// version's size). Every 'B' seeks, so ranges may overlap or go backwards in the base.
template <class Source, class Put>
void applyDelta(Source& delta, BaseSource& base, uint32_t maxOut, Put&& put) {
    uint64_t left = maxOut;
    for (;;) {
        uint8_t op = delta.readByte();
        if (op == OP_END) return;
        if (op == OP_ADD) {
            int32_t n = delta.readNumber();
            if (n < 0 || static_cast<uint64_t>(n) > left) throw makeError("Tresmo.exportFile.1");
            left -= static_cast<uint64_t>(n);
            for (int32_t i = 0; i < n; ++i)
                put(delta.readByte());
        } else if (op == OP_BASE) {
            int32_t start = delta.readNumber();
            int32_t end = delta.readNumber();
            if (start < 0 || end < start || static_cast<uint64_t>(end - start) > left)
                throw makeError("Tresmo.exportFile.1");
            left -= static_cast<uint64_t>(end - start);
            if (end == start) continue;
            base.seek(static_cast<uint32_t>(start));
            for (int32_t i = start; i < end; ++i)
                put(base.readByte());
        } else {
            throw makeError("Tresmo.exportFile.1");
        }
    }
}

}  // namespace delta
