#include "archive/codec/LzMatchFinder.h"

#include <algorithm>
#include <bit>
#include <emmintrin.h>
#include <utility>

LzMatchFinder::LzMatchFinder(int hashBits)
    : _hashBits(hashBits == 15 ? 15 : 16),
      _roots(new uint16_t[size_t{2} << _hashBits]),
      _son(new uint16_t[2 * size_t{lz::BLOCK_SIZE}]) {
    std::fill_n(_roots.get(), size_t{2} << _hashBits, NIL);
}

namespace {

// Compares the 8 bytes at len; when they differ, sets *result to what compare() returns.
[[gnu::always_inline]] inline bool differIn8(const uint8_t* a, const uint8_t* b, uint32_t len,
                                             uint32_t* result) {
    uint64_t x, y;
    std::memcpy(&x, a + len, 8);
    std::memcpy(&y, b + len, 8);
    if (x == y) return false;
    // Byte-swapped, the words compare as the strings do.
    uint32_t smaller = __builtin_bswap64(x) < __builtin_bswap64(y);
    *result = 2 * (len + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3)) + smaller;
    return true;
}

}  // namespace

[[gnu::always_inline]] inline uint32_t LzMatchFinder::compare(const uint8_t* a, const uint8_t* b,
                                                              uint32_t from, uint32_t cap) {
    static_assert(std::endian::native == std::endian::little);
    uint32_t len = from;
    // Most comparisons end in their first 8 bytes, where the order comes from the words
    // already loaded (one dependent load less on the way down the tree); longer matches go
    // on 16 bytes per step.
    if (len + 8 <= cap) {
        uint32_t result;
        if (differIn8(a, b, len, &result)) return result;
        len += 8;
        while (len + 16 <= cap) {
            __m128i vx = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + len));
            __m128i vy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + len));
            uint32_t differ =
                ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(vx, vy))) & 0xFFFF;
            if (differ) {
                len += static_cast<uint32_t>(__builtin_ctz(differ));
                return 2 * len + (a[len] < b[len]);
            }
            len += 16;
        }
    }
    while (len + 8 <= cap) {
        uint32_t result;
        if (differIn8(a, b, len, &result)) return result;
        len += 8;
    }
    while (len < cap && a[len] == b[len])
        ++len;
    return 2 * len + (len < cap && a[len] < b[len]);
}

// Both walks choose their direction without a branch (the comparison goes either way at
// random), and keep their state in registers.
uint32_t LzMatchFinder::find(uint32_t pos, uint32_t h, uint32_t cap, uint32_t& distance) const {
    const uint8_t* cur = _data + pos;
    uint32_t node = _roots[2 * h];
    uint32_t best = lz::MIN_MATCH - 1;
    // Bytes shared with the last node found smaller than cur and with the last one found
    // greater: every node below shares at least the lesser of the two.
    uint32_t lenLess = 0;
    uint32_t lenMore = 0;
    while (node != NIL) {
        // Both subtrees are loaded while the strings are compared: the next node is then a
        // select, not a load that waits for the comparison.
        uint32_t sons = loadSons(node);
        uint32_t c = compare(_data + node, cur, std::min(lenLess, lenMore), cap);
        uint32_t len = c >> 1;
        uint32_t smaller = c & 1;
        // Nodes are met newest first, so only a longer match replaces the one found.
        if (len > best) {
            best = len;
            distance = pos - node;
            if (len == cap) break;
        }
        lenLess = smaller ? len : lenLess;
        lenMore = smaller ? lenMore : len;
        node = (sons >> (16 * smaller)) & 0xFFFF;
    }
    return best >= lz::MIN_MATCH ? best : 0;
}

// Inserting s makes it the root of its tree: the old tree is split along the path into the
// strings smaller than s (its left subtree) and the greater ones (its right subtree). A node
// smaller than s continues the smaller side by its own right subtree, and the other way round.
// The slots still to fill are indices into _son.
struct LzMatchFinder::Walk {
    const uint8_t* cur;
    uint32_t cap;
    uint32_t node;
    uint32_t less;
    uint32_t more;
    uint32_t lenLess;
    uint32_t lenMore;
};

[[gnu::always_inline]] inline bool LzMatchFinder::startWalk(Walk& w, uint32_t s, uint32_t h) {
    w.cur = _data + s;
    w.cap = std::min(_n - s, lz::LOOK_AHEAD);
    uint16_t* head = &_roots[2 * h];
    w.node = *head;
    *head = static_cast<uint16_t>(s);
    w.less = 2 * s;
    w.more = 2 * s + 1;
    w.lenLess = 0;
    w.lenMore = 0;
    if (w.node != NIL) return true;
    _son[w.less] = NIL;
    _son[w.more] = NIL;
    return false;
}

// One step down; false when the walk has ended.
[[gnu::always_inline]] inline bool LzMatchFinder::stepWalk(Walk& w) {
    uint16_t* son = _son.get();
    uint32_t node = w.node;
    uint32_t sons = loadSons(node);
    uint32_t c = compare(_data + node, w.cur, std::min(w.lenLess, w.lenMore), w.cap);
    uint32_t len = c >> 1;
    uint32_t smaller = c & 1;
    if (len == w.cap) {
        // Equal over the look-ahead: the new position replaces the old one. Later searches
        // see no more than this many bytes, so the old one could only tie, and lose.
        son[w.less] = son[2 * node];
        son[w.more] = son[2 * node + 1];
        return false;
    }
    son[smaller ? w.less : w.more] = static_cast<uint16_t>(node);
    uint32_t next = 2 * node + smaller;
    w.less = smaller ? next : w.less;
    w.more = smaller ? w.more : next;
    w.lenLess = smaller ? len : w.lenLess;
    w.lenMore = smaller ? w.lenMore : len;
    w.node = (sons >> (16 * smaller)) & 0xFFFF;
    if (w.node != NIL) return true;
    son[w.less] = NIL;
    son[w.more] = NIL;
    return false;
}

void LzMatchFinder::insertWaiting(uint32_t h) {
    uint16_t* son = _son.get();
    // The waiting list runs newest first; turned around, the tree gets its positions in order.
    uint32_t p = std::exchange(_roots[2 * h + 1], NIL);
    uint32_t first = NIL;
    while (p != NIL)
        first = std::exchange(p, std::exchange(son[2 * p], static_cast<uint16_t>(first)));
    for (p = first; p != NIL;) {
        uint32_t next = son[2 * p];  // before the walk writes p's subtrees
        Walk w;
        if (startWalk(w, p, h))
            while (stepWalk(w)) {
            }
        p = next;
    }
}

template <int Bits>
void LzMatchFinder::clear(uint32_t n) {
    // Small blocks (short items are common) clear only the roots they used.
    if (n < 8192) {
        for (uint32_t s = 0; s + 3 < n; ++s) {
            uint32_t h = hash<Bits>(_data + s);
            _roots[2 * h] = NIL;
            _roots[2 * h + 1] = NIL;
        }
    } else {
        std::fill_n(_roots.get(), size_t{2} << Bits, NIL);
    }
}

template void LzMatchFinder::clear<15>(uint32_t);
template void LzMatchFinder::clear<16>(uint32_t);
