// The data image: an index of a file's previous full content (the base) by fixed-size
// sections, and the search that finds where new content continues a run of base sections.
// The delta writer turns what it finds into copy commands.
//
// The index holds, per base section, its hash and a link in a hash bucket, plus a bitmap of
// the hashes of section prefixes (16 bytes per section in all). Its memory is bounded by
// `maxMem`: a large base gets larger sections, never a refusal. A tail shorter than a section
// is not indexed, and a base shorter than one section has no index at all: nothing matches.
//
// Hashes only select candidates; every match is confirmed byte by byte against the base,
// which is read through a `BaseSource` (sequentially once by buildIndex, by seeks afterwards).
// Errors of the base source (a damaged item) propagate unchanged.
//
// Parameters outside the range in which the search works are replaced by their defaults
// (see Params), so no configuration value can make it divide by zero, loop for ever, read
// outside the data or fail a verification.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The base content, readable from the front and by position. The storage layer's value reader
// on a full-content item opened with a block index is the real one.
class BaseSource {
  public:
    virtual ~BaseSource() = default;
    // Positions at byte 0 of the base, ready for sequential reads.
    virtual void start() = 0;
    // Positions at byte pos of the base.
    virtual void seek(uint32_t pos) = 0;
    // The byte at the position, which then advances; throws Error past the end.
    virtual uint8_t readByte() = 0;
    // At least one and at most max (> 0) bytes from the position on, which then advances past
    // them; throws as readByte does. The bytes stay valid until the next call. A source that
    // holds its bytes in memory hands over a stretch of them, so the search is not a call per
    // byte; the default reads one.
    virtual std::span<const uint8_t> readSome(uint32_t max) {
        (void)max;
        _one = readByte();
        return {&_one, 1};
    }

  private:
    uint8_t _one = 0;
};

class DataImage {
  public:
    struct Params {
        int sectSize = 64;     // bytes per section to start with
        int maxMem = 1048576;  // bytes the section index may take
        int maxBuf = 1048576;  // bytes of new data whose section hashes are cached
        int hashCount = 8;     // bytes of a section's start hashed for the prefix filter
    };
    // The live values of the settings "DataImage.sectSize", ".maxMem", ".maxBuf" and
    // ".hashCount", read at each call.
    static Params configured();

    // The largest piece of new data the delta writer hands to findMatch at once: its plain
    // file reader's buffer.
    static constexpr uint32_t WINDOW = 1048576;

    // Sets up the index for a base of baseLen bytes; reads nothing yet. `window` is the most
    // data findMatch will ever be given.
    DataImage(BaseSource& base, uint32_t baseLen, Params params = configured(),
              uint32_t window = WINDOW);
    DataImage(const DataImage&) = delete;
    DataImage& operator=(const DataImage&) = delete;

    // Reads the whole base once and fills the index.
    void buildIndex();

    // Searches data[0 .. length) for the first position where it continues the base. On
    // success data[pos .. pos + baseEnd - baseStart) equals the base bytes [baseStart, baseEnd),
    // at least one section long. On failure pos is the number of leading bytes that can no
    // longer start a match (length - section size, or 0 when length is at most one section).
    // length must not exceed the window given at construction.
    bool findMatch(const uint8_t* data, uint32_t length, uint32_t& pos, uint32_t& baseStart,
                   uint32_t& baseEnd);

    uint32_t sectSize() const { return _sectSize; }
    uint32_t sectCount() const { return _count; }
    uint32_t hashCount() const { return _hashCount; }
    uint32_t cacheCapacity() const { return _n; }

  private:
    bool findCandidate(const uint8_t* from, uint32_t remaining, uint32_t& baseStart,
                       uint32_t& baseEnd);
    uint32_t sectionHash(uint32_t i);

    BaseSource& _base;
    uint32_t _baseLen;
    uint32_t _window;
    uint32_t _sectSize;
    uint32_t _count;
    uint32_t _hashCount;
    bool _built = false;
    std::vector<uint32_t> _prefixBits;
    std::vector<uint32_t> _sectHash;
    std::vector<int32_t> _bucket;
    std::vector<int32_t> _next;
    // New-data cache: hashes of the sections that follow _cachePtr, _l of them computed.
    const uint8_t* _cachePtr = nullptr;
    uint32_t _l = 0;
    uint32_t _n = 0;
    std::vector<uint32_t> _cache;
};
