#include "archive/storage/FileWriter.h"

#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

FileWriter::FileWriter(std::string path, size_t bufSize)
    : _path(std::move(path)), _bufSize(bufSize), _buf(new uint8_t[bufSize]) {
    VERIFY(bufSize > 0);
}

FileWriter::FileWriter(int dirFd, std::string name, size_t bufSize)
    : FileWriter(std::move(name), bufSize) {
    _dirFd = dirFd;
}

FileWriter::~FileWriter() {
    if (_fd >= 0) os::closeQuietly(_fd);
}

void FileWriter::open(bool fresh) {
    // Not O_TRUNC: the file is emptied only once the lock is ours.
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (fresh ? O_EXCL : 0);
    int fd = os::openLocked(_path.c_str(), flags, 0666, os::Lock::Exclusive, 0,
                            _dirFd >= 0 ? _dirFd : AT_FDCWD);
    if (fd < 0) throw makeError(systemError(), "FileWriter.open");
    struct stat st;
    if (os::sys().fstat(fd, &st) != 0) {
        Error e = systemError();
        os::closeQuietly(fd);
        throw makeError(std::move(e), "FileWriter.open");
    }
    // O_NONBLOCK kept a fifo from blocking the open; anything but a regular file is refused.
    if (!S_ISREG(st.st_mode)) {
        os::closeQuietly(fd);
        throw makeError(systemError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL), "FileWriter.open");
    }
    // A file just created is empty already, and truncating it anyway makes its close slow.
    if (st.st_size > 0 && os::sys().ftruncate(fd, 0) != 0) {
        Error e = systemError();
        os::closeQuietly(fd);
        throw makeError(std::move(e), "FileWriter.open");
    }
    _fd = fd;
    _crc = crc32::init();
    _len = 0;
}

void FileWriter::create() {
    int fd = os::sys().openat(_dirFd >= 0 ? _dirFd : AT_FDCWD, _path.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) throw makeError(systemError(), "FileWriter.open");
    _fd = fd;
    _crc = crc32::init();
    _len = 0;
}

void FileWriter::flush() {
    if (!os::writeFull(_fd, _buf.get(), _len)) throw makeError(systemError(), "FileWriter.flush");
    _crc = crc32::update(_crc, _buf.get(), _len);
    _len = 0;
}

void FileWriter::write(std::span<const uint8_t> bytes) {
    if (_len == 0 && bytes.size() >= _bufSize) {  // straight from the caller's memory
        if (!os::writeFull(_fd, bytes.data(), bytes.size()))
            throw makeError(systemError(), "FileWriter.flush");
        _crc = crc32::update(_crc, bytes.data(), bytes.size());
        return;
    }
    while (!bytes.empty()) {
        if (_len == _bufSize) flush();
        size_t n = std::min(bytes.size(), _bufSize - _len);
        std::memcpy(_buf.get() + _len, bytes.data(), n);
        _len += n;
        bytes = bytes.subspan(n);
    }
}

uint32_t FileWriter::close() {
    if (_fd < 0) return crc32::finalize(_crc);
    if (_len > 0) flush();
    if (_mode && os::sys().fchmod(_fd, *_mode) != 0)
        throw makeError(systemError(), "FileWriter.flush");
    if (_time) {
        const struct timespec times[2] = {{static_cast<time_t>(*_time), 0},
                                          {static_cast<time_t>(*_time), 0}};
        if (os::sys().futimens(_fd, times) != 0) throw makeError(systemError(), "FileWriter.flush");
    }
    int fd = _fd;
    _fd = -1;
    // Some file systems report a failed write only here.
    if (os::sys().close(fd) != 0) throw makeError(systemError(), "FileWriter.flush");
    return crc32::finalize(_crc);
}
