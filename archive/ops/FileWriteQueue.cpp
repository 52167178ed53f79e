#include "archive/ops/FileWriteQueue.h"

#include "archive/storage/FileWriter.h"
#include "archive/support/msg.h"

#include <system_error>

namespace {

// Small: a queued file is written with one call straight from its buffer.
constexpr size_t WRITE_BUFFER = 4096;

}  // namespace

FileWriteQueue::FileWriteQueue(bool thread) {
    if (!thread) return;
    try {
        _thread = std::thread([this] { loop(); });
    } catch (std::system_error&) {
        // No thread to be had: the caller writes every file itself.
    }
}

FileWriteQueue::~FileWriteQueue() {
    {
        std::lock_guard lock(_mutex);
        _quit = _skip = true;
    }
    _wake.notify_one();
    if (_thread.joinable()) _thread.join();
}

void FileWriteQueue::write(const File& f) {
    try {
        FileWriter w(f.folder->fd, f.temp, WRITE_BUFFER);
        w.create();
        w.write(f.bytes);
        w.setFileTime(f.mtime);
        if (f.mode) w.setMode(*f.mode);
        if (w.close() != f.crc) throw makeError("Tresmo.exportFile.2");
    } catch (Error& e) {
        throw makeError(std::move(e), "Tresmo.exportFile", f.path);
    }
    if (os::sys().renameat(f.folder->fd, f.temp.c_str(), f.folder->fd, f.name.c_str(),
                           RENAME_NOREPLACE) != 0)
        throw makeError(systemError(), "Tresmo.Export.place", f.path);
}

std::vector<uint8_t> FileWriteQueue::buffer() {
    std::lock_guard lock(_mutex);
    if (_spare.empty()) return {};
    std::vector<uint8_t> b = std::move(_spare.back());
    _spare.pop_back();
    b.clear();
    return b;
}

void FileWriteQueue::recycle(std::vector<uint8_t> bytes) {
    std::lock_guard lock(_mutex);
    if (_spare.size() < MAX_FILES + 2) _spare.push_back(std::move(bytes));
}

bool FileWriteQueue::offer(File& f) {
    {
        std::lock_guard lock(_mutex);
        rethrow();
        if (!_thread.joinable() || _files.size() >= MAX_FILES ||
            static_cast<int64_t>(f.bytes.size()) > MAX_BYTES)
            return false;
        _files.push_back(std::move(f));
    }
    _wake.notify_one();
    return true;
}

void FileWriteQueue::finish() {
    std::unique_lock lock(_mutex);
    _done.wait(lock, [this] { return _files.empty() && !_writing; });
    rethrow();
}

void FileWriteQueue::abandon() {
    std::unique_lock lock(_mutex);
    _skip = true;
    _done.wait(lock, [this] { return _files.empty() && !_writing; });
    _failure = nullptr;
    _skip = false;
}

void FileWriteQueue::rethrow() {
    if (_failure) std::rethrow_exception(_failure);
}

void FileWriteQueue::loop() {
    std::unique_lock lock(_mutex);
    for (;;) {
        _wake.wait(lock, [this] { return _quit || !_files.empty(); });
        if (_files.empty()) return;
        File f = std::move(_files.front());
        _files.pop_front();
        if (!_skip) {
            _writing = true;
            lock.unlock();
            std::exception_ptr failure;
            try {
                write(f);
            } catch (...) {
                failure = std::current_exception();
            }
            f.folder.reset();  // the last holder closes the folder, outside the lock
            lock.lock();
            _writing = false;
            if (failure && !_failure) {
                _failure = failure;
                _skip = true;  // the export fails at its next step and removes its copy
            }
        }
        if (_spare.size() < MAX_FILES + 2) _spare.push_back(std::move(f.bytes));
        if (_files.empty()) _done.notify_all();
    }
}
