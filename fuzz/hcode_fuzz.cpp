// Huffman trees read from arbitrary bits: a tree that is accepted must write back to exactly
// the bits it was read from, and symbols decoded with it must encode back to the bits they
// came from. With the top bit of the first byte set, the input gives weights instead, and the
// built code must survive a write and read.
#include "archive/codec/HCode.h"
#include "archive/codec/MemBitBuffer.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

std::vector<uint8_t> bitsOf(MemBitBuffer& b, uint64_t n) {
    std::vector<uint8_t> v;
    for (uint64_t i = 0; i < n; ++i)
        v.push_back((b.data()[i / 8] >> (i % 8)) & 1);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 60000) return 0;
    int symBits = 1 + data[0] % 8;
    auto in = std::make_unique<MemBitBuffer>();
    auto out = std::make_unique<MemBitBuffer>();
    HCode code(symBits);
    code.setReader(in.get());
    code.setWriter(out.get());

    if (data[0] & 0x80) {
        code.reset();
        for (size_t i = 1; i < size; ++i)
            code.addWeight(data[i] % code.size(), 1 + data[i] / 16);
        code.build();
        code.writeTree();
        for (size_t i = 1; i < size; ++i)
            code.write(data[i] % code.size());
        out->flushLast();
        HCode back(symBits);
        back.setReader(out.get());
        back.readTree();
        for (size_t i = 1; i < size; ++i)
            if (back.read() != static_cast<int>(data[i] % code.size())) abort();
        return 0;
    }

    for (size_t i = 1; i < size; ++i)
        in->putByte(data[i]);
    in->flushLast();
    in->rewind();
    uint64_t total = in->bitCount();
    std::vector<int> symbols;
    try {
        code.readTree();
        // A one-leaf code reads no bits; the count of reads is bounded by the input anyway.
        for (uint64_t i = 0; i < total + 1; ++i)
            symbols.push_back(code.read());
    } catch (Error& e) {
        if (e.code != 4000 && e.code != 4100 && e.code != 4101) abort();
    }
    if (code.nodeCount() == 0 || symbols.empty()) return 0;
    // What was read is the tree and the symbols: written again they give the same bits.
    code.writeTree();
    for (int s : symbols)
        code.write(s);
    out->flushLast();
    if (out->bitCount() > total) abort();
    if (bitsOf(*out, out->bitCount()) != bitsOf(*in, out->bitCount())) abort();
    return 0;
}
