#include "archive/storage/StgWriter.h"

#include "archive/storage/StgFile.h"
#include "archive/support/msg.h"

StgWriter::StgWriter(StgFile* file, uint32_t itemType, bool twoThreads)
    : _file(file), _buf(file, itemType), _lz(_buf, twoThreads) {}

void StgWriter::begin() {
    _lz.reset();
    if (_file) _buf.beginItem(*_file);
}

void StgWriter::finish() {
    _lz.finish();
    if (_file) _buf.endItem(*_file);
}

void StgWriter::writeTo(StgFile& file) {
    VERIFY(_file == nullptr);
    _buf.beginItem(file);
    _buf.writeBuffered(file);
    _buf.endItem(file);
}
