// Arbitrary data through the compressor and back: the blocks the encoder writes must decode to
// exactly the data, read in order and by seeks, with and without the stream's size known.
//
// Input: an options byte, then the data. Bit 0 feeds the encoder byte by byte instead of in
// bulk; bits 1-3 repeat the data (up to 7 more copies, capped at 200,000 bytes) so that
// inputs reach past the 65536-byte block boundary while libFuzzer keeps them short.
#include "tests/support/MemBlocks.h"

#include "archive/codec/LzEncoder.h"
#include "archive/codec/LzFormat.h"
#include "archive/codec/LzReader.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t MAX_DATA = 200000;

std::vector<uint8_t> dataOf(const uint8_t* in, size_t size) {
    std::vector<uint8_t> data(in + 1, in + size);
    const size_t copies = (in[0] >> 1) & 7;
    const size_t once = data.size();
    for (size_t i = 0; i < copies && once > 0 && data.size() < MAX_DATA; ++i)
        data.insert(data.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(once));
    if (data.size() > MAX_DATA) data.resize(MAX_DATA);
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
    if (size < 1) return 0;
    const std::vector<uint8_t> data = dataOf(in, size);

    // The encoder owns about 700 KiB; one for the whole run, as a writer keeps it per item.
    static MemBlockWriter out;
    static LzEncoder enc(out);
    out.blocks.clear();
    enc.reset();
    if (in[0] & 1) {
        for (uint8_t b : data)
            enc.put(b);
    } else {
        enc.put(data);
    }
    enc.finish();

    // One block per 65536 bytes begun, and the empty stream is one block without bits.
    const size_t wantBlocks =
        data.empty() ? 1 : (data.size() + lz::BLOCK_SIZE - 1) / lz::BLOCK_SIZE;
    if (out.blocks.size() != wantBlocks) abort();
    for (size_t i = 0; i < out.blocks.size(); ++i)
        if (((out.blocks[i].flags & lz::LAST_BLOCK) != 0) != (i + 1 == out.blocks.size())) abort();

    for (bool sized : {false, true}) {
        MemBlockReader src(out.blocks);
        LzReader r(src);
        if (sized) r.setExpectedSize(data.size());
        std::vector<uint8_t> got(data.size());
        try {
            r.open();
            r.read(got);
        } catch (const Error&) {
            abort();  // the encoder's own output never fails to decode
        }
        if (got != data) abort();
        if (!r.blockExhausted()) abort();
        bool more = true;
        try {
            r.read();
        } catch (const Error&) {
            more = false;
        }
        if (more) abort();  // nothing beyond the data
    }

    // Random access: positions taken from the data itself, each read compared.
    if (!data.empty()) {
        MemBlockReader src(out.blocks);
        LzReader r(src);
        try {
            r.open();
            for (size_t i = 0; i + 3 <= size && i < 24; i += 3) {
                uint32_t pos = (in[i] | uint32_t{in[i + 1]} << 8 | uint32_t{in[i + 2]} << 16) %
                               static_cast<uint32_t>(data.size());
                r.seek(pos);
                if (r.read() != data[pos]) abort();
            }
        } catch (const Error&) {
            abort();
        }
    }
    return 0;
}
