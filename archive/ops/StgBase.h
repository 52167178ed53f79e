// A full-content item of the storage file as the base of a delta: the save indexes it to write
// a delta against it, the restore reads it to apply one.
#pragma once

#include "archive/delta/DataImage.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"

// A full-content item as the base of a delta: read once from the front to index it, then by
// seeks to confirm matches and to copy ranges when a delta version is restored.
class StgBase final : public BaseSource {
  public:
    StgBase(StgFile& file, uint32_t pos) : _r(file, pos, stg::FILE_CONTENT | stg::INDEX_BLOCKS) {}
    void start() override {
        if (_started) {
            _r.lzReader().seek(0);
            return;
        }
        _r.start();
        _started = true;
    }
    void seek(uint32_t pos) override {
        if (!_started) start();
        _r.lzReader().seek(pos);
    }
    uint8_t readByte() override { return _r.readByte(); }

  private:
    StgReader _r;
    bool _started = false;
};
