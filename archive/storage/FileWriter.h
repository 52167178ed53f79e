// Buffered writing of one file, whole, when a stored version is restored.
//
// The file is created or emptied and held exclusively (flock LOCK_EX|LOCK_NB; it is emptied
// only once the lock is ours, so a refused open leaves another holder's file untouched). A
// symbolic link in the last component is never written through (O_NOFOLLOW); the second
// constructor opens a name relative to a folder descriptor the same way, so an export can walk
// its target with descriptors and never leave it.
//
// create() instead makes a new file in a folder its caller made for the purpose, whose names
// nobody else knows: O_EXCL, and no lock to take.
//
// setFileTime() and setMode() only record the time and the permission bits; close() sets them
// on the open file after the last write, because a write after setting the time would move it
// again. close() returns the CRC-32 of every byte written.
//
// Failures are thrown as Error 3500 (open) and 3501 (write, setting the time, closing) with the
// system error as cause. A destroyed writer that was not closed drops what is still buffered;
// the file is left as far as it was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

class FileWriter {
  public:
    FileWriter(std::string path, size_t bufSize);
    // Opens `name` inside the folder open as `dirFd` (not owned; it must stay open until open()).
    FileWriter(int dirFd, std::string name, size_t bufSize);
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Creates the file or empties an existing one; with fresh, only creates (EEXIST otherwise).
    void open(bool fresh = false);
    // Creates the file, which must not exist (EEXIST otherwise), without a lock.
    void create();
    void putByte(uint8_t b) {
        if (_len == _bufSize) flush();
        _buf[_len++] = b;
    }
    void write(std::span<const uint8_t> bytes);
    // Seconds since 1970 UTC, for the modification and access times; applied by close().
    void setFileTime(int64_t seconds) { _time = seconds; }
    // Permission bits (07777) for close() to set.
    void setMode(uint32_t mode) { _mode = mode; }
    // Writes what is buffered, sets the time and closes; returns the CRC-32 of all bytes.
    uint32_t close();

  private:
    void flush();

    std::string _path;
    int _dirFd = -1;
    int _fd = -1;
    uint32_t _crc = 0;
    size_t _bufSize;
    std::unique_ptr<uint8_t[]> _buf;
    size_t _len = 0;
    std::optional<int64_t> _time;
    std::optional<uint32_t> _mode;
};
