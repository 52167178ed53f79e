// A full-content item of the storage file as the base of a delta: the save indexes it to write
// a delta against it, the restore reads it to apply one.
#pragma once

#include "archive/codec/LzFormat.h"
#include "archive/delta/DataImage.h"
#include "archive/os/os.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"

#include <algorithm>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

// A full-content item as the base of a delta: read once from the front to index it, then by
// seeks to confirm matches and to copy ranges when a delta version is restored.
//
// The coder decodes a block whole, so a seek into another block costs a block's decoding. The
// last cacheBlocks decoded blocks are kept (64 KiB each, the least recently used going first):
// a delta that jumps to and fro among them decodes each once, where a forged one of copies
// that straddle a block boundary would otherwise cost two block decodings per byte it makes.
// A block decoded a second time (the cache was too small for the delta's jumps) is also kept
// in an unnamed temporary file, from which later misses read it: each block of the base is
// decoded at most twice, whatever a forged delta asks for. An error met while decoding a block
// is raised only when a read reaches the byte where it happened, as the coder does.
class StgBase final : public BaseSource {
  public:
    // keepFirst: every whole block goes to the temporary file the first time it is decoded, for
    // an owner that reads the base through once and then again (the save's delta search).
    StgBase(StgFile& file, uint32_t pos, size_t cacheBlocks = 2, bool keepFirst = false)
        : _r(file, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS),
          _limit(cacheBlocks ? cacheBlocks : 1),
          _keepFirst(keepFirst) {}
    ~StgBase() override {
        if (_spill >= 0) os::closeQuietly(_spill);
    }
    StgBase(const StgBase&) = delete;
    StgBase& operator=(const StgBase&) = delete;
    void start() override { seek(0); }
    void seek(uint32_t pos) override {
        _cur = &block(pos / lz::BLOCK_SIZE);
        _at = pos % lz::BLOCK_SIZE;
    }
    uint8_t readByte() override {
        if (_cur && _at < _cur->len) return _cur->bytes[_at++];
        return readSlow();
    }
    std::span<const uint8_t> readSome(uint32_t max) override {
        if (!_cur || _at >= _cur->len) {
            // The next block, or the failure where the good bytes end.
            _one = readSlow();
            return {&_one, 1};
        }
        const uint32_t n = std::min(max, _cur->len - _at);
        _at += n;
        return {_cur->bytes.get() + _at - n, n};
    }

  private:
    struct Block {
        uint32_t n = 0, len = 0;
        std::unique_ptr<uint8_t[]> bytes;
        std::optional<Error> error;  // where len stops short of a whole block, if it did
    };

    uint8_t readSlow() {
        if (!_cur) start();
        if (_at < _cur->len) return readByte();
        if (_cur->len == lz::BLOCK_SIZE) {
            seek((_cur->n + 1) * lz::BLOCK_SIZE);
            return readByte();
        }
        if (_cur->error) throw Error(*_cur->error);
        // The base ends here: the coder raises its own error for a read past it.
        _r.lzReader().seek(_cur->n * lz::BLOCK_SIZE + _cur->len);
        return _r.readByte();
    }

    Block& block(uint32_t n) {
        if (auto it = _index.find(n); it != _index.end()) {
            _lru.splice(_lru.begin(), _lru, it->second);
            return _lru.front();
        }
        if (!_started) {
            _r.start();
            _started = true;
        }
        if (_lru.size() >= _limit) {
            _index.erase(_lru.back().n);
            _lru.splice(_lru.begin(), _lru, std::prev(_lru.end()));
        } else {
            _lru.emplace_front();
            _lru.front().bytes = std::make_unique<uint8_t[]>(lz::BLOCK_SIZE);
        }
        Block& b = _lru.front();
        b.n = n;
        b.len = 0;
        b.error.reset();
        _index[n] = _lru.begin();
        if (n < _spilled.size() && _spilled[n] && readSpilled(b)) return b;
        LzReader& lz = _r.lzReader();
        lz.seek(n * lz::BLOCK_SIZE);
        try {
            // The seek decoded the block: its bytes are copied at once, and a damaged block's
            // error is met by the read one past its last good byte.
            b.len = std::min<uint32_t>(lz.readyInBlock(), lz::BLOCK_SIZE);
            lz.read(std::span<uint8_t>(b.bytes.get(), b.len));
            while (b.len < lz::BLOCK_SIZE && !lz.blockExhausted())
                b.bytes[b.len++] = lz.read();
        } catch (Error& e) {
            b.error = std::move(e);
        }
        if (n >= _decoded.size()) {
            _decoded.resize(n + 1);
            _spilled.resize(n + 1);
        }
        if ((_decoded[n] || _keepFirst) && b.len == lz::BLOCK_SIZE) spill(b);
        _decoded[n] = true;
        return b;
    }

    // Keeps a whole block in the temporary file; where it cannot, the block is decoded again.
    void spill(const Block& b) {
        if (_spill < 0 && !_noSpill) _noSpill = (_spill = os::unnamedTempFile()) < 0;
        const off_t at = static_cast<off_t>(b.n) * lz::BLOCK_SIZE;
        if (_spill >= 0 && os::pwriteFull(_spill, b.bytes.get(), b.len, at)) _spilled[b.n] = true;
    }

    bool readSpilled(Block& b) {
        const off_t at = static_cast<off_t>(b.n) * lz::BLOCK_SIZE;
        if (os::preadFull(_spill, b.bytes.get(), lz::BLOCK_SIZE, at) != lz::BLOCK_SIZE)
            return false;
        b.len = lz::BLOCK_SIZE;
        return true;
    }

    StgReader _r;
    const size_t _limit;
    const bool _keepFirst;
    bool _started = false;
    std::list<Block> _lru;  // most recently used first
    std::unordered_map<uint32_t, std::list<Block>::iterator> _index;
    Block* _cur = nullptr;
    uint32_t _at = 0;
    uint8_t _one = 0;
    std::vector<bool> _decoded, _spilled;  // by block number
    int _spill = -1;
    bool _noSpill = false;
};
