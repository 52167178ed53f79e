// The first pass of the LZ encoder: cuts one block into literals and pointers.
//
// What a search returns is fixed by the format: at each step the longest match of at least 4
// bytes, limited to min(255, bytes left in the block), with any position indexed so far in the
// block, the most recent one among equal lengths. A position is indexed once the two bytes
// after it have been passed, except inside runs of equal bytes: a string whose byte before and
// three bytes are all equal is never indexed, so a long run is matched against its start.
//
// The search uses binary trees instead of hash chains, which would have to be walked to their
// end: one tree per hash of the first four bytes, ordered by the strings that start at its
// positions and with newer positions above older ones. The walk from the root towards the
// current string meets, for every length L, the most recent position matching at least L bytes,
// so it finds exactly what a full chain walk finds, in about log(n) steps on most data. A new
// position that equals an older one over the whole look-ahead takes its place: no later search
// can prefer the older one.
//
// A tree is brought up to date only when a search needs it: a position passed waits in a list
// of its tree's hash and goes in at the next search there, the waiting ones oldest first, so
// each tree holds at every search exactly what inserting each position as soon as it is passed
// would have put in it, and trees do not depend on one another. Two thirds of the positions
// of a block on text, source and binary are never followed by a search in their tree: they
// are never inserted, and inserting was most of the time spent.
//
// It owns 512 KiB of tables with 16 hash bits, 384 KiB with 15, allocated once. The hash only
// spreads the positions over more or fewer trees: every tree is searched the same way, so the
// number of bits changes the speed, never the items.
#pragma once

#include "archive/codec/LzFormat.h"

#include <cstdint>
#include <cstring>
#include <memory>

class LzMatchFinder {
  public:
    // hashBits is 15 or 16.
    explicit LzMatchFinder(int hashBits = 16);

    // Bytes of the tables allocated at construction.
    static constexpr size_t tableBytes(int hashBits) {
        return (2 * (size_t{1} << hashBits) + 2 * size_t{lz::BLOCK_SIZE}) * 2;
    }
    int hashBits() const { return _hashBits; }

    // Calls sink.literal(byte) or sink.pointer(distance, length) for each item of data[0..n),
    // n <= 65536, in order.
    template <class Sink>
    void parse(const uint8_t* data, uint32_t n, Sink&& sink);

  private:
    static constexpr uint16_t NIL = 0xFFFF;
    static constexpr uint32_t NO_POS = 0xFFFFFFFF;
    static constexpr uint32_t PREFETCH = 16;

    static uint32_t load32(const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    // _son[2 node] in the low half, _son[2 node + 1] in the high half.
    uint32_t loadSons(uint32_t node) const {
        uint32_t v;
        std::memcpy(&v, _son.get() + 2 * node, 4);
        return v;
    }
    // The shift is a constant of each instance of the search, not a load per hash.
    template <int Bits>
    static uint32_t hash(const uint8_t* p) {
        return (load32(p) * 2654435761u) >> (32 - Bits);
    }
    // Number of equal bytes of a and b, from `from` up to at most cap, times 2, plus 1 when a
    // has the lower byte where they differ (below cap).
    static uint32_t compare(const uint8_t* a, const uint8_t* b, uint32_t from, uint32_t cap);

    template <int Bits, class Sink>
    void parseWith(const uint8_t* data, uint32_t n, Sink& sink);
    uint32_t find(uint32_t pos, uint32_t h, uint32_t cap, uint32_t& distance) const;
    struct Walk;
    bool startWalk(Walk& w, uint32_t s, uint32_t h);
    bool stepWalk(Walk& w);
    // Inserts the positions waiting for tree h, oldest first.
    void insertWaiting(uint32_t h);
    template <int Bits>
    void clear(uint32_t n);

    int _hashBits;
    const uint8_t* _data = nullptr;
    uint32_t _n = 0;
    // Per hash h: _roots[2h] the root of its tree, _roots[2h + 1] the newest position waiting
    // to go in, side by side so that both come in one cache line.
    std::unique_ptr<uint16_t[]> _roots;
    // Per position p: _son[2p] the subtree of smaller strings, _son[2p + 1] of greater ones,
    // side by side so that a step down touches one cache line. Until p is in its tree,
    // _son[2p] holds the position waiting before it.
    std::unique_ptr<uint16_t[]> _son;
};

template <class Sink>
void LzMatchFinder::parse(const uint8_t* data, uint32_t n, Sink&& sink) {
    if (_hashBits == 15)
        parseWith<15>(data, n, sink);
    else
        parseWith<16>(data, n, sink);
}

template <int Bits, class Sink>
void LzMatchFinder::parseWith(const uint8_t* data, uint32_t n, Sink& sink) {
    _data = data;
    _n = n;
    uint16_t* roots = _roots.get();
    uint32_t pos = 0;
    uint32_t run = 0;
    while (pos < n) {
        uint32_t left = n - pos;
        uint32_t cap = left < lz::LOOK_AHEAD ? left : lz::LOOK_AHEAD;
        uint32_t distance = 0;
        uint32_t length = 0;
        if (cap >= lz::MIN_MATCH) {
            uint32_t h = hash<Bits>(data + pos);
            if (roots[2 * h + 1] != NIL) insertWaiting(h);
            length = find(pos, h, cap, distance);
        }
        if (length >= lz::MIN_MATCH) {
            sink.pointer(distance, length);
        } else {
            sink.literal(data[pos]);
            length = 1;
        }
        // Positions too close to the end for a 4-byte match need no index: every later
        // search has even fewer bytes left.
        for (uint32_t i = 0; i < length; ++i) {
            run = pos > 0 && data[pos - 1] == data[pos] ? run + 1 : 1;
            // The roots a little ahead are fetched early: nothing else tells where they lie.
            if (pos + PREFETCH + 4 <= n)
                __builtin_prefetch(&roots[2 * hash<Bits>(data + pos + PREFETCH)]);
            ++pos;
            if (run <= 3 && pos >= 3 && n - (pos - 3) >= lz::MIN_MATCH) {
                uint32_t s = pos - 3;
                uint32_t h = hash<Bits>(data + s);
                _son[2 * s] = roots[2 * h + 1];
                roots[2 * h + 1] = static_cast<uint16_t>(s);
            }
        }
    }
    // Positions still waiting are never searched: the tables are only cleared.
    clear<Bits>(n);
}
