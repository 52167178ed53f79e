// A plain item-by-item reading of a stream through LzDecoder, to check the block decoder against.
#pragma once

#include "archive/codec/LzDecoder.h"
#include "archive/codec/LzFormat.h"

#include <cstdint>
#include <vector>

struct RefDecodeResult {
    std::vector<uint8_t> bytes;
    int32_t error = 0;  // innermost code; 4202 at the end of the stream
};

// Reads the whole stream item by item. A block without pointers with a one-symbol literal code
// is not handled here (callers leave such streams out).
inline RefDecodeResult refDecode(BlockReader& src) {
    RefDecodeResult r;
    LzDecoder dec(src);
    std::vector<uint8_t> win;
    try {
        dec.readHeader();
        for (;;) {
            int item = dec.peekItem();
            if (item == 2) {
                if (!dec.nextBlock()) throw makeError("LzReader.read.1");
                win.clear();
            } else if (item == 0) {
                uint8_t b = dec.getLiteral();
                if (win.size() == lz::BLOCK_SIZE) throw makeError("LzReader.read.2");
                win.push_back(b);
                r.bytes.push_back(b);
            } else {
                uint32_t d, l;
                dec.getPointer(d, l);
                if (d == 0 || d > win.size() || l == 0 || l > lz::BLOCK_SIZE - win.size())
                    throw makeError("LzReader.read.2");
                for (uint32_t i = 0; i < l; ++i) {
                    uint8_t b = win[win.size() - d];
                    win.push_back(b);
                    r.bytes.push_back(b);
                }
            }
        }
    } catch (Error& e) {
        const Error* inner = &e;
        while (inner->cause)
            inner = inner->cause.get();
        r.error = inner->code;
    }
    return r;
}
