#include "archive/storage/StgReadBuffer.h"

#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cstring>

StgReadBuffer::StgReadBuffer(StgFile& file, uint64_t startPos, uint32_t mode)
    : _file(file), _startPos(startPos), _mode(mode), _crc(crc32::init()) {}

uint32_t StgReadBuffer::readItemHeader(uint64_t& pos, uint32_t expectedType) {
    uint8_t h[stg::ITEM_HEADER_LEN];
    if (_file.read(pos, h, sizeof h) < sizeof h) throw makeError("StgReadBuffer.readItemHeader.1");
    uint64_t at = pos;
    pos += sizeof h;
    if (std::memcmp(h, stg::ITEM_MARK, 4) != 0) throw makeError("StgReadBuffer.readItemHeader.2");
    if (h[4] != (expectedType | 0x80)) throw makeError("StgReadBuffer.readItemHeader.3");
    uint32_t value;
    if (!stg::decodeGroup(h + 5, 5, value)) throw makeError("StgReadBuffer.readItemHeader.4");
    // A link that does not lead past itself would send the chain back to an earlier
    // transaction, for ever.
    if (expectedType == stg::TXN_LINK && value < at + sizeof h)
        throw makeError("StgReadBuffer.readItemHeader.2");
    return value;
}

uint32_t StgReadBuffer::readBlockHeader(uint64_t pos) {
    uint8_t h[stg::BLOCK_HEADER_LEN];
    if (_file.read(pos, h, sizeof h) < sizeof h) throw makeError("StgReadBuffer.readBlockHeader.1");
    uint32_t v;
    // A length below the header's own 4 bytes would never move the walk forward.
    if (!stg::decodeGroup(h, 4, v) || ((v >> 8) & 0x1FFFF) < stg::BLOCK_HEADER_LEN)
        throw makeError("StgReadBuffer.readBlockHeader.2");
    return v;
}

void StgReadBuffer::startBlock(uint64_t pos) {
    // The first read ends at the next page boundary of the file, so every later read of the
    // block is one whole aligned page.
    uint32_t requested = CHUNK_SIZE - static_cast<uint32_t>((pos + 4) % 4096);
    size_t n = _file.read(pos, _buf, requested);
    if (n < stg::BLOCK_HEADER_LEN) throw makeError("StgReadBuffer.startBlock.1");
    uint32_t h;
    if (!stg::decodeGroup(_buf, 4, h) || ((h >> 8) & 0x1FFFF) < stg::BLOCK_HEADER_LEN)
        throw makeError("StgReadBuffer.startBlock.2");
    _blockPos = pos;
    _len = (h >> 8) & 0x1FFFF;
    _pad = (h >> 25) & 7;
    _flags = static_cast<uint8_t>(h);
    bool last = _flags & stg::LAST_BLOCK;
    if (type() == stg::TXN_SEQUENCE)
        _atEnd = last && pos + _len + stg::CRC_LEN == _file.committedSize();
    else
        _atEnd = last;
    if (n < requested && n < _len) throw makeError("StgReadBuffer.startBlock.3");
    _chunkStart = 0;
    _chunkEnd = _bufEnd = std::min<uint32_t>(_len, static_cast<uint32_t>(n));
    _readPos = stg::BLOCK_HEADER_LEN;
    _k = 0;
    if (_mode & stg::CHECK_CRC) updateCrc();
    resetBits();
}

void StgReadBuffer::shiftBuffer() {
    _chunkStart = _chunkEnd;
    _chunkEnd = std::min(_chunkEnd + 4096, _len);
    uint32_t count = _chunkEnd - _chunkStart;
    if (_file.read(_blockPos + _chunkStart, _buf, count) < count)
        throw makeError("StgReadBuffer.shiftBuffer");
    _readPos = 0;
    _bufEnd = count;
    if (_mode & stg::CHECK_CRC) updateCrc();
}

void StgReadBuffer::updateCrc() {
    _crc = crc32::update(_crc, _buf, _bufEnd);
    if ((_flags & stg::LAST_BLOCK) && _chunkEnd == _len) {
        uint8_t c[stg::CRC_LEN];
        if (_file.read(_blockPos + _len, c, sizeof c) < sizeof c)
            throw makeError("StgReadBuffer.updateCrc.1");
        uint32_t stored;
        if (!stg::decodeGroup(c, stg::CRC_LEN, stored))
            throw makeError("StgReadBuffer.updateCrc.2");
        if (stored != crc32::finalize(_crc)) throw makeError("StgReadBuffer.updateCrc.3");
        _crc = crc32::init();
    }
}

int StgReadBuffer::get(uint8_t& byte) {
    if (_readPos == _bufEnd) {
        if (_chunkEnd == _len) return 0;
        shiftBuffer();
    }
    uint8_t s = _buf[_readPos++];
    if (_k == 3) [[unlikely]] {
        if (s == 0x2F) throw makeError("StgReadBuffer.get.1");
        if (s == stg::ESCAPE) {
            if (_readPos == _bufEnd) {
                if (_chunkEnd == _len) throw makeError("StgReadBuffer.get.2");
                shiftBuffer();
            }
            s = _buf[_readPos++];
        }
        _k = 0;
    } else {
        _k = s == stg::ITEM_MARK[_k] ? _k + 1 : 0;
    }
    byte = s;
    if (_readPos == _bufEnd && _chunkEnd == _len) return 8 - static_cast<int>(_pad);
    return 8;
}

uint32_t StgReadBuffer::getBytes(uint8_t* out, uint32_t max, int& lastValid) {
    uint32_t n = 0;
    while (n < max) {
        if (_readPos == _bufEnd) {
            // Loading the next page may fail: that waits for a call that has delivered nothing.
            if (_chunkEnd == _len || n > 0) break;
            shiftBuffer();
        }
        if (_k == 0) {
            // Outside a mark's prefix every byte up to the next '$' is data as it stands.
            uint32_t room = std::min(_bufEnd - _readPos, max - n);
            const void* hit = std::memchr(_buf + _readPos, stg::ITEM_MARK[0], room);
            uint32_t plain =
                hit ? static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - (_buf + _readPos))
                    : room;
            std::memcpy(out + n, _buf + _readPos, plain);
            n += plain;
            _readPos += plain;
            if (!hit) continue;
        }
        uint8_t s = _buf[_readPos];
        if (_k == 3) {
            if (s == 0x2F || (s == stg::ESCAPE && _readPos + 1 == _bufEnd)) {
                // A fault, or an escaped byte on the next page: left to get().
                if (n > 0) break;
                uint8_t b;
                get(b);
                out[n++] = b;
                continue;
            }
            if (s == stg::ESCAPE) s = _buf[++_readPos];
            _k = 0;
        } else {
            _k = s == stg::ITEM_MARK[_k] ? _k + 1 : 0;
        }
        ++_readPos;
        out[n++] = s;
    }
    if (n > 0)
        lastValid = _readPos == _bufEnd && _chunkEnd == _len ? 8 - static_cast<int>(_pad) : 8;
    return n;
}

uint64_t StgReadBuffer::followLink(uint64_t pos) {
    pos = readItemHeader(pos, stg::TXN_LINK);
    readItemHeader(pos, type());
    return pos;
}

void StgReadBuffer::start() {
    uint64_t pos = _startPos;
    if (type() == stg::TXN_SEQUENCE)
        pos = followLink(pos);
    else
        readItemHeader(pos, type());
    startBlock(pos);
    if (_mode & stg::INDEX_BLOCKS) {
        VERIFY(type() != stg::TXN_SEQUENCE);
        _index.clear();
        for (;;) {
            _index.push_back(pos);
            uint32_t h = readBlockHeader(pos);
            if (h & stg::LAST_BLOCK) break;
            pos += (h >> 8) & 0x1FFFF;
        }
    }
}

bool StgReadBuffer::next() {
    if (_atEnd) return false;
    // The CRC covers every stored byte, also those the coder did not ask for.
    if (_mode & stg::CHECK_CRC)
        while (_chunkEnd < _len)
            shiftBuffer();
    uint64_t pos = _blockPos + _len;
    // Only a record-stream reader goes on past an item's last block: to the next transaction.
    if (_flags & stg::LAST_BLOCK) pos = followLink(pos + stg::CRC_LEN);
    startBlock(pos);
    return true;
}

bool StgReadBuffer::seekBlock(uint32_t n) {
    if (n >= _index.size()) return false;
    startBlock(_index[n]);
    return true;
}
