#include "archive/storage/StgWriteBuffer.h"

#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/support/msg.h"

#include <cstring>

StgWriteBuffer::StgWriteBuffer(StgFile* file, uint32_t itemType)
    : _file(file), _type(itemType), _crc(crc32::init()), _buf(new uint8_t[BUFFER_SIZE]) {}

void StgWriteBuffer::putBits(const uint8_t* data, uint32_t bitCount) {
    const uint32_t whole = bitCount / 8;
    for (uint32_t i = 0; i < whole;) {
        if (_k == 0) {
            // Bytes before the next '$' begin no mark: they are copied as they are.
            const void* mark = std::memchr(data + i, stg::ITEM_MARK[0], whole - i);
            const uint32_t end =
                mark ? static_cast<uint32_t>(static_cast<const uint8_t*>(mark) - data) : whole;
            std::memcpy(_buf.get() + _used, data + i, end - i);
            _used += end - i;
            i = end;
            if (i == whole) break;
        }
        putByte(data[i++]);
    }
    if (bitCount % 8 != 0)
        putLast(data[whole], static_cast<int>(bitCount % 8));
    else
        putLast(0, 0);
}

void StgWriteBuffer::putLast(uint8_t byte, int validBits) {
    uint32_t pad = 0;
    if (validBits != 0) {
        putByte(byte);
        pad = 8 - static_cast<uint32_t>(validBits);
    }
    uint32_t h = (pad << 25) + (_used << 8) + _flags;
    stg::encodeGroup(h, _buf.get(), 4);
    // The CRC covers the bytes exactly as stored, so a reader can check an item before it
    // undoes the escaping.
    _crc = crc32::update(_crc, _buf.get(), _used);
    if (_file) {
        _file->append(_buf.get(), _used);
        reset();
    } else if (!(_flags & stg::LAST_BLOCK)) {
        _kept.insert(_kept.end(), _buf.get(), _buf.get() + _used);
        reset();
    }
    // The last block of an item held in memory stays in the buffer for writeBuffered.
}

void StgWriteBuffer::itemHeader(uint64_t at, uint8_t (&h)[stg::ITEM_HEADER_LEN]) const {
    std::memcpy(h, stg::ITEM_MARK, sizeof stg::ITEM_MARK);
    h[4] = static_cast<uint8_t>(_type | 0x80);
    stg::encodeGroup(static_cast<uint32_t>(at), h + 5, 5);
}

void StgWriteBuffer::beginItem(StgFile& file) {
    if (file.committedSize() == file.end()) file.reserveLink();
    _itemStart = _itemEnd = file.end();
    uint8_t h[stg::ITEM_HEADER_LEN];
    itemHeader(file.end(), h);
    file.append(h, sizeof h);
    if (_type == stg::TXN_SEQUENCE) {
        h[4] = 0x80;
        file.writeLink(h);
    }
}

void StgWriteBuffer::writeBuffered(StgFile& file) {
    VERIFY(_flags & stg::LAST_BLOCK);
    if (!_kept.empty()) file.append(_kept.data(), _kept.size());
    std::vector<uint8_t>().swap(_kept);
    file.append(_buf.get(), _used);
    reset();
}

void StgWriteBuffer::endItem(StgFile& file) {
    uint8_t c[stg::CRC_LEN];
    stg::encodeGroup(crc32::finalize(_crc), c, stg::CRC_LEN);
    file.append(c, sizeof c);
    _itemEnd = file.end();
}

void StgWriteBuffer::writeItem(StgFile& file) {
    VERIFY(_type != stg::TXN_SEQUENCE && (_flags & stg::LAST_BLOCK));
    if (file.committedSize() == file.end()) file.reserveLink();
    _itemStart = file.end();
    uint8_t h[stg::ITEM_HEADER_LEN];
    itemHeader(file.end(), h);
    std::vector<uint8_t> item;
    item.reserve(sizeof h + _kept.size() + _used + stg::CRC_LEN);
    item.insert(item.end(), h, h + sizeof h);
    item.insert(item.end(), _kept.begin(), _kept.end());
    item.insert(item.end(), _buf.get(), _buf.get() + _used);
    item.resize(item.size() + stg::CRC_LEN);
    stg::encodeGroup(crc32::finalize(_crc), item.data() + item.size() - stg::CRC_LEN, stg::CRC_LEN);
    file.append(item.data(), item.size());
    _itemEnd = file.end();
    std::vector<uint8_t>().swap(_kept);
    reset();
}
