#include "archive/LzEncoder.h"

#include <algorithm>
#include <cstring>

using namespace lz;

LzEncoder::LzEncoder(BlockWriter& output)
    : _out(output),
      _item(new uint16_t[ITEM_SLOTS]),
      _finder(new LzMatchFinder),
      _window(new uint8_t[BLOCK_SIZE]) {
    _lit.setWriter(&_block);
    _dist.setWriter(&_block);
    _len.setWriter(&_block);
    reset();
}

void LzEncoder::reset() {
    _end = 0;
    _covered = 0;
    _items = 0;
    _passBits = 0;
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

// The first pass lists the items and counts the symbols of the three codes and the bits the
// items take with plain fields.
struct LzEncoder::FirstPass {
    LzEncoder& e;
    void literal(uint8_t b) {
        e._item[e._items++] = b;
        e._passBits += 9;
        e._lit.addWeight(b);
        ++e._covered;
    }
    void pointer(uint32_t distance, uint32_t length) {
        CodeBits d = distanceCode(distance);
        CodeBits l = lengthCode(length);
        e._item[e._items] = static_cast<uint16_t>(0x8000 | length);
        e._item[e._items + 1] = static_cast<uint16_t>(distance);
        e._items += 2;
        e._passBits += 1 + 7 + 5 + static_cast<uint32_t>(d.extraBits + l.extraBits);
        e._dist.addWeight(static_cast<int>(d.code));
        e._len.addWeight(static_cast<int>(l.code));
        e._covered += length;
    }
};

void LzEncoder::encodeBlock(bool last) {
    const uint32_t n = _end;
    const uint8_t* data = _window.get();
    _finder->parse(data, n, FirstPass{*this});

    // The pointers pay when they save at least 2.5 percent of the plain bits:
    // (8 covered - bits) * 100 / (8 covered) >= 2.5, decided without a division. Items that
    // would not fit in 65536 bytes never pay.
    int64_t plain = int64_t{8} * _covered;
    int64_t bits = static_cast<int64_t>(_passBits);
    bool overflow = (_passBits + 7) / 8 > BLOCK_SIZE;
    bool pointersPay = _covered > 0 && !overflow && 40 * (plain - bits) >= plain;

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
    if (!(flags & (LZ_POINTERS | LZ_LITERAL_CODE))) {
        _out.putBits(data, 8 * n);
        return;
    }
    _block.clear();
    if (flags & LZ_LITERAL_CODE) _lit.writeTree();
    if (flags & LZ_DISTANCE_CODE) _dist.writeTree();
    if (flags & LZ_LENGTH_CODE) _len.writeTree();
    if (flags & LZ_POINTERS)
        writePointerItems(flags);
    else
        writeLiterals(data, n);
    _block.storePending();
    _out.putBits(_block.data(), _block.bitCount());
}

namespace {

// Code words of one code, or the plain field when the code is not used: length 31 marks a
// word too long for the fast path.
struct Words {
    uint32_t word[256];
    uint8_t bits[256];

    void of(const HCode& code, bool used, int plainBits) {
        for (int s = 0; s < code.size(); ++s) {
            if (!used) {
                word[s] = static_cast<uint32_t>(s);
                bits[s] = static_cast<uint8_t>(plainBits);
            } else {
                int len = code.codeLength(s);
                word[s] = code.codeWord(s);
                bits[s] = static_cast<uint8_t>(len > HCode::MAX_CODE_BITS ? 31 : len);
            }
        }
    }
};

}  // namespace

void LzEncoder::writeLiterals(const uint8_t* data, uint32_t n) {
    Words lit;
    lit.of(_lit, true, 8);
    _block.begin();
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t b = data[i];
        if (lit.bits[b] == 31) [[unlikely]] {
            _block.end();
            _lit.write(b);
            _block.begin();
            continue;
        }
        _block.putFast(lit.word[b], lit.bits[b]);
        _block.flush();
    }
    _block.end();
}

void LzEncoder::writePointerItems(uint8_t flags) {
    // Each item again with its flag bit, each field in plain bits or with its code as the
    // flags say, extra bits unchanged.
    Words lit, dist, len;
    lit.of(_lit, flags & LZ_LITERAL_CODE, 8);
    dist.of(_dist, flags & LZ_DISTANCE_CODE, 7);
    len.of(_len, flags & LZ_LENGTH_CODE, 5);
    const uint16_t* item = _item.get();
    const uint16_t* end = item + _items;
    _block.begin();
    while (item < end) {
        uint32_t v = *item++;
        if (!(v & 0x8000)) {
            if (lit.bits[v] == 31) [[unlikely]] {
                _block.putFast(0, 1);
                _block.end();
                _lit.write(static_cast<int>(v));
                _block.begin();
                continue;
            }
            _block.putFast(lit.word[v] << 1, lit.bits[v] + 1);
            _block.flush();
            continue;
        }
        CodeBits d = distanceCode(*item++);
        CodeBits l = lengthCode(v & 0xFF);
        _block.putFast(1, 1);
        if (dist.bits[d.code] == 31) [[unlikely]] {
            _block.end();
            _dist.write(static_cast<int>(d.code));
            _block.begin();
        } else {
            _block.putFast(dist.word[d.code], dist.bits[d.code]);
        }
        _block.putFast(d.extra, d.extraBits);
        _block.flush();
        if (len.bits[l.code] == 31) [[unlikely]] {
            _block.end();
            _len.write(static_cast<int>(l.code));
            _block.begin();
        } else {
            _block.putFast(len.word[l.code], len.bits[l.code]);
        }
        _block.putFast(l.extra, l.extraBits);
        _block.flush();
    }
    _block.end();
}
