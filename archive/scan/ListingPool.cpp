#include "archive/scan/ListingPool.h"

#include "archive/support/cfg.h"
#include "archive/support/paths.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace {

// Threads that list folders ahead of the scan; 0 lists each folder when the scan enters it.
const int32_t* listThreads = intSetting("FileFinder.listThreads", 2, 0, 8);

// What a listing counts for against the pool's limit: an empty folder costs its record too.
size_t weight(const std::vector<os::DirEntry>& entries) {
    return entries.size() + 1;
}

}  // namespace

int listSorted(const std::string& dir, std::vector<os::DirEntry>& out) {
    if (os::sys().listDir(dir.c_str(), out) != 0) return errno ? errno : EIO;
    std::sort(out.begin(), out.end(), [](const os::DirEntry& a, const os::DirEntry& b) {
        int r = compareNames(a.name, b.name);
        return r != 0 ? r < 0 : a.name < b.name;
    });
    return 0;
}

ListingPool::ListingPool() : ListingPool(os::sys().sharedByThreads() ? *listThreads : 0) {}

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

bool ListingPool::start() {
    // Threads start when there is work for them: most listings of a live view are one folder.
    while (static_cast<int>(_running.size()) < _threads) {
        try {
            _running.emplace_back([this] { loop(); });
        } catch (const std::system_error&) {
            break;  // fewer threads; with none, take() lists every folder itself
        }
    }
    return !_running.empty();
}

void ListingPool::queueFront(const std::vector<std::string>& dirs) {
    for (auto it = dirs.rbegin(); it != dirs.rend(); ++it) {
        auto job = std::make_shared<Job>();
        job->dir = *it;
        if (_jobs.emplace(*it, job).second) _queue.push_front(std::move(job));
    }
}

void ListingPool::prefetch(const std::vector<std::string>& dirs) {
    if (dirs.empty() || !start()) return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        queueFront(dirs);
    }
    _work.notify_all();
}

void ListingPool::crawl(const std::string& root, EnterFn enter) {
    if (!start()) return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _enter = std::move(enter);
        queueFront({root});
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
        const bool crawling = static_cast<bool>(_enter);  // set once, by crawl()
        lock.unlock();
        std::vector<os::DirEntry> entries;
        int err = listSorted(job->dir, entries);
        std::vector<std::string> subfolders;
        if (crawling && !err) {
            char path[MAX_PATH];
            for (const os::DirEntry& e : entries)
                if (e.type == os::DirEntry::Type::Dir && _enter(job->dir, e) &&
                    buildFilePath(path, sizeof path, job->dir.c_str(), e.name.c_str()))
                    subfolders.emplace_back(path);
        }
        lock.lock();
        job->err = err;
        job->entries = std::move(entries);
        job->done = true;
        if (!job->dropped) {
            _ready += weight(job->entries);
            queueFront(subfolders);
        }
        _done.notify_all();
        if (!subfolders.empty()) _work.notify_all();
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
                _ready -= weight(job->entries);
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
    auto forget = [this](std::unordered_map<std::string, std::shared_ptr<Job>>::iterator it) {
        // A job under way finishes into its own record, which nothing reads any more.
        Job& job = *it->second;
        if (!job.started) _queue.erase(std::find(_queue.begin(), _queue.end(), it->second));
        if (job.done) _ready -= weight(job.entries);
        job.dropped = true;
        return _jobs.erase(it);
    };
    for (const std::string& d : dirs) {
        auto it = _jobs.find(d);
        if (it == _jobs.end()) continue;
        forget(it);
        if (!_enter) continue;
        // The crawl went on beneath it; nothing there will be asked for.
        const std::string prefix = d + '/';
        for (auto j = _jobs.begin(); j != _jobs.end();)
            j = j->first.starts_with(prefix) ? forget(j) : std::next(j);
    }
}
