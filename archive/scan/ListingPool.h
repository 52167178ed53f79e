// Folder listings made ahead on a few threads while the scan walks the tree on its own thread.
//
// Most of a scan of an unchanged folder is the kernel's work of one stat per entry; a second
// core does half of it. The scan still visits folders one at a time in name order and takes
// each listing from here, so what it reports, and the order of its warnings, are exactly those
// of a scan that lists every folder itself. Folders asked for later are listed first: they are
// the subfolders of the folder the scan has just entered, the next ones it will need.
//
// A listing is os::listDir sorted in the tree's name order, the same whether it is made here
// or on the scanning thread.
//
// A pool may also crawl: list a folder and, as each listing is made, the subfolders it holds,
// before the scan asks for them. A refresh starts that while it loads the archive, so the
// kernel's work has begun when the scan comes to it.
#pragma once

#include "archive/os/os.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

// Lists dir and sorts the entries in the tree's name order; among names equal but for case the
// first by bytes comes first, so the one a scan keeps never depends on the system's order.
// Returns 0, or the errno of the failure.
int listSorted(const std::string& dir, std::vector<os::DirEntry>& out);

class ListingPool {
  public:
    // Up to threads listing threads, started with the first prefetch; 0 lists everything on
    // the caller's thread.
    explicit ListingPool(int threads) : _threads(threads) {}
    // A pool of the threads the settings give, none where the system layer is not to be
    // shared by threads.
    ListingPool();
    ~ListingPool();
    ListingPool(const ListingPool&) = delete;
    ListingPool& operator=(const ListingPool&) = delete;

    // Lists dirs ahead, before whatever was asked for earlier, the first of them first.
    void prefetch(const std::vector<std::string>& dirs);
    // The listing of dir as listSorted gives it: made by a thread when dir was asked for
    // (waiting until it is), made here otherwise. Returns 0 or the errno of the failure.
    int take(const std::string& dir, std::vector<os::DirEntry>& out);
    // Forgets dirs asked for and never taken (folders the scan decided not to enter), and
    // what the crawl listed beneath them.
    void drop(const std::vector<std::string>& dirs);
    // Lists root ahead and, from then on, with each listing the subfolders of it that enter
    // takes (called on the listing threads), before their siblings' listings. Once per pool.
    using EnterFn = std::function<bool(const std::string& dir, const os::DirEntry& entry)>;
    void crawl(const std::string& root, EnterFn enter);

  private:
    struct Job {
        std::string dir;
        bool started = false;
        bool done = false;
        bool dropped = false;  // forgotten while under way: never counted as ready
        int err = 0;
        std::vector<os::DirEntry> entries;
    };
    void loop();
    void stop();
    bool start();
    // Queues dirs ahead of the queue, the first of them first; under the lock.
    void queueFront(const std::vector<std::string>& dirs);

    const int _threads;
    std::vector<std::thread> _running;
    std::mutex _mutex;
    std::condition_variable _work;  // a job was queued or taken, or the pool stops
    std::condition_variable _done;  // a job was finished
    std::deque<std::shared_ptr<Job>> _queue;
    std::unordered_map<std::string, std::shared_ptr<Job>> _jobs;  // asked for, not yet taken
    // Entries of the listings made and not yet taken. The threads pause at MAX_READY, so a
    // tree is not held in memory whole ahead of the scan (the listing under way still ends).
    static constexpr size_t MAX_READY = 65536;
    size_t _ready = 0;
    bool _stopping = false;
    EnterFn _enter;  // while crawling
};
