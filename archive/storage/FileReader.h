// Buffered reading of one watched file, whole and front to back, when a version of it is stored.
//
// The file is opened exclusively (O_NOFOLLOW, then flock LOCK_EX|LOCK_NB: a second opener
// fails as a sharing violation does) and measured once: size() and mtime() are the values at
// open(), and no byte beyond that size is ever delivered, even if the file grows. The CRC-32
// that close() returns covers exactly the bytes that were read from the file.
//
// A file that another program changes while we read it would give a torn copy whose CRC
// agrees with itself. The reader therefore watches for that and reports it through
// changedWhileRead(), never by throwing and never as a verification failure:
//  - the file ends before the size seen at open (a short read): reading stops there, so
//    getByte() and the bulk access end early;
//  - once the last byte of the measured size has been read, the file is measured again:
//    a different size, modification time (nanoseconds) or change time means that the bytes
//    we hold may mix two contents. A file that changes only after every byte has been read
//    is not reported: what we hold is then the whole content it had.
// The caller that stores the content must check changedWhileRead() after it has read to the
// end and before it commits anything (importFile turns it into 2022, importDiff into 2024).
//
// Failures are thrown as Error 3600-3604 with the system error as cause; afterwards the object
// can only be destroyed.
#pragma once

#include "archive/storage/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

class FileReader final : public ByteSource {
  public:
    // The largest file accepted (1 GiB); one byte more fails with 3602.
    static constexpr int64_t MAX_SIZE = 1073741824;

    FileReader(std::string path, size_t bufSize);
    ~FileReader() override;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens and measures the file and fills the buffer.
    void open() override;
    // False at the end of the file (or where a concurrent change cut it short).
    bool getByte(uint8_t& out);

    // Bulk access (see ByteSource); mtime() is truncated toward zero, changedWhileRead() as
    // the class comment says.
    void shift(size_t n) override;

    // Closes the file and returns the CRC-32 of every byte read.
    uint32_t close() override;

  private:
    void fill();
    void checkUnchanged();

    std::string _path;
    int _fd = -1;
    uint32_t _crc = 0;
    uint64_t _consumed = 0;
    size_t _readPos = 0;
    bool _ended = false;  // no further read: the measured size is in, or the file ended early
    struct timespec _openMtim = {};
    struct timespec _openCtim = {};
};

// Seconds of a file time stamp, truncated toward zero (a time before 1970 with a fraction
// rounds up, not down as tv_sec alone would).
int64_t truncatedSeconds(const struct timespec& t);
