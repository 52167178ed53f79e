#include "archive/storage/StgRecovery.h"

#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReadBuffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Whether the record stream at target lies wholly before size, every block header valid and
// its CRC matching.
bool streamIntact(StgFile& file, uint64_t target, uint64_t size) {
    uint8_t h[stg::ITEM_HEADER_LEN];
    uint32_t self;
    if (target + stg::ITEM_HEADER_LEN > size || file.read(target, h, sizeof h) < sizeof h ||
        std::memcmp(h, stg::ITEM_MARK, 4) != 0 || h[4] != (stg::TXN_SEQUENCE | 0x80) ||
        !stg::decodeGroup(h + 5, 5, self) || self != target)
        return false;
    uint32_t crc = crc32::init();
    std::vector<uint8_t> block;
    for (uint64_t pos = target + stg::ITEM_HEADER_LEN;;) {
        uint8_t b[stg::BLOCK_HEADER_LEN];
        uint32_t v;
        if (file.read(pos, b, sizeof b) < sizeof b || !stg::decodeGroup(b, 4, v)) return false;
        const uint32_t len = (v >> 8) & 0x1FFFF;
        if (len < stg::BLOCK_HEADER_LEN || pos + len + stg::CRC_LEN > size) return false;
        block.resize(len);
        if (file.read(pos, block.data(), len) < len) return false;
        crc = crc32::update(crc, block.data(), len);
        pos += len;
        if (v & stg::LAST_BLOCK) {
            uint8_t c[stg::CRC_LEN];
            uint32_t stored;
            return file.read(pos, c, sizeof c) == sizeof c &&
                   stg::decodeGroup(c, stg::CRC_LEN, stored) && stored == crc32::finalize(crc);
        }
    }
}

}  // namespace

// Item marks inside an item's data are escaped, so a mark found is the start of an item.
uint64_t StgRecovery::findComplete(StgFile& file, uint64_t from, uint64_t size) {
    std::vector<uint8_t> buf(65536);
    for (uint64_t pos = from; pos + stg::ITEM_HEADER_LEN <= size;) {
        size_t n = file.read(pos, buf.data(),
                             static_cast<size_t>(std::min<uint64_t>(buf.size(), size - pos)));
        if (n < stg::ITEM_HEADER_LEN) return false;
        for (size_t i = 0; i + stg::ITEM_HEADER_LEN <= n; ++i) {
            const uint8_t* h = buf.data() + i;
            uint32_t target;
            if (std::memcmp(h, stg::ITEM_MARK, 4) == 0 && h[4] == (stg::TXN_LINK | 0x80) &&
                stg::decodeGroup(h + 5, 5, target) && target >= pos + i + stg::ITEM_HEADER_LEN &&
                streamIntact(file, target, size))
                return pos + i;
        }
        pos += n - (stg::ITEM_HEADER_LEN - 1);
    }
    return 0;
}

namespace {

bool completeAfter(StgFile& file, uint64_t from, uint64_t size) {
    return StgRecovery::findComplete(file, from, size) != 0;
}

}  // namespace

StgRecovery::Walk StgRecovery::walk(StgFile& file, uint64_t from, uint64_t limit) {
    Walk w;
    const uint64_t size = limit ? limit : file.committedSize();
    auto tail = [&](uint64_t at) {
        w.end = at;
        return w;
    };
    auto broken = [&](uint64_t at) {
        w.end = size;
        w.broken = true;
        w.brokenAt = at;
        return w;
    };
    // What looks like an unfinished save is one only when nothing complete follows it:
    // otherwise damage made it look so, and cutting it would lose what follows.
    auto torn = [&](uint64_t at) {
        return completeAfter(file, at + 1, size) ? broken(at) : tail(at);
    };
    uint64_t pos = from ? from : StgFile::FILE_HEADER_LEN;
    while (pos < size) {
        const uint64_t txn = pos;
        uint8_t h[stg::ITEM_HEADER_LEN];
        uint32_t target;
        if (file.read(pos, h, sizeof h) < sizeof h || std::memcmp(h, stg::ITEM_MARK, 4) != 0 ||
            h[4] != (stg::TXN_LINK | 0x80) || !stg::decodeGroup(h + 5, 5, target) ||
            target < pos + sizeof h)
            return torn(txn);
        // A valid link whose record stream starts beyond the end: the link reached the disk,
        // the length did not.
        if (target + uint64_t{stg::ITEM_HEADER_LEN} > size) return torn(txn);
        if (file.read(target, h, sizeof h) < sizeof h) return torn(txn);
        uint32_t self;
        if (std::memcmp(h, stg::ITEM_MARK, 4) != 0 || h[4] != (stg::TXN_SEQUENCE | 0x80) ||
            !stg::decodeGroup(h + 5, 5, self) || self != target)
            return broken(txn);
        pos = target + stg::ITEM_HEADER_LEN;
        for (;;) {
            uint8_t b[stg::BLOCK_HEADER_LEN];
            if (file.read(pos, b, sizeof b) < sizeof b) return torn(txn);
            uint32_t v;
            if (!stg::decodeGroup(b, 4, v) || ((v >> 8) & 0x1FFFF) < stg::BLOCK_HEADER_LEN)
                return broken(txn);
            pos += (v >> 8) & 0x1FFFF;
            if (v & stg::LAST_BLOCK) {
                pos += stg::CRC_LEN;
                break;
            }
        }
        if (pos > size) return torn(txn);
        w.links.push_back(txn);
    }
    return tail(size);
}

void StgRecovery::checkRecordStream(StgFile& file, uint64_t link) {
    StgReadBuffer buf(file, link, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    buf.start();
    for (;;) {
        uint8_t b;
        while (buf.get(b) > 0) {
        }
        if (buf.blockFlags() & stg::LAST_BLOCK) return;
        buf.next();
    }
}
