#include "archive/ops/DeltaAhead.h"

#include "archive/os/os.h"

#include <system_error>

DeltaAhead::DeltaAhead(std::vector<File> files, StgFile& file) : _file(file) {
    _slots.reserve(files.size());
    for (const File& f : files)
        _slots.emplace_back().file = f;
    if (_slots.empty() || !os::sys().sharedByThreads()) return;
    try {
        _thread = std::thread([this] { loop(); });
    } catch (const std::system_error&) {
        // Without the thread every base is indexed at its turn.
    }
}

DeltaAhead::~DeltaAhead() {
    {
        std::lock_guard lock(_mutex);
        _stopping = true;
    }
    _changed.notify_all();
    if (_thread.joinable()) _thread.join();
}

DeltaAhead::Image DeltaAhead::index(uint32_t pos, uint32_t size) {
    // Indexed from the front, then read again from each match the search confirms.
    Image out;
    out.base = std::make_unique<StgBase>(_file, pos, 2, true);
    out.image = std::make_unique<DataImage>(*out.base, size);
    out.image->buildIndex();
    return out;
}

void DeltaAhead::loop() {
    std::unique_lock lock(_mutex);
    for (;;) {
        _changed.wait(lock, [this] {
            while (_next < _slots.size() &&
                   (_slots[_next].skipped || _slots[_next].state != State::WAITING))
                ++_next;
            return _stopping || (_next < _slots.size() && _next < _turn + AHEAD);
        });
        if (_stopping) return;
        Slot& s = _slots[_next];
        s.state = State::INDEXING;
        _indexing = true;
        lock.unlock();
        Image image;
        std::exception_ptr failure;
        try {
            image = index(s.file.pos, s.file.size);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        s.state = State::DONE;
        _indexing = false;
        if (!s.skipped) {
            s.image = std::move(image);
            s.failure = failure;
        } else {
            lock.unlock();
            image = Image{};  // its spill file and buffers go at once, not with the save
            lock.lock();
        }
        _changed.notify_all();
    }
}

DeltaAhead::Image DeltaAhead::take(const Node* node, uint32_t pos, uint32_t size) {
    std::vector<Image> dropped;  // let go of after the lock
    std::unique_lock lock(_mutex);
    size_t i = _turn;
    while (i < _slots.size() && !(_slots[i].file.node == node && _slots[i].file.pos == pos &&
                                  _slots[i].file.size == size))
        ++i;
    if (i == _slots.size()) {
        lock.unlock();
        return index(pos, size);
    }
    for (; _turn < i; ++_turn) {
        _slots[_turn].skipped = true;
        dropped.push_back(std::move(_slots[_turn].image));
    }
    Slot& s = _slots[_turn++];
    _changed.notify_all();
    // The thread takes a waiting base next unless it is busy with one given up just now.
    if (s.state == State::WAITING && (!_thread.joinable() || _indexing)) {
        s.state = State::OWN;
        lock.unlock();
        return index(pos, size);
    }
    _changed.wait(lock, [&] { return s.state == State::DONE; });
    if (s.failure) std::rethrow_exception(s.failure);
    return std::move(s.image);
}
