#include "archive/codec/LzDecoder.h"

using namespace lz;

LzDecoder::LzDecoder(BlockReader& source) : _source(source) {
    _lit.setReader(&source);
    _dist.setReader(&source);
    _len.setReader(&source);
}

void LzDecoder::readHeader() {
    _flags = _source.blockFlags();
    if (_flags & LZ_LITERAL_CODE) _lit.readTree();
    if (_flags & LZ_DISTANCE_CODE) _dist.readTree();
    if (_flags & LZ_LENGTH_CODE) _len.readTree();
}

bool LzDecoder::nextBlock() {
    if (!_source.next()) return false;
    readHeader();
    return true;
}

bool LzDecoder::gotoBlock(uint32_t n) {
    if (!_source.seekBlock(n)) return false;
    readHeader();
    return true;
}

int LzDecoder::peekItem() {
    _source.fill(1);
    if (_source.bufferedCount() == 0) return 2;
    if (!(_flags & LZ_POINTERS)) return 0;
    return static_cast<int>(_source.bufferedBits() & 1);
}

uint8_t LzDecoder::getLiteral() {
    if (_flags & LZ_POINTERS) _source.read(1);
    if (_flags & LZ_LITERAL_CODE) return static_cast<uint8_t>(_lit.read());
    return static_cast<uint8_t>(_source.read(8));
}

void LzDecoder::getPointer(uint32_t& distance, uint32_t& length) {
    _source.read(1);
    uint32_t d = _flags & LZ_DISTANCE_CODE ? static_cast<uint32_t>(_dist.read()) : _source.read(7);
    if (d >= DISTANCE_CODES) throw makeError("LzDecoder.getPointer.1");
    distance = distanceBase(d) + _source.read(distanceExtraBits(d));
    uint32_t l = _flags & LZ_LENGTH_CODE ? static_cast<uint32_t>(_len.read()) : _source.read(5);
    if (l >= LENGTH_CODES) throw makeError("LzDecoder.getPointer.2");
    length = lengthBase(l) + _source.read(lengthExtraBits(l));
}
