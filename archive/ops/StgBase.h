// A full-content item of the storage file as the base of a delta: the save indexes it to write
// a delta against it, the restore reads it to apply one.
#pragma once

#include "archive/codec/LzFormat.h"
#include "archive/delta/DataImage.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"

#include <list>
#include <memory>
#include <optional>
#include <unordered_map>

// A full-content item as the base of a delta: read once from the front to index it, then by
// seeks to confirm matches and to copy ranges when a delta version is restored.
//
// The coder decodes a block whole, so a seek into another block costs a block's decoding. The
// last cacheBlocks decoded blocks are kept (64 KiB each, the least recently used going first):
// a delta that jumps to and fro among them decodes each once, where a forged one of copies
// that straddle a block boundary would otherwise cost two block decodings per byte it makes.
// An error met while decoding a block is raised only when a read reaches the byte where it
// happened, as the coder does.
class StgBase final : public BaseSource {
  public:
    StgBase(StgFile& file, uint32_t pos, size_t cacheBlocks = 2)
        : _r(file, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS),
          _limit(cacheBlocks ? cacheBlocks : 1) {}
    void start() override { seek(0); }
    void seek(uint32_t pos) override {
        _cur = &block(pos / lz::BLOCK_SIZE);
        _at = pos % lz::BLOCK_SIZE;
    }
    uint8_t readByte() override {
        if (_cur && _at < _cur->len) return _cur->bytes[_at++];
        return readSlow();
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
        _r.lzReader().seek(n * lz::BLOCK_SIZE);
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
        LzReader& lz = _r.lzReader();
        try {
            while (b.len < lz::BLOCK_SIZE && !lz.blockExhausted())
                b.bytes[b.len++] = lz.read();
        } catch (Error& e) {
            b.error = std::move(e);
        }
        return b;
    }

    StgReader _r;
    const size_t _limit;
    bool _started = false;
    std::list<Block> _lru;  // most recently used first
    std::unordered_map<uint32_t, std::list<Block>::iterator> _index;
    Block* _cur = nullptr;
    uint32_t _at = 0;
};
