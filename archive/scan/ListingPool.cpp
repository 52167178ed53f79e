#include "archive/scan/ListingPool.h"

#include "archive/support/paths.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

int listSorted(const std::string& dir, std::vector<os::DirEntry>& out) {
    if (os::sys().listDir(dir.c_str(), out) != 0) return errno ? errno : EIO;
    std::sort(out.begin(), out.end(), [](const os::DirEntry& a, const os::DirEntry& b) {
        int r = compareNames(a.name, b.name);
        return r != 0 ? r < 0 : a.name < b.name;
    });
    return 0;
}

ListingPool::~ListingPool() {
    stop();
}

void ListingPool::stop() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
        _queue.clear();
    }
    _work.notify_all();
    for (std::thread& t : _running)
        t.join();
    _running.clear();
}

void ListingPool::prefetch(const std::vector<std::string>& dirs) {
    if (dirs.empty()) return;
    // Threads start when there is work for them: most listings of a live view are one folder.
    while (static_cast<int>(_running.size()) < _threads) {
        try {
            _running.emplace_back([this] { loop(); });
        } catch (const std::system_error&) {
            break;  // fewer threads; with none, take() lists every folder itself
        }
    }
    if (_running.empty()) return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
            auto job = std::make_shared<Job>();
            job->dir = *it;
            if (_jobs.emplace(*it, job).second) _queue.push_front(std::move(job));
        }
    }
    _work.notify_all();
}

void ListingPool::loop() {
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        _work.wait(lock, [this] { return _stopping || (!_queue.empty() && _ready < MAX_READY); });
        if (_stopping) return;
        std::shared_ptr<Job> job = std::move(_queue.front());
        _queue.pop_front();
        job->started = true;
        lock.unlock();
        std::vector<os::DirEntry> entries;
        int err = listSorted(job->dir, entries);
        lock.lock();
        job->err = err;
        job->entries = std::move(entries);
        job->done = true;
        if (!job->dropped) ++_ready;
        _done.notify_all();
    }
}

int ListingPool::take(const std::string& dir, std::vector<os::DirEntry>& out) {
    std::shared_ptr<Job> job;
    {
        std::unique_lock<std::mutex> lock(_mutex);
        auto it = _jobs.find(dir);
        if (it != _jobs.end()) {
            job = std::move(it->second);
            _jobs.erase(it);
            if (!job->started) {
                // Not begun (the threads may be paused at MAX_READY): listed here instead.
                _queue.erase(std::find(_queue.begin(), _queue.end(), job));
                job.reset();
            } else {
                _done.wait(lock, [&] { return job->done; });
                --_ready;
            }
        }
    }
    if (!job) return listSorted(dir, out);
    _work.notify_one();  // a listing fewer is waiting to be taken
    out = std::move(job->entries);
    return job->err;
}

void ListingPool::drop(const std::vector<std::string>& dirs) {
    if (_running.empty() || dirs.empty()) return;
    std::lock_guard<std::mutex> lock(_mutex);
    for (const std::string& d : dirs) {
        auto it = _jobs.find(d);
        if (it == _jobs.end()) continue;
        // A job under way finishes into its own record, which nothing reads any more.
        Job& job = *it->second;
        if (!job.started) _queue.erase(std::find(_queue.begin(), _queue.end(), it->second));
        if (job.done) --_ready;
        job.dropped = true;
        _jobs.erase(it);
    }
}
