#include "archive/LzEncoder.h"

#include <algorithm>
#include <cstring>

using namespace lz;

LzEncoder::LzEncoder(BlockWriter& output)
    : _out(output),
      _pass(new MemBitBuffer),
      _finder(new LzMatchFinder),
      _window(new uint8_t[BLOCK_SIZE]) {
    _lit.setWriter(&output);
    _dist.setWriter(&output);
    _len.setWriter(&output);
    _lit.setReader(_pass.get());
    _dist.setReader(_pass.get());
    _len.setReader(_pass.get());
    reset();
}

void LzEncoder::reset() {
    _end = 0;
    _covered = 0;
    _pass->clear();
    _lit.reset();
    _dist.reset();
    _len.reset();
}

void LzEncoder::put(std::span<const uint8_t> data) {
    while (!data.empty()) {
        if (_end == BLOCK_SIZE) flushFullBlock();
        size_t n = std::min<size_t>(data.size(), BLOCK_SIZE - _end);
        std::memcpy(_window.get() + _end, data.data(), n);
        _end += static_cast<uint32_t>(n);
        data = data.subspan(n);
    }
}

void LzEncoder::flushFullBlock() {
    // A full window is written only when the next byte arrives, so that a stream of exactly
    // 65536 bytes is one block with LAST_BLOCK.
    encodeBlock(false);
    reset();
}

void LzEncoder::finish() {
    encodeBlock(true);
}

// The first pass writes each item as plain bits into the scratch buffer and counts the
// symbols of the three codes.
struct LzEncoder::FirstPass {
    LzEncoder& e;
    void literal(uint8_t b) {
        e._pass->put(0, 1);
        e._pass->put(b, 8);
        e._lit.addWeight(b);
        ++e._covered;
    }
    void pointer(uint32_t distance, uint32_t length) {
        CodeBits d = distanceCode(distance);
        CodeBits l = lengthCode(length);
        MemBitBuffer& p = *e._pass;
        p.put(1, 1);
        p.put(d.code, 7);
        p.put(d.extra, d.extraBits);
        p.put(l.code, 5);
        p.put(l.extra, l.extraBits);
        e._dist.addWeight(static_cast<int>(d.code));
        e._len.addWeight(static_cast<int>(l.code));
        e._covered += length;
    }
};

void LzEncoder::encodeBlock(bool last) {
    const uint32_t n = _end;
    const uint8_t* data = _window.get();
    _finder->parse(data, n, FirstPass{*this});
    _pass->flushLast();

    // The pointers pay when they save at least 2.5 percent of the plain bits:
    // (8 covered - bits) * 100 / (8 covered) >= 2.5, decided without a division.
    int64_t plain = int64_t{8} * _covered;
    int64_t bits = static_cast<int64_t>(_pass->bitCount());
    bool pointersPay = _covered > 0 && !_pass->overflowed() && 40 * (plain - bits) >= plain;

    uint8_t flags = last ? LAST_BLOCK : 0;
    if (!pointersPay) {
        _lit.reset();
        for (uint32_t i = 0; i < n; ++i)
            _lit.addWeight(data[i]);
        _lit.build();
        // A one-symbol code spends no bits per literal, so without pointers the block's bits
        // could not tell how many literals it holds: such a block is stored plain.
        if (_lit.pays() && !_lit.singleSymbol()) flags |= LZ_LITERAL_CODE;
    } else {
        flags |= LZ_POINTERS;
        _lit.build();
        if (_lit.pays()) flags |= LZ_LITERAL_CODE;
        _dist.build();
        if (_dist.pays()) flags |= LZ_DISTANCE_CODE;
        _len.build();
        if (_len.pays()) flags |= LZ_LENGTH_CODE;
    }

    _out.setFlags(flags);
    if (flags & LZ_LITERAL_CODE) _lit.writeTree();
    if (flags & LZ_DISTANCE_CODE) _dist.writeTree();
    if (flags & LZ_LENGTH_CODE) _len.writeTree();
    if (flags & LZ_POINTERS) {
        writePointerItems(flags);
    } else if (flags & LZ_LITERAL_CODE) {
        for (uint32_t i = 0; i < n; ++i)
            _lit.write(data[i]);
    } else {
        _out.putBits(data, 8 * n);
        return;
    }
    _out.flushLast();
}

void LzEncoder::writePointerItems(uint8_t flags) {
    // The items are read back from the scratch buffer and written again with the codes that
    // pay; extra bits are copied unchanged.
    MemBitBuffer& in = *_pass;
    BitWriter& out = _out;
    in.rewind();
    uint32_t left = _covered;
    while (left > 0) {
        if (in.read(1) == 0) {
            uint32_t b = in.read(8);
            out.put(0, 1);
            if (flags & LZ_LITERAL_CODE)
                _lit.write(static_cast<int>(b));
            else
                out.put(b, 8);
            --left;
            continue;
        }
        uint32_t dc = in.read(7);
        int dBits = distanceExtraBits(dc);
        uint32_t dExtra = in.read(dBits);
        uint32_t lc = in.read(5);
        int lBits = lengthExtraBits(lc);
        uint32_t lExtra = in.read(lBits);
        out.put(1, 1);
        if (flags & LZ_DISTANCE_CODE)
            _dist.write(static_cast<int>(dc));
        else
            out.put(dc, 7);
        out.put(dExtra, dBits);
        if (flags & LZ_LENGTH_CODE)
            _len.write(static_cast<int>(lc));
        else
            out.put(lc, 5);
        out.put(lExtra, lBits);
        left -= lengthBase(lc) + lExtra;
    }
}
