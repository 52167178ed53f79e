// The bytes of one file version as a save reads them: front to back through a buffer, with
// the size and time measured at open and the CRC-32 of every byte delivered. FileReader reads
// them from the watched folder; a rewrite restores them from another archive.
//
// buffer()[0 .. len()) are the next bytes; shift(n) drops the first n of them and refills. A
// source whose bytes turn out not to be the version it stands for (a file changed while read,
// a stored version whose CRC fails) says so through changedWhileRead() once the last byte is
// in, never by delivering fewer or more bytes than size() without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class ByteSource {
  public:
    virtual ~ByteSource() = default;

    // Opens and measures the source and fills the buffer.
    virtual void open() = 0;
    // Drops the first n buffered bytes (0 <= n <= len()) and refills the buffer.
    virtual void shift(size_t n) = 0;
    // Ends the read; returns the CRC-32 of every byte delivered.
    virtual uint32_t close() = 0;

    const uint8_t* buffer() const { return _buf.get(); }
    size_t len() const { return _len; }
    uint32_t size() const { return _size; }
    // Seconds since 1970 UTC.
    int64_t mtime() const { return _mtime; }
    bool changedWhileRead() const { return _changed; }

  protected:
    explicit ByteSource(size_t bufSize) : _bufSize(bufSize), _buf(new uint8_t[bufSize]) {}

    size_t _bufSize;
    std::unique_ptr<uint8_t[]> _buf;
    size_t _len = 0;
    uint32_t _size = 0;
    int64_t _mtime = 0;
    bool _changed = false;
};
