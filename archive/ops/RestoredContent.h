// One stored version of a file, restored chunk by chunk from a storage file as the bytes a
// save reads: memory stays bounded by the buffer and the delta base's block cache, whatever
// size the version has or claims.
//
// Nothing of the stored version is trusted: a stream that ends early or runs past the
// recorded size, a CRC-32 that does not match, or any failure of the storage file or the
// coder is thrown as 2045 (with the failure as its cause) from the read that meets it, but for
// a failing disk (a system error), which is thrown as it is. The
// CRC is checked when the last byte is buffered, before the save can commit the copy.
#pragma once

#include "archive/storage/ByteSource.h"
#include "archive/support/msg.h"
#include "archive/tree/TresmoData.h"

#include <memory>

class StgFile;
class StgReader;
class StgBase;

class RestoredContent final : public ByteSource {
  public:
    RestoredContent(StgFile& file, const ContentInfo& content, size_t bufSize);
    ~RestoredContent() override;

    void open() override;
    void shift(size_t n) override;
    uint32_t close() override;

  private:
    void fill();
    void fillUnchecked();
    [[noreturn]] static void lost(Error e);
    // The next delta bytes into out (at most max); 0 only at the end of the version.
    size_t deltaBytes(uint8_t* out, size_t max);

    StgFile& _file;
    const ContentInfo _content;
    std::unique_ptr<StgReader> _reader;  // the full content, or the delta
    std::unique_ptr<StgBase> _base;      // the delta's base
    uint8_t _op = 0;                     // the delta operation under way
    uint32_t _opLeft = 0;                // its bytes still to come
    uint64_t _made = 0;                  // bytes restored so far
    uint32_t _crc = 0;
};
