// Straightforward versions of the compressor's two searches, kept to check the fast ones:
// - RefParser cuts a stream into items byte by byte with hash chains walked to their end, as
//   the format's text describes it (look-ahead of 255, runs not indexed);
// - refDecode reads a stream item by item through LzDecoder and reports where it stops.
// Both are slow on purpose and have no shortcuts.
#pragma once

#include "archive/codec/LzDecoder.h"
#include "archive/codec/LzFormat.h"

#include <cstdint>
#include <vector>

struct LzItem {
    uint32_t distance = 0;  // 0 for a literal
    uint32_t length = 1;
    uint8_t literal = 0;
    bool operator==(const LzItem&) const = default;
};

class RefParser {
  public:
    std::vector<std::vector<LzItem>> blocks;

    RefParser() { reset(); }
    void put(uint8_t b) {
        if (_end == lz::BLOCK_SIZE) {
            while (_pos < _end)
                step();
            blocks.push_back(std::move(_items));
            reset();
        } else if (_end - _pos == 255) {
            step();
        }
        _w[_end++] = b;
    }
    void finish() {
        while (_pos < _end)
            step();
        blocks.push_back(std::move(_items));
        reset();
    }

  private:
    void reset() {
        _items.clear();
        _pos = _end = _hash = _run = 0;
        for (auto& h : _head)
            h = 0xFFFF;
    }
    void step() {
        uint32_t best = 0, bestPos = 0;
        if (_end - _pos >= 3) {
            uint32_t h =
                ((_w[_pos] & 31u) << 10) | ((_w[_pos + 1] & 31u) << 5) | (_w[_pos + 2] & 31u);
            for (uint32_t c = _head[h]; c != 0xFFFF; c = _link[c]) {
                uint32_t len = 0;
                while (_pos + len < _end && _w[c + len] == _w[_pos + len])
                    ++len;
                if (len > best && len >= 4) {
                    best = len;
                    bestPos = c;
                    if (len == _end - _pos) break;
                }
            }
        }
        if (best) {
            _items.push_back({_pos - bestPos, best, 0});
        } else {
            _items.push_back({0, 1, _w[_pos]});
            best = 1;
        }
        for (uint32_t i = 0; i < best; ++i)
            advance();
    }
    void advance() {
        uint8_t b = _w[_pos];
        _hash = ((_hash & 0x3FF) << 5) | (b & 31u);
        _run = _pos > 0 && _w[_pos - 1] == b ? _run + 1 : 1;
        ++_pos;
        if (_run <= 3 && _pos >= 3) {
            _link[_pos - 3] = _head[_hash];
            _head[_hash] = static_cast<uint16_t>(_pos - 3);
        }
    }

    uint8_t _w[lz::BLOCK_SIZE];
    uint16_t _head[32768];
    uint16_t _link[lz::BLOCK_SIZE];
    uint32_t _pos, _end, _hash, _run;
    std::vector<LzItem> _items;
};

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
