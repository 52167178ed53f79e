#include "archive/LzReader.h"

#include <algorithm>
#include <cstring>

using namespace lz;

namespace {
// Room behind the window for pointer copies that move 8 bytes at a time.
constexpr uint32_t SLACK = 16;
}  // namespace

LzReader::LzReader(BlockReader& source)
    : LzDecoder(source), _window(new uint8_t[BLOCK_SIZE + SLACK]) {}

size_t LzReader::stateBytes() const {
    return sizeof(*this) + BLOCK_SIZE + SLACK;
}

void LzReader::setBlock(uint32_t n) {
    _block = n;
    _readPos = 0;
    _decoded = 0;
    _bodyDone = false;
    _error.reset();
}

uint8_t LzReader::readSlow() {
    try {
        for (;;) {
            if (!_bodyDone) decodeBody();
            if (_readPos < _decoded) return _window[_readPos++];
            if (_error) throw Error(*_error);
            if (!nextBlock()) throw makeError("LzReader.read.1");
            setBlock(_block + 1);
        }
    } catch (Error& e) {
        throw makeError(std::move(e), "LzReader.read", _source.startPos(), _block, _readPos);
    }
}

void LzReader::read(std::span<uint8_t> out) {
    while (!out.empty()) {
        if (_readPos < _decoded) {
            size_t n = std::min<size_t>(out.size(), _decoded - _readPos);
            std::memcpy(out.data(), _window.get() + _readPos, n);
            _readPos += static_cast<uint32_t>(n);
            out = out.subspan(n);
        } else {
            out[0] = readSlow();
            out = out.subspan(1);
        }
    }
}

void LzReader::seek(uint32_t p) {
    uint32_t block = p / BLOCK_SIZE;
    uint32_t offset = p % BLOCK_SIZE;
    try {
        if (block != _block) {
            if (!gotoBlock(block)) throw makeError("LzReader.seek.1");
            setBlock(block);
        }
        if (!_bodyDone) decodeBody();
        if (offset <= _decoded) {
            _readPos = offset;
        } else {
            // Only a damaged or foreign block is shorter: read on as the stream goes.
            while (_readPos != offset)
                read();
        }
    } catch (Error& e) {
        throw makeError(std::move(e), "LzReader.seek", _source.startPos(), block, offset);
    }
}

bool LzReader::blockExhausted() {
    if (!_bodyDone) decodeBody();
    return _readPos >= _decoded && !_error;
}

void LzReader::decodeBody() {
    _bodyDone = true;
    _decoded = 0;
    try {
        if (!(_flags & (LZ_POINTERS | LZ_LITERAL_CODE)) && _source.bufferedCount() == 0)
            decodePlain();
        else if (!(_flags & LZ_POINTERS) && (_flags & LZ_LITERAL_CODE) && _lit.singleSymbol())
            decodeRepeat();
        else
            decodeItems();
    } catch (Error& e) {
        _error = std::move(e);
    }
    // The block has been consumed to its end (or abandoned): no bits stay behind.
    _source.resetBits();
}

void LzReader::decodePlain() {
    uint8_t* win = _window.get();
    uint32_t d = 0;
    try {
        uint8_t b;
        while (int valid = _source.get(b)) {
            if (valid < 8) throw makeError("BitReader.shift");
            if (d == BLOCK_SIZE) throw makeError("LzReader.read.2");
            win[d++] = b;
        }
    } catch (Error&) {
        _decoded = d;
        throw;
    }
    _decoded = d;
}

void LzReader::decodeRepeat() {
    uint64_t n = BLOCK_SIZE;
    if (_flags & LAST_BLOCK) {
        uint64_t before = uint64_t{_block} * BLOCK_SIZE;
        // Without the stream's size the block's length cannot be known.
        if (!_expected || *_expected < before || *_expected - before > BLOCK_SIZE)
            throw makeError("HCode.read");
        n = *_expected - before;
    }
    std::memset(_window.get(), _lit.root(), n);
    _decoded = static_cast<uint32_t>(n);
}

void LzReader::decodeItems() {
    // The source's bit buffer is taken over into a 64-bit one; the block is read to its end,
    // so nothing needs to be handed back.
    uint64_t bits = _source.bufferedBits();
    int count = _source.bufferedCount();
    bool more = true;
    auto refill = [&] {
        while (count <= 56) {
            uint8_t b;
            int valid = _source.get(b);
            if (valid == 0) {
                more = false;
                return;
            }
            bits |= uint64_t{static_cast<uint8_t>(b & (0xFF >> (8 - valid)))} << count;
            count += valid;
        }
    };
    auto take = [&](int n) -> uint32_t {
        if (count < n) {
            if (more) refill();
            if (count < n) throw makeError("BitReader.shift");
        }
        uint32_t v = static_cast<uint32_t>(bits & ((uint64_t{1} << n) - 1));
        bits >>= n;
        count -= n;
        return v;
    };
    auto decode = [&](const HCode& code) -> uint32_t {
        if (count < code.tableBits() && more) refill();
        uint16_t e = code.decodeTable()[bits & ((1u << code.tableBits()) - 1)];
        if (!(e & HCode::INTERNAL)) {
            int len = e >> 8;
            if (len > count) throw makeError("BitReader.shift");
            bits >>= len;
            count -= len;
            return e & 0xFFu;
        }
        take(code.tableBits());
        uint32_t node = e & ~HCode::INTERNAL;
        while (node >= static_cast<uint32_t>(code.size()))
            node = code.child(node, take(1));
        return node;
    };

    const bool pointers = _flags & LZ_POINTERS;
    const bool litCode = _flags & LZ_LITERAL_CODE;
    const bool distCode = _flags & LZ_DISTANCE_CODE;
    const bool lenCode = _flags & LZ_LENGTH_CODE;
    uint8_t* win = _window.get();
    uint32_t d = 0;
    try {
        for (;;) {
            if (count <= 56 && more) refill();
            if (count == 0) break;
            if (!pointers || !(bits & 1)) {
                if (pointers) take(1);
                uint32_t b = litCode ? decode(_lit) : take(8);
                if (d == BLOCK_SIZE) throw makeError("LzReader.read.2");
                win[d++] = static_cast<uint8_t>(b);
                continue;
            }
            take(1);
            uint32_t dc = distCode ? decode(_dist) : take(7);
            if (dc >= DISTANCE_CODES) throw makeError("LzDecoder.getPointer.1");
            uint32_t distance = distanceBase(dc) + take(distanceExtraBits(dc));
            uint32_t lc = lenCode ? decode(_len) : take(5);
            if (lc >= LENGTH_CODES) throw makeError("LzDecoder.getPointer.2");
            uint32_t length = lengthBase(lc) + take(lengthExtraBits(lc));
            if (distance == 0 || distance > d || length == 0 || length > BLOCK_SIZE - d)
                throw makeError("LzReader.read.2");
            uint8_t* dst = win + d;
            const uint8_t* src = dst - distance;
            if (distance >= 8) {
                for (uint32_t i = 0; i < length; i += 8)
                    std::memcpy(dst + i, src + i, 8);
            } else {
                for (uint32_t i = 0; i < length; ++i)
                    dst[i] = src[i];
            }
            d += length;
        }
    } catch (Error&) {
        _decoded = d;
        throw;
    }
    _decoded = d;
}
