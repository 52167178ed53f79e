#include "archive/storage/StgReader.h"

#include "archive/support/NumberFormat.h"
#include "archive/support/msg.h"

StgReader::StgReader(StgFile& file, uint64_t startPos, uint32_t mode)
    : _buf(file, startPos, mode), _lz(_buf) {}

void StgReader::start() {
    _buf.start();
    _lz.open();
}

int32_t StgReader::readNumber() {
    NumberDecoder d;
    for (;;) {
        if (d.feed(_lz.read())) return d.value();
        if (d.tooLong()) throw makeError("StgReader.read");
    }
}

uint32_t StgReader::readWord() {
    uint8_t b[4];
    _lz.read(std::span<uint8_t>(b, 4));
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

bool StgReader::eof() {
    // The coder is asked first: deciding whether its block is done may load the rest of the
    // block from the read buffer.
    return _lz.blockExhausted() && _buf.exhausted();
}
