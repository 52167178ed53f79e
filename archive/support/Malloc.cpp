#include "archive/support/Malloc.h"

#include "archive/support/msg.h"

void* Malloc::alloc(size_t size) {
    VERIFY(size <= Page::SIZE);
    // Pieces follow each other, each starting on an 8-byte boundary so that nodes placed
    // after a name of odd length stay aligned.
    int32_t start = (_used + 7) & ~7;
    if (_first && start + static_cast<int32_t>(size) <= Page::SIZE) {
        _used = start + static_cast<int32_t>(size);
        return _current->data + start;
    }
    Page* page = new Page();  // value-initialised: every piece starts as zeros
    if (_first)
        _current->next = page;
    else
        _first = page;
    _current = page;
    _used = static_cast<int32_t>(size);
    ++_pages;
    return page->data;
}

void Malloc::clear() {
    for (Page* p = _first; p;) {
        Page* next = p->next;
        delete p;
        p = next;
    }
    _first = _current = nullptr;
    _used = 0;
    _pages = 0;
}
