// Compressor of one stream (an item) into blocks of 65536 uncompressed bytes.
//
// Each block is coded by itself, in two passes: the match finder cuts it into literals and
// pointers, kept as a list of items together with the number of bits they take as plain
// fields; then the block is written with the flags and Huffman codes that pay at least 2.5
// percent, or as literals only when the pointers do not pay, or as plain bytes. The output is
// fixed to the bit by these rules, so that any implementation of the format writes the same
// archive. A block is assembled in memory and handed to the output whole.
//
// Since a block depends on its own bytes alone (no match reaches into an earlier block, the
// codes start empty in every block), blocks can be cut at the same time. With two threads (the
// default) the caller queues each full block and fills the next; a worker thread cuts and codes
// the oldest waiting block into that block's own buffer, one after another. When every lane is
// queued, the caller cuts a waiting block itself, or waits for the oldest. Whoever is free thus
// takes the next block, so a slow block on one thread does not leave the other idle. The
// caller hands the blocks to the output in their order, as they are done. The bytes written
// are the same as with one thread; only the moment differs: a block may reach the output
// during a later put() or finish(). All output happens on the caller's thread; when the output
// fails, the worker is stopped before the error leaves put() or finish(). A stream of one block
// never wakes the worker. The worker is started at the first hand-over and stays for the next
// streams, asleep between them: joining it at every end of a stream waited, on a busy machine,
// for a time slice to let it exit. The destructor joins it, and so does reset() when blocks are
// still queued.
//
// The encoder raises no errors of its own; errors of the output pass through. It owns about
// 730 KiB, allocated at construction; with two threads, 2200 KiB (three lanes) from the first
// block handed over. Nothing is allocated per byte.
#pragma once

#include "archive/codec/BlockWriter.h"
#include "archive/codec/BufferBitWriter.h"
#include "archive/codec/HCode.h"
#include "archive/codec/LzFormat.h"
#include "archive/codec/LzMatchFinder.h"
#include "archive/support/Worker.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

class LzEncoder {
  public:
    explicit LzEncoder(BlockWriter& output, bool twoThreads = true);
    ~LzEncoder();
    LzEncoder(const LzEncoder&) = delete;
    LzEncoder& operator=(const LzEncoder&) = delete;

    // Starts a new stream: blocks not yet written are dropped (the worker is joined if it had
    // one).
    void reset();
    void put(uint8_t byte) {
        if (_end == lz::BLOCK_SIZE) flushFullBlock();
        _window[_end++] = byte;
    }
    void put(std::span<const uint8_t> data);
    // Writes what is left, the last block at the end (an empty stream is one block without
    // bits).
    void finish();

    // Everything the encoder holds, in bytes.
    size_t stateBytes() const;

  private:
    // An item is 32 bits: the count of literals before it in the top byte, then a pointer's
    // length and distance in the low 24 bits. RUN_ONLY literals with no pointer after them
    // make an item of their own; literals after the last item are not listed. Every item thus
    // covers at least 4 bytes of the block.
    static constexpr uint32_t RUN_ONLY = 255;
    static constexpr uint32_t ITEM_SLOTS = lz::BLOCK_SIZE / lz::MIN_MATCH;

    // What one block needs from its bytes to its flags and codes, and its coded bits.
    struct Lane {
        explicit Lane(int hashBits);
        LzMatchFinder finder;
        HCode lit{8};
        HCode dist{7};
        HCode len{5};
        uint32_t n = 0;
        uint32_t covered = 0;
        uint32_t items = 0;
        uint64_t passBits = 0;  // the items' size with every field in plain bits
        uint8_t flags = 0;
        std::unique_ptr<uint32_t[]> item;
        std::unique_ptr<uint8_t[]> window;
        BufferBitWriter block;
        // FREE: filled or to be filled by put(); READY: full and queued; WORKING: being cut
        // and coded; DONE: coded, waiting for its turn at the output. Under _mutex once queued.
        enum class State { FREE, READY, WORKING, DONE } state = State::FREE;

        // First pass and choice of flags and codes, for the n bytes of the window.
        void cut(bool last);
        // Stored as plain bytes, straight from the window.
        bool plain() const;
        size_t bytes() const;
    };
    struct FirstPass;

    void flushFullBlock();
    void fill(Lane* lane) {
        _fill = lane;
        _window = lane->window.get();
    }
    // Codes the lane's block into its buffer, then hands it to the output.
    void write(Lane& lane);
    void encode(Lane& lane);
    void emit(Lane& lane);
    void writePointerItems(Lane& lane);
    void writeLiterals(Lane& lane);

    // A free lane for put() to fill, once the queue has made room.
    Lane* nextFree();
    // Hands the queued blocks that are done at the queue's front to the output.
    void emitDone();
    // Cuts and codes the oldest waiting block on this thread; false when none waits.
    bool cutWaiting();
    void waitOldest();
    // The oldest waiting block, marked as being worked on; null when none waits. Under _mutex.
    Lane* claimReadyLocked();
    // The worker's job: cuts and codes waiting blocks until none is left.
    void workQueue();
    // Cuts a block on this thread and decides from the time it took whether the next one is
    // queued for the worker.
    void cutHere(Lane& lane);

    // Blocks cut faster than this are not handed over: waking the worker and waiting for it
    // costs about as much on a quiet machine, and on a busy one the worker may wait a time
    // slice for a core while this thread could have cut several such blocks.
    static constexpr std::chrono::microseconds MIN_HANDED_CUT{300};

    // Three lanes: the worker cuts one, the caller another, while the third is filled.
    static constexpr int LANES = 3;

    BlockWriter& _out;
    const int _lanes;  // 1 with one thread
    const int _hashBits;
    std::unique_ptr<Lane> _lane[LANES];
    Lane* _fill;            // the lane whose window put() fills
    uint8_t* _window;       // _fill's window, one load less per byte
    uint32_t _end = 0;      // bytes in _fill's window
    bool _handOver = true;  // the last block cut here took long enough
    // Blocks queued in stream order: _queue[_first], then the next _queued - 1 round the
    // ring. Changed by the caller alone, under _mutex.
    Lane* _queue[LANES] = {};
    int _first = 0;
    int _queued = 0;
    bool _working = false;  // a worker job runs, or is about to end; under _mutex
    std::mutex _mutex;
    std::condition_variable _done;  // a lane was done

    // Blocks of a stream come one after another, but a block takes milliseconds: a short
    // spin catches the next one on a quiet machine, a longer one only competes for the cores.
    Worker _worker{std::chrono::microseconds(50)};  // last member: stopped before the lanes go
};
