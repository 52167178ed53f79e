#include "archive/codec/LzEncoder.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

using namespace lz;

namespace {

// Two cutting threads hold two sets of tables. 15 hash bits would save 128 KiB of them but
// cut a quarter off the speed on data without matches, where the two threads then lost to one.
constexpr int HASH_BITS_ONE_THREAD = 16;
constexpr int HASH_BITS_TWO_THREADS = 16;

}  // namespace

LzEncoder::Lane::Lane(int hashBits)
    : finder(hashBits),
      item(new uint32_t[ITEM_SLOTS]),
      window(new uint8_t[BLOCK_SIZE]),
      block(BLOCK_SIZE) {
    lit.setWriter(&block);
    dist.setWriter(&block);
    len.setWriter(&block);
}

size_t LzEncoder::Lane::bytes() const {
    return sizeof(Lane) + LzMatchFinder::tableBytes(finder.hashBits()) +
           ITEM_SLOTS * sizeof(uint32_t) + 2 * BLOCK_SIZE + 8;
}

LzEncoder::LzEncoder(BlockWriter& output, bool twoThreads)
    : _out(output),
      _lanes(twoThreads ? LANES : 1),
      _hashBits(twoThreads ? HASH_BITS_TWO_THREADS : HASH_BITS_ONE_THREAD) {
    _lane[0] = std::make_unique<Lane>(_hashBits);
    fill(_lane[0].get());
}

LzEncoder::~LzEncoder() = default;

size_t LzEncoder::stateBytes() const {
    size_t n = sizeof(*this);
    for (const auto& lane : _lane)
        if (lane) n += lane->bytes();
    return n;
}

void LzEncoder::reset() {
    // Without blocks queued the worker is idle and holds no failure.
    if (_queued) _worker.stop();
    {
        // A job that found nothing to do may still be ending.
        std::lock_guard lock(_mutex);
        _queued = 0;
        for (const auto& lane : _lane)
            if (lane) lane->state = Lane::State::FREE;
    }
    fill(_lane[0].get());
    _end = 0;
}

void LzEncoder::put(std::span<const uint8_t> data) {
    while (!data.empty()) {
        if (_end == BLOCK_SIZE) flushFullBlock();
        size_t n = std::min<size_t>(data.size(), BLOCK_SIZE - _end);
        std::memcpy(_window + _end, data.data(), n);
        _end += static_cast<uint32_t>(n);
        data = data.subspan(n);
    }
}

void LzEncoder::flushFullBlock() {
    // A full window is written only when the next byte arrives, so that a stream of exactly
    // 65536 bytes is one block with LAST_BLOCK.
    Lane& cur = *_fill;
    cur.n = _end;
    _end = 0;
    if (_lanes == 1 || (!_handOver && _queued == 0)) {
        cutHere(cur);
        write(cur);
        return;
    }
    // The other lanes are made at the first block queued: most streams are one block.
    for (int i = 1; i < _lanes && !_lane[i]; ++i)
        _lane[i] = std::make_unique<Lane>(_hashBits);
    bool start = false;
    {
        std::lock_guard lock(_mutex);
        cur.state = Lane::State::READY;
        _queue[(_first + _queued++) % LANES] = &cur;
        start = !std::exchange(_working, true);
    }
    if (start) {
        // The last job has seen no block waiting and is ending, if it has not ended.
        _worker.wait();
        if (!_worker.start([this] { workQueue(); })) {
            std::lock_guard lock(_mutex);
            _working = false;  // no thread: every block is cut here
        }
    }
    fill(nextFree());
}

LzEncoder::Lane* LzEncoder::nextFree() {
    for (;;) {
        emitDone();
        {
            std::lock_guard lock(_mutex);
            for (int i = 0; i < _lanes; ++i)
                if (_lane[i]->state == Lane::State::FREE) return _lane[i].get();
        }
        // Every lane is queued: a block that waits is cut here, or the oldest is waited for.
        if (!cutWaiting()) waitOldest();
    }
}

void LzEncoder::emitDone() {
    for (;;) {
        Lane* oldest;
        {
            std::lock_guard lock(_mutex);
            if (_queued == 0 || _queue[_first]->state != Lane::State::DONE) return;
            oldest = _queue[_first];
        }
        try {
            emit(*oldest);
        } catch (...) {
            // The output failed: the worker lets go of the lanes before the error leaves.
            _worker.stop();
            throw;
        }
        std::lock_guard lock(_mutex);
        oldest->state = Lane::State::FREE;
        _first = (_first + 1) % LANES;
        --_queued;
    }
}

bool LzEncoder::cutWaiting() {
    Lane* lane;
    {
        std::lock_guard lock(_mutex);
        lane = claimReadyLocked();
    }
    if (!lane) return false;
    cutHere(*lane);
    encode(*lane);
    std::lock_guard lock(_mutex);
    lane->state = Lane::State::DONE;
    return true;
}

void LzEncoder::waitOldest() {
    std::unique_lock lock(_mutex);
    _done.wait(lock, [this] { return _queue[_first]->state == Lane::State::DONE; });
}

LzEncoder::Lane* LzEncoder::claimReadyLocked() {
    for (int i = 0; i < _queued; ++i) {
        Lane* lane = _queue[(_first + i) % LANES];
        if (lane->state == Lane::State::READY) {
            lane->state = Lane::State::WORKING;
            return lane;
        }
    }
    return nullptr;
}

void LzEncoder::cutHere(Lane& lane) {
    auto t0 = std::chrono::steady_clock::now();
    lane.cut(false);
    _handOver = std::chrono::steady_clock::now() - t0 >= MIN_HANDED_CUT;
}

void LzEncoder::finish() {
    Lane& cur = *_fill;
    cur.n = _end;
    cur.cut(true);
    // The blocks before it first, in their order.
    while (_queued > 0) {
        emitDone();
        if (_queued > 0 && !cutWaiting()) waitOldest();
    }
    write(cur);
}

// --- the worker ------------------------------------------------------------------------------

void LzEncoder::workQueue() {
    // The oldest waiting block first, until none waits; each is coded into its lane's buffer,
    // which the caller leaves alone until the lane is done.
    for (;;) {
        Lane* lane;
        {
            std::lock_guard lock(_mutex);
            lane = claimReadyLocked();
            if (!lane) {
                _working = false;  // with the claim, so that no block queued now is missed
                return;
            }
        }
        lane->cut(false);
        encode(*lane);
        {
            std::lock_guard lock(_mutex);
            lane->state = Lane::State::DONE;
        }
        _done.notify_all();
    }
}

// --- first pass and choice of codes ----------------------------------------------------------

// The first pass lists the items and counts the symbols of the three codes and the bits the
// items take with plain fields.
struct LzEncoder::FirstPass {
    Lane& l;
    uint32_t run = 0;  // literals since the last item

    void literal(uint8_t b) {
        ++run;
        l.passBits += 9;
        l.lit.addWeight(b);
        ++l.covered;
    }
    void pointer(uint32_t distance, uint32_t length) {
        while (run >= RUN_ONLY) {
            l.item[l.items++] = RUN_ONLY << 24;
            run -= RUN_ONLY;
        }
        l.item[l.items++] = run << 24 | length << 16 | distance;
        run = 0;
        CodeBits d = distanceCode(distance);
        CodeBits c = lengthCode(length);
        l.passBits += 1 + 7 + 5 + static_cast<uint32_t>(d.extraBits + c.extraBits);
        l.dist.addWeight(static_cast<int>(d.code));
        l.len.addWeight(static_cast<int>(c.code));
        l.covered += length;
    }
};

void LzEncoder::Lane::cut(bool last) {
    covered = 0;
    items = 0;
    passBits = 0;
    lit.reset();
    dist.reset();
    len.reset();
    const uint8_t* data = window.get();
    finder.parse(data, n, FirstPass{*this});

    // The pointers pay when they save at least 2.5 percent of the plain bits:
    // (8 covered - bits) * 100 / (8 covered) >= 2.5, decided without a division. Items that
    // would not fit in 65536 bytes never pay.
    int64_t plain = int64_t{8} * covered;
    int64_t bits = static_cast<int64_t>(passBits);
    bool overflow = (passBits + 7) / 8 > BLOCK_SIZE;
    bool pointersPay = covered > 0 && !overflow && 40 * (plain - bits) >= plain;

    flags = last ? LAST_BLOCK : 0;
    if (!pointersPay) {
        lit.reset();
        for (uint32_t i = 0; i < n; ++i)
            lit.addWeight(data[i]);
        lit.build();
        // A one-symbol code spends no bits per literal, so without pointers the block's bits
        // could not tell how many literals it holds: such a block is stored plain.
        if (lit.pays() && !lit.singleSymbol()) flags |= LZ_LITERAL_CODE;
    } else {
        flags |= LZ_POINTERS;
        lit.build();
        if (lit.pays()) flags |= LZ_LITERAL_CODE;
        dist.build();
        if (dist.pays()) flags |= LZ_DISTANCE_CODE;
        len.build();
        if (len.pays()) flags |= LZ_LENGTH_CODE;
    }
}

// --- second pass -----------------------------------------------------------------------------

bool LzEncoder::Lane::plain() const {
    return !(flags & (LZ_POINTERS | LZ_LITERAL_CODE));
}

void LzEncoder::write(Lane& lane) {
    encode(lane);
    emit(lane);
}

void LzEncoder::emit(Lane& lane) {
    _out.setFlags(lane.flags);
    if (lane.plain())
        _out.putBits(lane.window.get(), 8 * lane.n);
    else
        _out.putBits(lane.block.data(), lane.block.bitCount());
}

void LzEncoder::encode(Lane& lane) {
    if (lane.plain()) return;
    BufferBitWriter& block = lane.block;
    block.clear();
    if (lane.flags & LZ_LITERAL_CODE) lane.lit.writeTree();
    if (lane.flags & LZ_DISTANCE_CODE) lane.dist.writeTree();
    if (lane.flags & LZ_LENGTH_CODE) lane.len.writeTree();
    if (lane.flags & LZ_POINTERS)
        writePointerItems(lane);
    else
        writeLiterals(lane);
    block.storePending();
}

namespace {

// Code words of one code, or the plain field when the code is not used: length 31 marks a
// word too long for the fast path.
struct Words {
    uint32_t word[256];
    uint8_t bits[256];

    void of(const HCode& code, bool used, int plainBits) {
        for (int s = 0; s < code.size(); ++s) {
            if (!used) {
                word[s] = static_cast<uint32_t>(s);
                bits[s] = static_cast<uint8_t>(plainBits);
            } else {
                int len = code.codeLength(s);
                word[s] = code.codeWord(s);
                bits[s] = static_cast<uint8_t>(len > HCode::MAX_CODE_BITS ? 31 : len);
            }
        }
    }
};

}  // namespace

void LzEncoder::writeLiterals(Lane& lane) {
    BufferBitWriter& block = lane.block;
    Words lit;
    lit.of(lane.lit, true, 8);
    const uint8_t* data = lane.window.get();
    block.begin();
    for (uint32_t i = 0; i < lane.n; ++i) {
        uint8_t b = data[i];
        if (lit.bits[b] == 31) [[unlikely]] {
            block.end();
            lane.lit.write(b);
            block.begin();
            continue;
        }
        block.putFast(lit.word[b], lit.bits[b]);
        block.flush();
    }
    block.end();
}

void LzEncoder::writePointerItems(Lane& lane) {
    // Each item again with its flag bit, each field in plain bits or with its code as the
    // flags say, extra bits unchanged; the literals come from the window.
    BufferBitWriter& block = lane.block;
    Words lit, dist, len;
    lit.of(lane.lit, lane.flags & LZ_LITERAL_CODE, 8);
    dist.of(lane.dist, lane.flags & LZ_DISTANCE_CODE, 7);
    len.of(lane.len, lane.flags & LZ_LENGTH_CODE, 5);
    const uint8_t* data = lane.window.get();
    uint32_t pos = 0;
    auto literals = [&](uint32_t count) {
        for (uint32_t end = pos + count; pos < end; ++pos) {
            uint8_t b = data[pos];
            if (lit.bits[b] == 31) [[unlikely]] {
                block.putFast(0, 1);
                block.end();
                lane.lit.write(b);
                block.begin();
                continue;
            }
            block.putFast(lit.word[b] << 1, lit.bits[b] + 1);
            block.flush();
        }
    };
    block.begin();
    for (uint32_t i = 0; i < lane.items; ++i) {
        uint32_t v = lane.item[i];
        uint32_t run = v >> 24;
        literals(run);
        if (run == RUN_ONLY) continue;
        uint32_t length = (v >> 16) & 0xFF;
        CodeBits d = distanceCode(v & 0xFFFF);
        CodeBits l = lengthCode(length);
        pos += length;
        block.putFast(1, 1);
        if (dist.bits[d.code] == 31) [[unlikely]] {
            block.end();
            lane.dist.write(static_cast<int>(d.code));
            block.begin();
        } else {
            block.putFast(dist.word[d.code], dist.bits[d.code]);
        }
        block.putFast(d.extra, d.extraBits);
        block.flush();
        if (len.bits[l.code] == 31) [[unlikely]] {
            block.end();
            lane.len.write(static_cast<int>(l.code));
            block.begin();
        } else {
            block.putFast(len.word[l.code], len.bits[l.code]);
        }
        block.putFast(l.extra, l.extraBits);
        block.flush();
    }
    literals(lane.n - pos);
    block.end();
}
