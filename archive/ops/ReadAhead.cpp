#include "archive/ops/ReadAhead.h"

#include "archive/ops/ContentSource.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/msg.h"

#include <chrono>

ReadAhead::ReadAhead(std::vector<File> files, ContentSource& source)
    : _files(std::move(files)), _source(source) {}

ReadAhead::~ReadAhead() {
    _worker.stop();
}

bool ReadAhead::take(const Node* node, const char* path, StgFile& file, ContentInfo& c) {
    if (_turn >= _files.size() || _files[_turn].node != node || _files[_turn].path != path)
        return false;
    fill();
    ++_turn;
    std::unique_ptr<Slot> s;
    int state;
    {
        std::lock_guard lock(_mutex);
        s = std::move(_window.front());
        _window.pop_front();
        int expected = READ;
        if (!s->state.compare_exchange_strong(expected, OWN)) expected = s->state.load();
        state = expected == READ ? OWN : expected;
    }
    // A file the worker is coding now is about done: one block at most. Spin briefly, then
    // sleep: on a machine with no core to spare the worker may need this thread's time slice.
    const auto until = std::chrono::steady_clock::now() + Worker::MAX_SPIN;
    for (unsigned i = 0; state == CODING; ++i) {
        cpuRelax();
        state = s->state.load(std::memory_order_acquire);
        if (state == CODING && i % 64 == 63 && std::chrono::steady_clock::now() > until) {
            std::unique_lock lock(_mutex);
            _coded.wait(lock, [&] { return s->state.load() != CODING; });
            state = s->state.load();
        }
    }
    if (state == LEFT) return false;
    if (s->failure) std::rethrow_exception(s->failure);
    c = s->content;
    if (s->bytes.empty()) return true;
    try {
        if (state == OWN) {
            // Coded here as the worker codes, with an encoder of this thread's own: one made
            // for each file would clear its half a megabyte of tables every time.
            s->item = std::make_unique<StgWriteBuffer>(nullptr, stg::FILE_CONTENT);
            _ownRelay.to = s->item.get();
            _ownLz.reset();
            _ownLz.put(s->bytes);
            _ownLz.finish();
        }
        s->item->writeItem(file);
        c.pos = static_cast<uint32_t>(s->item->itemStart());
        c.storedSize = static_cast<int32_t>(s->item->itemEnd() - s->item->itemStart());
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.importFile", path);
    }
    return true;
}

void ReadAhead::fill() {
    while (_read < _files.size() && _read < _turn + WINDOW) {
        auto s = std::make_unique<Slot>();
        s->file = &_files[_read++];
        read(*s);
        std::lock_guard lock(_mutex);
        _window.push_back(std::move(s));
    }
    // The worker runs while there is something to code; a job that ended leaves it idle.
    if (_worker.idle()) {
        _worker.wait();
        if (!_worker.start([this] { codeLeft(); })) return;
    }
}

void ReadAhead::read(Slot& s) {
    const File& f = *s.file;
    try {
        std::unique_ptr<ByteSource> source = _source.content(f.node, f.path, lz::BLOCK_SIZE);
        ByteSource& r = *source;
        r.open();
        if (f.node->mtime != 0 && f.node->mtime < r.mtime()) throw makeError("Tresmo.importFile.1");
        if (r.size() > lz::BLOCK_SIZE) {
            r.close();
            s.state = LEFT;
            return;
        }
        s.bytes.reserve(r.size());
        while (r.len() > 0) {
            s.bytes.insert(s.bytes.end(), r.buffer(), r.buffer() + r.len());
            r.shift(r.len());
        }
        uint32_t crc = r.close();
        if (r.changedWhileRead()) throw makeError("Tresmo.importFile.1");
        s.content.mtime = r.mtime();
        if (!s.bytes.empty()) {
            s.content.size = static_cast<int32_t>(s.bytes.size());
            s.content.crc = crc;
        }
    } catch (Error& e) {
        s.failure = std::make_exception_ptr(makeError(std::move(e), "Tresmo.importFile", f.path));
    }
    // Nothing to code: an empty file, or one whose failure waits for its turn.
    if (s.failure || s.bytes.empty()) s.state = CODED;
}

void ReadAhead::codeLeft() {
    for (;;) {
        Slot* s = nullptr;
        {
            // The newest first: this thread and the save's own meet as late as they can.
            std::lock_guard lock(_mutex);
            for (auto it = _window.rbegin(); it != _window.rend() && !s; ++it) {
                int expected = READ;
                if ((*it)->state.compare_exchange_strong(expected, CODING)) s = it->get();
            }
        }
        if (!s) return;
        try {
            s->item = std::make_unique<StgWriteBuffer>(nullptr, stg::FILE_CONTENT);
            _relay.to = s->item.get();
            _lz.reset();
            _lz.put(s->bytes);
            _lz.finish();
        } catch (...) {
            s->failure = std::current_exception();
        }
        {
            // Under the mutex, so that a waiter that found CODING is already asleep.
            std::lock_guard lock(_mutex);
            s->state.store(CODED, std::memory_order_release);
        }
        _coded.notify_one();
    }
}
