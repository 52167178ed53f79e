// Item-level reading of a compressed stream from a block source: the block's flags and code
// trees, then one literal or pointer at a time.
//
// These are the plain operations of the format, one item per call; LzReader builds on them and
// decodes whole blocks at once with the same results. The source is not owned. After any error
// the decoder state is unusable and the owner abandons the stream.
#pragma once

#include "archive/codec/BlockReader.h"
#include "archive/codec/HCode.h"
#include "archive/codec/LzFormat.h"

#include <cstdint>

class LzDecoder {
  public:
    explicit LzDecoder(BlockReader& source);
    virtual ~LzDecoder() = default;
    LzDecoder(const LzDecoder&) = delete;
    LzDecoder& operator=(const LzDecoder&) = delete;

    // Takes the current block's flags and reads the trees of the codes it uses.
    void readHeader();
    // Moves to the next block, or to block n, and reads its header; false if there is none.
    bool nextBlock();
    bool gotoBlock(uint32_t n);

    // What comes next in the block: 0 literal, 1 pointer, 2 end of block.
    int peekItem();
    uint8_t getLiteral();
    // 4300 on a distance code above 111 and 4301 on a length code above 27, checked before
    // their extra bits are read.
    void getPointer(uint32_t& distance, uint32_t& length);

    uint8_t flags() const { return _flags; }

  protected:
    BlockReader& _source;
    uint8_t _flags = 0;
    HCode _lit{8};
    HCode _dist{7};
    HCode _len{5};
};
