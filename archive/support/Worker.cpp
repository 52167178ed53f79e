#include "archive/support/Worker.h"

#include <system_error>
#include <utility>

template <class Pred>
void Worker::spinUntil(Pred done) const {
    auto deadline = std::chrono::steady_clock::now() + _spin;
    for (unsigned i = 1; !done(); ++i) {
        cpuRelax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() > deadline) return;
    }
}

bool Worker::start(std::function<void()> job) {
    if (!_thread.joinable()) {
        try {
            _thread = std::thread(&Worker::loop, this);
        } catch (const std::system_error&) {
            return false;
        }
    }
    {
        std::lock_guard lock(_mutex);
        _job = std::move(job);
        _busy = true;
    }
    _wake.notify_all();
    return true;
}

void Worker::wait() {
    std::unique_lock taken(_mutex);
    if (_busy && _job) {
        std::function<void()> job = std::exchange(_job, nullptr);
        _busy = false;
        taken.unlock();
        job();
        return;
    }
    taken.unlock();
    spinUntil([this] { return !_busy.load(std::memory_order_acquire); });
    std::unique_lock lock(_mutex);
    _wake.wait(lock, [this] { return !_busy; });
    if (_failure) std::rethrow_exception(std::exchange(_failure, nullptr));
}

void Worker::stop() {
    if (!_thread.joinable()) return;
    {
        std::unique_lock lock(_mutex);
        _wake.wait(lock, [this] { return !_busy; });
        _quit = true;
    }
    _wake.notify_all();
    _thread.join();
    _quit = false;
    _failure = nullptr;
}

void Worker::loop() {
    for (;;) {
        spinUntil([this] {
            return _busy.load(std::memory_order_acquire) || _quit.load(std::memory_order_acquire);
        });
        std::function<void()> job;
        {
            std::unique_lock lock(_mutex);
            _wake.wait(lock, [this] { return _busy || _quit; });
            if (!_busy) return;
            job = std::exchange(_job, nullptr);
        }
        std::exception_ptr failure;
        try {
            job();
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard lock(_mutex);
            _failure = failure;
            _busy = false;
        }
        _wake.notify_all();
    }
}
