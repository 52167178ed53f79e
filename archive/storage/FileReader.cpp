#include "archive/storage/FileReader.h"

#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/support/msg.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

int64_t truncatedSeconds(const struct timespec& t) {
    return t.tv_sec < 0 && t.tv_nsec > 0 ? t.tv_sec + 1 : t.tv_sec;
}

FileReader::FileReader(std::string path, size_t bufSize)
    : ByteSource(bufSize), _path(std::move(path)) {
    // An empty buffer could never take a byte: every file would read as empty.
    VERIFY(bufSize > 0);
}

FileReader::~FileReader() {
    if (_fd >= 0) os::closeQuietly(_fd);
}

void FileReader::open() {
    // O_NONBLOCK: a fifo put where the file was must not block the open; regular files ignore
    // it. O_NOFOLLOW: a symbolic link is never read through.
    int fd =
        os::openLocked(_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, os::Lock::Exclusive);
    if (fd < 0) throw makeError(systemError(), "FileReader.open.1");
    _fd = fd;
    struct stat st;
    if (os::sys().fstat(_fd, &st) != 0) throw makeError(systemError(), "FileReader.open.2");
    if (!S_ISREG(st.st_mode))
        throw makeError(systemError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL), "FileReader.open.1");
    if (st.st_size > MAX_SIZE) throw makeError(systemError(EFBIG), "FileReader.open.3");
    _size = static_cast<uint32_t>(st.st_size);
    _mtime = truncatedSeconds(st.st_mtim);
    _openMtim = st.st_mtim;
    _openCtim = st.st_ctim;
    _crc = crc32::init();
    _consumed = _len = _readPos = 0;
    _changed = _ended = false;
    fill();
}

void FileReader::fill() {
    if (_ended) return;
    size_t n = _bufSize - _len;
    uint64_t left = _size - _consumed - _len;
    if (n > left) n = static_cast<size_t>(left);
    if (n > 0) {
        ssize_t got = os::readFull(_fd, _buf.get() + _len, n);
        if (got < 0) throw makeError(systemError(), "FileReader.fill");
        _crc = crc32::update(_crc, _buf.get() + _len, static_cast<size_t>(got));
        _len += static_cast<size_t>(got);
        if (static_cast<size_t>(got) < n) {
            // Ended before the size seen at open: someone truncated or replaced the content.
            _changed = true;
            _ended = true;
            return;
        }
    }
    if (_consumed + _len == _size) {
        _ended = true;
        checkUnchanged();
    }
}

void FileReader::checkUnchanged() {
    struct stat st;
    if (os::sys().fstat(_fd, &st) != 0) throw makeError(systemError(), "FileReader.fill");
    // The change time catches a rewrite that put the old modification time back.
    if (st.st_size != static_cast<off_t>(_size) || st.st_mtim.tv_sec != _openMtim.tv_sec ||
        st.st_mtim.tv_nsec != _openMtim.tv_nsec || st.st_ctim.tv_sec != _openCtim.tv_sec ||
        st.st_ctim.tv_nsec != _openCtim.tv_nsec)
        _changed = true;
}

void FileReader::shift(size_t n) {
    VERIFY(n <= _len);
    std::memmove(_buf.get(), _buf.get() + n, _len - n);
    _consumed += n;
    _len -= n;
    fill();
}

bool FileReader::getByte(uint8_t& out) {
    if (_len == 0) return false;
    if (_readPos == _len) {
        shift(_len);
        if (_len == 0) return false;
        _readPos = 0;
    }
    out = _buf[_readPos++];
    return true;
}

uint32_t FileReader::close() {
    if (_fd >= 0) os::closeQuietly(_fd);
    _fd = -1;
    return crc32::finalize(_crc);
}
