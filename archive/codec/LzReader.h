// Reader of a compressed stream with random access by block: read() delivers the uncompressed
// bytes in order, seek() moves to any offset (offset p lies in block p / 65536).
//
// A block is decoded whole into the window the first time a byte of it is needed. An error met
// while decoding is kept and raised only when a read reaches the byte where it happened, so
// every byte before a damaged item reads as it would item by item. Errors come wrapped: 4204
// from read (4202 at the end of the stream, 4203 for a pointer outside the block's bytes or a
// block longer than 65536 bytes), 4201 from seek (4200 for a missing block). A block never
// decodes to more than 65536 bytes, and nothing is read or written outside the window.
//
// A block without pointers whose literal code has a single symbol carries no bits per byte, so
// its length must come from elsewhere: 65536 for any block but the last, and for the last the
// rest of the stream's size when the owner gave it with setExpectedSize; otherwise it is an
// error. The encoder never writes such blocks; other writers may.
//
// The owner starts the source on the item, then calls open() (or readHeader() and setBlock(0)).
// The source is not owned; the window (64 KiB) is allocated at construction.
#pragma once

#include "archive/codec/LzDecoder.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

class LzReader : public LzDecoder {
  public:
    // Compressed bytes taken from the source at a time.
    static constexpr uint32_t STAGE_SIZE = 8192;

    explicit LzReader(BlockReader& source);

    // readHeader() and setBlock(0): the source must stand on the first block of the item.
    void open() {
        readHeader();
        setBlock(0);
    }
    // Makes block n current with nothing decoded; its header must have been read.
    void setBlock(uint32_t n);
    // The stream's total uncompressed size, when the owner knows it.
    void setExpectedSize(uint64_t size) { _expected = size; }

    void read(uint8_t& byte) {
        if (_readPos < _decoded)
            byte = _window[_readPos++];
        else
            byte = readSlow();
    }
    uint8_t read() {
        uint8_t b;
        read(b);
        return b;
    }
    // Fills out completely, with the errors of read().
    void read(std::span<uint8_t> out);
    void seek(uint32_t p);

    // True when every byte of the current block has been delivered and none is pending,
    // so the stream ends here if the source has no further block. Never fails: a damaged
    // block answers false and the next read reports it.
    bool blockExhausted();
    // How many bytes of the current block read() delivers from now on without decoding or
    // failing: up to the block's end, or to where a damaged block's decoding stopped.
    uint32_t readyInBlock() {
        blockExhausted();
        return _decoded - _readPos;
    }

    uint32_t block() const { return _block; }
    // Everything the reader holds, in bytes.
    size_t stateBytes() const;
    uint32_t readPos() const { return _readPos; }

  private:
    uint8_t readSlow();
    void decodeBody();
    void decodeItems();
    void decodePlain();
    void decodeRepeat();

    std::unique_ptr<uint8_t[]> _window;
    std::unique_ptr<uint8_t[]> _stage;
    uint32_t _block = 0;
    uint32_t _readPos = 0;
    uint32_t _decoded = 0;
    bool _bodyDone = false;
    std::optional<Error> _error;  // met at _decoded while decoding the current block
    std::optional<uint64_t> _expected;
};
