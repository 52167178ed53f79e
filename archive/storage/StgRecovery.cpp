#include "archive/storage/StgRecovery.h"

#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"

#include <cstring>

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
    uint64_t pos = from ? from : StgFile::FILE_HEADER_LEN;
    while (pos < size) {
        const uint64_t txn = pos;
        uint8_t h[stg::ITEM_HEADER_LEN];
        uint32_t target;
        if (file.read(pos, h, sizeof h) < sizeof h || std::memcmp(h, stg::ITEM_MARK, 4) != 0 ||
            h[4] != (stg::TXN_LINK | 0x80) || !stg::decodeGroup(h + 5, 5, target) ||
            target < pos + sizeof h)
            return tail(txn);
        // A valid link whose record stream starts beyond the end: the link reached the disk,
        // the length did not.
        if (target + uint64_t{stg::ITEM_HEADER_LEN} > size) return tail(txn);
        if (file.read(target, h, sizeof h) < sizeof h) return tail(txn);
        uint32_t self;
        if (std::memcmp(h, stg::ITEM_MARK, 4) != 0 || h[4] != (stg::TXN_SEQUENCE | 0x80) ||
            !stg::decodeGroup(h + 5, 5, self) || self != target)
            return broken(txn);
        pos = target + stg::ITEM_HEADER_LEN;
        for (;;) {
            uint8_t b[stg::BLOCK_HEADER_LEN];
            if (file.read(pos, b, sizeof b) < sizeof b) return tail(txn);
            uint32_t v;
            if (!stg::decodeGroup(b, 4, v) || ((v >> 8) & 0x1FFFF) < stg::BLOCK_HEADER_LEN)
                return broken(txn);
            pos += (v >> 8) & 0x1FFFF;
            if (v & stg::LAST_BLOCK) {
                pos += stg::CRC_LEN;
                break;
            }
        }
        if (pos > size) return tail(txn);
        w.links.push_back(txn);
    }
    return tail(size);
}
