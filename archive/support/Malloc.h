// Page pool for the archive tree.
//
// The tree is built from many small pieces (nodes, versions, transactions, names) that all die
// together when the archive is reloaded, so pieces are taken from a chain of zero-filled
// 4096-byte pages by bumping an offset and are never freed one by one; clear() releases every
// page at once. A piece larger than a page is a verification failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

class Malloc {
  public:
    struct Page {
        static constexpr int SIZE = 4096;
        alignas(16) unsigned char data[SIZE];
        Page* next;
    };

    Malloc() = default;
    ~Malloc() { clear(); }
    Malloc(const Malloc&) = delete;
    Malloc& operator=(const Malloc&) = delete;

    // size bytes of zeros, 8-byte aligned, valid until clear().
    void* alloc(size_t size);
    // A zero-filled object of trivially destructible type T (never destroyed singly).
    template <class T>
    T* make() {
        static_assert(std::is_trivially_destructible_v<T>);
        return new (alloc(sizeof(T))) T{};
    }
    void clear();

    size_t pageCount() const { return _pages; }

  private:
    Page* _first = nullptr;
    Page* _current = nullptr;
    int32_t _used = 0;
    size_t _pages = 0;
};
