#include "archive/LzMatchFinder.h"

#include <algorithm>

LzMatchFinder::LzMatchFinder()
    : _head(new uint16_t[size_t{1} << HASH_BITS]),
      _son(new uint16_t[2 * size_t{lz::BLOCK_SIZE}]) {
    std::fill_n(_head.get(), size_t{1} << HASH_BITS, NIL);
}

uint32_t LzMatchFinder::extend(const uint8_t* a, const uint8_t* b, uint32_t from, uint32_t cap) {
    uint32_t len = from;
    while (len + 8 <= cap) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) return len + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
    while (len < cap && a[len] == b[len]) ++len;
    return len;
}

// Both walks choose their direction without a branch (the comparison goes either way at
// random), and keep their state in registers.
uint32_t LzMatchFinder::find(uint32_t pos, uint32_t cap, uint32_t& distance) const {
    const uint8_t* cur = _data + pos;
    uint32_t node = _head[hash(cur)];
    uint32_t best = lz::MIN_MATCH - 1;
    // Bytes shared with the last node found smaller than cur and with the last one found
    // greater: every node below shares at least the lesser of the two.
    uint32_t lenLess = 0;
    uint32_t lenMore = 0;
    while (node != NIL) {
        uint32_t len = extend(_data + node, cur, std::min(lenLess, lenMore), cap);
        // Nodes are met newest first, so only a longer match replaces the one found.
        if (len > best) {
            best = len;
            distance = pos - node;
            if (len == cap) break;
        }
        bool smaller = _data[node + len] < cur[len];
        lenLess = smaller ? len : lenLess;
        lenMore = smaller ? lenMore : len;
        node = _son[2 * node + smaller];
    }
    return best >= lz::MIN_MATCH ? best : 0;
}

void LzMatchFinder::insert(uint32_t s) {
    const uint8_t* cur = _data + s;
    uint32_t cap = std::min(_n - s, lz::LOOK_AHEAD);
    uint16_t* head = &_head[hash(cur)];
    uint32_t node = *head;
    *head = static_cast<uint16_t>(s);
    // The new position becomes the root: the old tree is split along the path into the
    // strings smaller than it (its left subtree) and the greater ones (its right subtree). A
    // node smaller than s continues the smaller side by its own right subtree, and the other
    // way round.
    uint16_t* less = &_son[2 * s];
    uint16_t* more = &_son[2 * s + 1];
    uint32_t lenLess = 0;
    uint32_t lenMore = 0;
    while (node != NIL) {
        uint32_t len = extend(_data + node, cur, std::min(lenLess, lenMore), cap);
        if (len == cap) {
            // Equal over the look-ahead: the new position replaces the old one. Later searches
            // see no more than this many bytes, so the old one could only tie, and lose.
            *less = _son[2 * node];
            *more = _son[2 * node + 1];
            return;
        }
        bool smaller = _data[node + len] < cur[len];
        *(smaller ? less : more) = static_cast<uint16_t>(node);
        uint16_t* next = &_son[2 * node + smaller];
        less = smaller ? next : less;
        more = smaller ? more : next;
        lenLess = smaller ? len : lenLess;
        lenMore = smaller ? lenMore : len;
        node = *next;
    }
    *less = NIL;
    *more = NIL;
}

void LzMatchFinder::clear(uint32_t n) {
    // Small blocks (short items are common) clear only the roots they used.
    if (n < 8192) {
        for (uint32_t s = 0; s + 3 < n; ++s) _head[hash(_data + s)] = NIL;
    } else {
        std::fill_n(_head.get(), size_t{1} << HASH_BITS, NIL);
    }
}
