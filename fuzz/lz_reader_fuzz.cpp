// Compressed streams of up to 8 blocks built from the input: the block reader must never crash
// and must stop at the same byte with the same error as the item-by-item reading; seeks must
// fail cleanly.
//
// Input: an options byte, then per block: flags, valid bits of the last byte (1 + x % 8), a
// 16-bit length (little endian) and that many bytes (fewer if the input ends).
#include "fuzz/LzReference.h"
#include "tests/support/MemBlocks.h"

#include "archive/codec/LzReader.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t options = data[0];
    size_t p = 1;
    std::vector<MemBlock> blocks;
    while (p + 4 <= size && blocks.size() < 8) {
        MemBlock b;
        b.flags = data[p];
        b.lastBits = 1 + data[p + 1] % 8;
        size_t len = data[p + 2] | size_t{data[p + 3]} << 8;
        p += 4;
        len = std::min(len, size - p);
        b.bytes.assign(data + p, data + p + len);
        p += len;
        blocks.push_back(std::move(b));
    }
    if (blocks.empty()) return 0;

    MemBlockReader src(blocks);
    LzReader r(src);
    if (options & 1) r.setExpectedSize(uint64_t(options >> 1) * 1000);
    std::vector<uint8_t> got;
    int32_t err = 0;
    try {
        r.open();
        for (;;)
            got.push_back(r.read());
    } catch (Error& e) {
        const Error* inner = &e;
        while (inner->cause)
            inner = inner->cause.get();
        err = inner->code;
    }
    if (got.size() > blocks.size() * lz::BLOCK_SIZE) abort();

    // The one-symbol literal block is decoded by length, not item by item.
    bool repeat = false;
    for (const auto& b : blocks)
        repeat |= (b.flags & (lz::LZ_POINTERS | lz::LZ_LITERAL_CODE)) == lz::LZ_LITERAL_CODE &&
                  !b.bytes.empty() && (b.bytes[0] & 1);
    if (!repeat) {
        MemBlockReader refSrc(blocks);
        RefDecodeResult want = refDecode(refSrc);
        if (want.error != err || want.bytes != got) abort();
    }

    // Seeks to positions taken from the input, each followed by a read.
    MemBlockReader seekSrc(blocks);
    LzReader s(seekSrc);
    try {
        s.open();
    } catch (Error&) {
        return 0;
    }
    for (size_t i = 1; i + 3 <= size && i < 16; i += 3) {
        uint32_t pos = (data[i] | uint32_t{data[i + 1]} << 8 | uint32_t{data[i + 2]} << 16) %
                       (9 * lz::BLOCK_SIZE);
        try {
            s.seek(pos);
            s.read();
            s.blockExhausted();
        } catch (Error&) {
        }
    }
    return 0;
}
