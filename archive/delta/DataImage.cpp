#include "archive/delta/DataImage.h"

#include "archive/support/cfg.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// The ranges keep out what no section layout can work with; what depends on another value
// (the hash count on the section size, the cache on the window) is checked at construction.
const int32_t* sectSizeSetting = intSetting("DataImage.sectSize", 64, 1);
const int32_t* maxMemSetting = intSetting("DataImage.maxMem", 1048576, 0);
const int32_t* maxBufSetting = intSetting("DataImage.maxBuf", 1048576, 0);
const int32_t* hashCountSetting = intSetting("DataImage.hashCount", 8, 1);

inline uint32_t hashBytes(uint32_t h, const uint8_t* p, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        h = h * 33 + p[i];
    return h;
}

// The base read from the position its source stands on, want bytes at most, through the
// stretches the source hands over.
class BaseBytes {
  public:
    BaseBytes(BaseSource& base, uint64_t want) : _base(base), _want(want) {}
    uint8_t next() {
        if (_at == _have.size()) {
            const uint64_t ask = std::clamp<uint64_t>(_want, 1, UINT32_MAX);
            _have = _base.readSome(static_cast<uint32_t>(ask));
            _want -= std::min<uint64_t>(_want, _have.size());
            _at = 0;
        }
        return _have[_at++];
    }
    // How many of the n bytes at data the base repeats from here on; reads one stretch past
    // the run at most, as a byte-by-byte comparison reads the byte that differs.
    uint32_t equalRun(const uint8_t* data, uint32_t n) {
        uint32_t run = 0;
        while (run < n) {
            if (_at == _have.size()) next(), --_at;
            const size_t k = std::min<size_t>(_have.size() - _at, n - run);
            const uint8_t* a = _have.data() + _at;
            const size_t same =
                std::memcmp(a, data + run, k) == 0
                    ? k
                    : static_cast<size_t>(std::mismatch(a, a + k, data + run).first - a);
            run += static_cast<uint32_t>(same);
            _at += same;
            if (same < k) break;
        }
        return run;
    }

  private:
    BaseSource& _base;
    uint64_t _want;
    std::span<const uint8_t> _have;
    size_t _at = 0;
};

// Replaces every value outside the range in which the search works by its default.
DataImage::Params checked(DataImage::Params p, uint32_t window) {
    const DataImage::Params d;
    if (p.sectSize < 1) p.sectSize = d.sectSize;
    if (p.maxMem < 0) p.maxMem = d.maxMem;
    // The prefix is hashed at positions up to one section before the end of the data.
    if (p.hashCount < 1 || p.hashCount > p.sectSize)
        p.hashCount = std::min(d.hashCount, p.sectSize);
    // The cache must hold the hashes of every whole section of the largest data findMatch is
    // given, or the search would overrun it.
    if (p.maxBuf < 0 || static_cast<uint32_t>(p.maxBuf) < window)
        p.maxBuf = static_cast<int>(std::max<uint32_t>(static_cast<uint32_t>(d.maxBuf), window));
    return p;
}

}  // namespace

DataImage::Params DataImage::configured() {
    Params p;
    // A setting that could not be registered (no memory) keeps its compiled default.
    if (sectSizeSetting) p.sectSize = *sectSizeSetting;
    if (maxMemSetting) p.maxMem = *maxMemSetting;
    if (maxBufSetting) p.maxBuf = *maxBufSetting;
    if (hashCountSetting) p.hashCount = *hashCountSetting;
    return p;
}

DataImage::DataImage(BaseSource& base, uint32_t baseLen, Params params, uint32_t window)
    : _base(base), _baseLen(baseLen), _window(window) {
    VERIFY(window <= static_cast<uint32_t>(std::numeric_limits<int>::max()));
    params = checked(params, window);
    // 64 bits: doubling may pass 2^32 before the section count reaches 0.
    uint64_t sectSize = static_cast<uint64_t>(params.sectSize);
    uint64_t count = baseLen / sectSize;
    while (count * 16 > static_cast<uint64_t>(params.maxMem)) {
        sectSize *= 2;
        count = baseLen / sectSize;
    }
    _sectSize = static_cast<uint32_t>(std::min<uint64_t>(sectSize, UINT32_MAX));
    _count = static_cast<uint32_t>(count);
    _hashCount = static_cast<uint32_t>(params.hashCount);
    if (_count != 0) {
        _prefixBits.resize(_count);
        _sectHash.resize(_count);
        _bucket.resize(_count);
        _next.resize(_count);
        _n = static_cast<uint32_t>(params.maxBuf) / _sectSize;
        if (_n != 0) _cache.resize(_n);
    }
}

void DataImage::buildIndex() {
    _built = true;
    if (_count == 0) return;
    _base.start();
    BaseBytes bytes(_base, static_cast<uint64_t>(_count) * _sectSize);
    std::fill(_prefixBits.begin(), _prefixBits.end(), 0);
    for (uint32_t i = 0; i < _count; ++i) {
        uint32_t h = 0;
        uint32_t k = 0;
        for (; k < _hashCount; ++k)
            h = h * 33 + bytes.next();
        _prefixBits[(h >> 5) % _count] |= 1u << (h & 31);
        for (; k < _sectSize; ++k)
            h = h * 33 + bytes.next();
        _sectHash[i] = h;
    }
    // Prepending from the last section leaves every chain in increasing order, which
    // findCandidate's tie rule (the lowest section wins) relies on.
    std::fill(_bucket.begin(), _bucket.end(), -1);
    for (uint32_t i = _count; i-- > 0;) {
        uint32_t b = _sectHash[i] % _count;
        _next[i] = _bucket[b];
        _bucket[b] = static_cast<int32_t>(i);
    }
}

uint32_t DataImage::sectionHash(uint32_t i) {
    if (i == _l) {
        VERIFY(_l < _n);
        _cache[_l] = hashBytes(0, _cachePtr + static_cast<size_t>(_l) * _sectSize, _sectSize);
        ++_l;
    }
    VERIFY(i < _l);
    return _cache[i];
}

bool DataImage::findCandidate(const uint8_t* from, uint32_t remaining, uint32_t& baseStart,
                              uint32_t& baseEnd) {
    _cachePtr = from;
    _l = 0;
    const uint32_t usable = remaining / _sectSize;
    uint32_t bestRun = 0;
    uint32_t best = 0;
    for (int32_t s = _bucket[sectionHash(0) % _count]; s >= 0; s = _next[s]) {
        const uint32_t start = static_cast<uint32_t>(s);
        // A later section wins only with a longer run, so it must match at index bestRun.
        // Testing that first keeps the walk linear when many sections are alike (zero-filled
        // regions put every section into one chain); the choice is the same as without it.
        if (bestRun > 0) {
            if (start + bestRun >= _count) break;  // chains ascend: no later one has the room
            if (_sectHash[start + bestRun] != sectionHash(bestRun)) continue;
        }
        uint32_t j = start;
        while (j - start < usable && j < _count && _sectHash[j] == sectionHash(j - start))
            ++j;
        if (j - start > bestRun) {
            bestRun = j - start;
            best = start;
            // No later section can do better, and on equal runs the first one stays.
            if (bestRun == usable) break;
        }
    }
    if (bestRun == 0) return false;
    baseStart = best * _sectSize;
    baseEnd = (best + bestRun) * _sectSize;
    return true;
}

bool DataImage::findMatch(const uint8_t* data, uint32_t length, uint32_t& pos, uint32_t& baseStart,
                          uint32_t& baseEnd) {
    VERIFY(_built);
    VERIFY(length <= _window);
    pos = 0;
    if (length <= _sectSize) return false;
    const uint32_t last = length - _sectSize;
    if (_count == 0) {
        pos = last;
        return false;
    }
    for (; pos < last; ++pos) {
        uint32_t h = hashBytes(0, data + pos, _hashCount);
        if (!(_prefixBits[(h >> 5) % _count] & (1u << (h & 31)))) continue;
        uint32_t start, end;
        if (!findCandidate(data + pos, length - pos, start, end)) continue;
        // Stretch the match back over bytes before pos that also equal the base, by less than
        // a section (a whole equal section would have been found earlier) and never before the
        // base's first byte (bytes inserted at the front of a file).
        uint32_t back = std::min({pos, _sectSize - 1, start});
        uint32_t backCount = 0;
        if (back > 0) {
            _base.seek(start - back);
            BaseBytes before(_base, back);
            for (uint32_t i = pos - back; i < pos; ++i)
                backCount = before.next() == data[i] ? backCount + 1 : 0;
        }
        _base.seek(start);
        const uint32_t most = std::min(_baseLen - start, length - pos);
        const uint32_t fwd = BaseBytes(_base, most).equalRun(data + pos, most);
        if (fwd >= _sectSize) {
            pos -= backCount;
            baseStart = start - backCount;
            baseEnd = start + fwd;
            return true;
        }
    }
    return false;
}
