// Small restored files written on a second thread while the export restores the next ones.
//
// Most of an export's time goes to the kernel making files, and two threads make them nearly
// twice as fast as one. The export restores each small file into memory and offers it here;
// when the thread has enough to do, the export writes the file itself, so both threads make
// files and the memory held stays bounded (MAX_FILES files of at most MAX_BYTES each).
//
// A file is written under its temporary name in its folder (held open by a shared OpenFolder,
// so the walker may leave the folder meanwhile), gets its time and bits, is checked against its
// CRC-32 and is renamed to its own name: never to replace anything. The first failure stops the
// thread's work; the export meets it at its next offer() or at finish() and removes its whole
// copy, so a file the thread left half made is removed with it.
#pragma once

#include "archive/os/os.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

// A folder descriptor closed when its last user lets go of it.
struct OpenFolder {
    explicit OpenFolder(int f) : fd(f) {}
    ~OpenFolder() { os::closeQuietly(fd); }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    const int fd;
};

class FileWriteQueue {
  public:
    static constexpr size_t MAX_FILES = 32;
    static constexpr int64_t MAX_BYTES = 1 << 20;

    struct File {
        std::shared_ptr<OpenFolder> folder;
        std::string temp;  // created in the folder
        std::string name;  // renamed to
        std::string path;  // as messages show it
        std::vector<uint8_t> bytes;
        int64_t mtime = 0;
        uint32_t crc = 0;
        std::optional<uint32_t> mode;
    };

    // Without a thread, offer() declines every file.
    explicit FileWriteQueue(bool thread);
    ~FileWriteQueue();
    FileWriteQueue(const FileWriteQueue&) = delete;
    FileWriteQueue& operator=(const FileWriteQueue&) = delete;

    // Writes f here and now; throws 2028 (and its causes) or 2043 for the rename, as the
    // export does for a file it streams.
    static void write(const File& f);

    // An empty buffer for a file's bytes, one a written file left when there is.
    std::vector<uint8_t> buffer();
    // Takes f for the thread (true), or leaves it to the caller when the thread has enough or
    // there is none. Throws the thread's first failure, if any.
    bool offer(File& f);
    // Gives a buffer back for the next file.
    void recycle(std::vector<uint8_t> bytes);
    // Returns once every file offered is written; throws the first failure.
    void finish();
    // Returns once the thread has stopped working on what it was offered; failures are dropped
    // (the caller is failing already).
    void abandon();

  private:
    void loop();
    void rethrow();

    std::mutex _mutex;
    std::condition_variable _wake;  // the thread: a file or the end
    std::condition_variable _done;  // the caller: the queue is empty and nothing under way
    std::deque<File> _files;
    std::vector<std::vector<uint8_t>> _spare;
    bool _writing = false;
    bool _quit = false;
    bool _skip = false;  // after a failure or abandon(): files are dropped unwritten
    std::exception_ptr _failure;
    std::thread _thread;
};
