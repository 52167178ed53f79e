#include "archive/ops/RestoredContent.h"

#include "archive/delta/DeltaFormat.h"
#include "archive/ops/StgBase.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cstring>

namespace {

// Decoded blocks of a delta's base kept while it is applied, as the export keeps them.
constexpr size_t BASE_CACHE_BLOCKS = 256;

}  // namespace

RestoredContent::RestoredContent(StgFile& file, const ContentInfo& content, size_t bufSize)
    : ByteSource(bufSize), _file(file), _content(content) {}

RestoredContent::~RestoredContent() = default;

void RestoredContent::lost(Error e) {
    // A failing disk is not damage: it fails the rewrite rather than losing the version.
    if (e.hasCode(9000)) throw std::move(e);
    throw makeError(std::move(e), "Tresmo.rewrite.lost");
}

void RestoredContent::open() {
    _size = static_cast<uint32_t>(std::max(_content.size, 0));
    _mtime = _content.mtime;
    _crc = crc32::init();
    try {
        // No save reads a file larger than this: a claim beyond it is forged.
        if (_content.size < 0 || _content.size > FileReader::MAX_SIZE)
            throw makeError("Tresmo.exportFile.1");
        if (_content.pos != 0 && _content.diffPos == 0) {
            _reader = std::make_unique<StgReader>(_file, _content.pos,
                                                  stg::FILE_CONTENT | stg::INDEX_BLOCKS);
            _reader->start();
            _reader->lzReader().setExpectedSize(_size);
        } else if (_content.pos != 0) {
            _base = std::make_unique<StgBase>(_file, _content.pos, BASE_CACHE_BLOCKS);
            _base->start();
            _reader = std::make_unique<StgReader>(_file, _content.diffPos, stg::FILE_DIFF);
            _reader->start();
        } else if (_size != 0) {
            throw makeError("Tresmo.exportFile.1");
        }
    } catch (Error& e) {
        lost(std::move(e));
    }
    fill();
}

void RestoredContent::shift(size_t n) {
    VERIFY(n <= _len);
    std::memmove(_buf.get(), _buf.get() + n, _len - n);
    _len -= n;
    fill();
}

void RestoredContent::fill() {
    try {
        fillUnchecked();
    } catch (Error& e) {
        lost(std::move(e));
    }
}

void RestoredContent::fillUnchecked() {
    const bool wasDone = _made == _size;
    while (_len < _bufSize && _made < _size) {
        size_t n = std::min<uint64_t>(_bufSize - _len, _size - _made);
        if (_base) {
            n = deltaBytes(_buf.get() + _len, n);
        } else {
            _reader->readBytes(std::span<uint8_t>(_buf.get() + _len, n));
        }
        _crc = crc32::update(_crc, _buf.get() + _len, n);
        _len += n;
        _made += n;
    }
    if (wasDone || _made < _size) return;
    // The whole version is buffered: it must end here and be the bytes that were stored.
    if (_base && _reader->readByte() != delta::OP_END) throw makeError("Tresmo.exportFile.1");
    if (crc32::finalize(_crc) != _content.crc) throw makeError("Tresmo.exportFile.2");
}

size_t RestoredContent::deltaBytes(uint8_t* out, size_t max) {
    const uint64_t left = _size - _made;
    while (_opLeft == 0) {
        _op = _reader->readByte();
        if (_op == delta::OP_ADD) {
            int32_t n = _reader->readNumber();
            if (n < 0 || static_cast<uint64_t>(n) > left) throw makeError("Tresmo.exportFile.1");
            _opLeft = static_cast<uint32_t>(n);
        } else if (_op == delta::OP_BASE) {
            int32_t start = _reader->readNumber();
            int32_t end = _reader->readNumber();
            if (start < 0 || end < start || static_cast<uint64_t>(end - start) > left)
                throw makeError("Tresmo.exportFile.1");
            _opLeft = static_cast<uint32_t>(end - start);
            if (_opLeft) _base->seek(static_cast<uint32_t>(start));
        } else {
            // The end of the delta before the recorded size, or no operation at all.
            throw makeError("Tresmo.exportFile.1");
        }
    }
    size_t n = std::min<size_t>(max, _opLeft);
    for (size_t i = 0; i < n; ++i)
        out[i] = _op == delta::OP_ADD ? _reader->readByte() : _base->readByte();
    _opLeft -= static_cast<uint32_t>(n);
    return n;
}

uint32_t RestoredContent::close() {
    _reader.reset();
    _base.reset();
    return crc32::finalize(_crc);
}
