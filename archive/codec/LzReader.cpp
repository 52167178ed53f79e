#include "archive/codec/LzReader.h"

#include <algorithm>
#include <cstring>

using namespace lz;

namespace {
// Room behind the window for pointer copies that move 16 bytes at a time, and behind the
// staging buffer for loads of 8 bytes.
constexpr uint32_t SLACK = 16;
}  // namespace

LzReader::LzReader(BlockReader& source)
    : LzDecoder(source),
      _window(new uint8_t[BLOCK_SIZE + SLACK]),
      _stage(new uint8_t[STAGE_SIZE + SLACK]) {}

size_t LzReader::stateBytes() const {
    return sizeof(*this) + BLOCK_SIZE + SLACK + STAGE_SIZE + SLACK;
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
    // The bytes go straight into the window; one beyond it means the block is too long.
    uint8_t* win = _window.get();
    uint32_t d = 0;
    try {
        for (;;) {
            int valid = 8;
            uint32_t n = _source.getBytes(win + d, BLOCK_SIZE + 1 - d, valid);
            if (n == 0) break;
            d += n;
            uint32_t whole = valid < 8 ? d - 1 : d;
            if (whole > BLOCK_SIZE) {
                d = BLOCK_SIZE;
                throw makeError("LzReader.read.2");
            }
            if (valid < 8) {
                d = whole;
                throw makeError("BitReader.shift");
            }
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

namespace {

// The rest of a block as a bit stream over a staging buffer that the source fills many bytes
// at a time. Bits are loaded 64 at a time; bytes loaded ahead of the count sit above it in
// the buffer, and loading them again ORs in the same bits. Every staged byte is clean (the
// unused bits of a partial last byte are cleared), and once the block is exhausted nothing
// lies above the count, so a table lookup near the end sees zeros for the missing bits.
class StagedBits {
  public:
    StagedBits(BlockReader& source, uint8_t* stage, uint32_t bits, int count)
        : _source(source), _stage(stage), _p(stage), _end(stage), _fastEnd(stage) {
        _bits = count > 0 ? bits & (uint32_t{0xFFFFFFFF} >> (32 - count)) : 0;
        _count = count;
    }

    uint64_t bits() const { return _bits; }
    int count() const { return _count; }

    // At least 56 bits buffered afterwards, or all that is left of the block.
    [[gnu::always_inline]] void refill() {
        if (_p < _fastEnd) {
            uint64_t v;
            std::memcpy(&v, _p, 8);
            _bits |= v << _count;
            _p += (63 - _count) >> 3;
            _count |= 56;
        } else {
            refillSlow();
        }
    }

    [[gnu::always_inline]] void drop(int n) {
        _bits >>= n;
        _count -= n;
    }

    // An n-bit value (n <= 56).
    [[gnu::always_inline]] uint32_t take(int n) {
        if (_count < n) need(n);
        uint32_t v = static_cast<uint32_t>(_bits & ((uint64_t{1} << n) - 1));
        drop(n);
        return v;
    }

    // Makes n bits available or fails as the source did, or with 4000 at the block's end.
    void need(int n) {
        refill();
        if (_count >= n) return;
        if (_error) throw Error(*_error);
        throw makeError("BitReader.shift");
    }

    [[gnu::always_inline]] uint32_t decode(const HCode& code) {
        const int tableBits = code.tableBits();
        if (_count < tableBits) refill();
        uint16_t e = code.decodeTable()[_bits & ((1u << tableBits) - 1)];
        if (!(e & HCode::INTERNAL)) [[likely]] {
            int len = e >> 8;
            if (len > _count) need(len);
            drop(len);
            return e & 0xFFu;
        }
        return decodeLong(code, e);
    }

  private:
    static constexpr uint32_t STAGE = LzReader::STAGE_SIZE;

    uint32_t decodeLong(const HCode& code, uint16_t e) {
        take(code.tableBits());
        uint32_t node = e & ~HCode::INTERNAL;
        while (node >= static_cast<uint32_t>(code.size()))
            node = code.child(static_cast<int>(node), static_cast<int>(take(1)));
        return node;
    }

    void refillSlow() {
        for (;;) {
            if (_p < _fastEnd) return refill();
            while (_count < 56 && _p < _end) {
                int valid = _p + 1 == _end && _partial ? _lastValid : 8;
                _bits |= uint64_t{*_p++} << _count;
                _count += valid;
            }
            if (_count >= 56 || _done || !stageMore()) return;
        }
    }

    // Moves the unread tail to the front and fills the stage from the source; false when
    // nothing came.
    bool stageMore() {
        size_t tail = static_cast<size_t>(_end - _p);
        std::memmove(_stage, _p, tail);
        _p = _stage;
        _end = _stage + tail;
        bool got = false;
        while (!_done && _end < _stage + STAGE) {
            int valid = 8;
            uint32_t n = 0;
            try {
                n = _source.getBytes(_end, static_cast<uint32_t>(_stage + STAGE - _end), valid);
            } catch (Error& e) {
                // Raised when the decoder needs the bits that could not be fetched.
                _error = std::move(e);
                _done = true;
                break;
            }
            if (n == 0) {
                _done = true;
                break;
            }
            got = true;
            _end += n;
            if (valid < 8) {
                // A partial byte ends the block; its unused bits are cleared.
                _end[-1] &= static_cast<uint8_t>(0xFF >> (8 - valid));
                _lastValid = valid;
                _partial = true;
                _done = true;
            }
        }
        _fastEnd = _end - _stage >= 8 + int{_partial} ? _end - 8 - int{_partial} : _stage;
        return got;
    }

    BlockReader& _source;
    uint8_t* _stage;
    const uint8_t* _p;
    uint8_t* _end;
    // A load of 8 bytes at p counts its bytes in full while p is below this.
    const uint8_t* _fastEnd;
    uint64_t _bits;
    int _count;
    int _lastValid = 8;
    bool _partial = false;
    bool _done = false;
    std::optional<Error> _error;
};

}  // namespace

void LzReader::decodeItems() {
    StagedBits in(_source, _stage.get(), _source.bufferedBits(), _source.bufferedCount());
    const bool pointers = _flags & LZ_POINTERS;
    const bool litCode = _flags & LZ_LITERAL_CODE;
    const bool distCode = _flags & LZ_DISTANCE_CODE;
    const bool lenCode = _flags & LZ_LENGTH_CODE;
    uint8_t* win = _window.get();
    uint32_t d = 0;
    try {
        if (!pointers) {
            for (;;) {
                in.refill();
                if (in.count() == 0) break;
                uint32_t b = litCode ? in.decode(_lit) : in.take(8);
                if (d == BLOCK_SIZE) throw makeError("LzReader.read.2");
                win[d++] = static_cast<uint8_t>(b);
            }
            _decoded = d;
            return;
        }
        for (;;) {
            in.refill();
            if (in.count() == 0) break;
            if (!(in.bits() & 1)) {
                in.drop(1);
                uint32_t b = litCode ? in.decode(_lit) : in.take(8);
                if (d == BLOCK_SIZE) throw makeError("LzReader.read.2");
                win[d++] = static_cast<uint8_t>(b);
                continue;
            }
            in.drop(1);
            uint32_t dc = distCode ? in.decode(_dist) : in.take(7);
            if (dc >= DISTANCE_CODES) throw makeError("LzDecoder.getPointer.1");
            uint32_t distance = distanceBase(dc) + in.take(distanceExtraBits(dc));
            uint32_t lc = lenCode ? in.decode(_len) : in.take(5);
            if (lc >= LENGTH_CODES) throw makeError("LzDecoder.getPointer.2");
            uint32_t length = lengthBase(lc) + in.take(lengthExtraBits(lc));
            if (distance == 0 || distance > d || length == 0 || length > BLOCK_SIZE - d)
                throw makeError("LzReader.read.2");
            uint8_t* dst = win + d;
            const uint8_t* src = dst - distance;
            if (distance >= 16) {
                for (uint32_t i = 0; i < length; i += 16)
                    std::memcpy(dst + i, src + i, 16);
            } else if (distance >= 8) {
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
