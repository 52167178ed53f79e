// Writes the delta of a file against its base (format in DeltaFormat.h), or gives up when the
// delta would not pay off.
//
// The file's reader buffer is the search window: what the data image matches becomes a copy
// command, the bytes before a match an add command. Two budgets, fixed from the file's size
// before the search starts, bound the delta: the number of commands (segments) and the number
// of new bytes. When either runs out the delta is abandoned: encodeDelta returns false and the
// caller stores the file in full, dropping what was written to the sink.
//
// encodeDelta does not look at ByteSource::changedWhileRead(): the caller checks it once the
// reader is at its end, whichever way the content was stored.
#pragma once

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaFormat.h"
#include "archive/storage/ByteSource.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

namespace delta {

struct Budget {
    int64_t segments = 0;
    int64_t newBytes = 0;
};

// size x maxSeg segments and size x maxNew new bytes, each truncated to an integer; a
// negative or undefined product gives no budget at all.
inline Budget budgetFor(uint32_t size, double maxSeg, double maxNew) {
    auto truncated = [](double v) -> int64_t {
        if (!(v > 0)) return 0;
        if (v >= 9.0e18) return std::numeric_limits<int64_t>::max();
        return static_cast<int64_t>(v);
    };
    return Budget{truncated(size * maxSeg), truncated(size * maxNew)};
}

// Reads the whole file through `reader` (opened, not yet read) and writes the delta to `out`
// (anything with writeByte(uint8_t) and writeNumber(int32_t)). The image's window must be at
// least the reader's buffer size. Returns false when a budget ran out; the reader is then
// somewhere in the middle of the file.
//
// `consumed` (optional) is called with the number of file bytes each step encoded, before the
// reader refills: the place for progress and for a cancel check that throws.
template <class Sink>
bool encodeDelta(ByteSource& reader, DataImage& image, Sink& out, Budget budget,
                 const std::function<void(size_t)>& consumed = {}) {
    while (reader.len() > 0) {
        const uint8_t* window = reader.buffer();
        const uint32_t len = static_cast<uint32_t>(reader.len());
        uint32_t n = 0, start = 0, end = 0;
        bool found = image.findMatch(window, len, n, start, end);
        if (!found && n == 0) n = len;
        if (n > 0) {
            if (budget.segments == 0 || budget.newBytes < n) return false;
            budget.newBytes -= n;
            --budget.segments;
            out.writeByte(OP_ADD);
            out.writeNumber(static_cast<int32_t>(n));
            for (uint32_t i = 0; i < n; ++i)
                out.writeByte(window[i]);
        }
        if (found) {
            // A base beyond what a number can address (only a damaged archive claims one) is
            // not copied from.
            if (budget.segments == 0 || end > static_cast<uint32_t>(INT32_MAX)) return false;
            --budget.segments;
            out.writeByte(OP_BASE);
            out.writeNumber(static_cast<int32_t>(start));
            out.writeNumber(static_cast<int32_t>(end));
            n += end - start;
        }
        if (consumed) consumed(n);
        reader.shift(n);
    }
    out.writeByte(OP_END);
    return true;
}

}  // namespace delta
