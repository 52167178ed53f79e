#include "archive/storage/LinkReader.h"

#include "archive/os/os.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/support/msg.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool sameStamp(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

void LinkReader::open() {
    struct stat before, after;
    if (os::sys().lstat(_path.c_str(), &before) != 0)
        throw makeError(systemError(), "FileReader.open.1");
    if (!S_ISLNK(before.st_mode)) throw makeError(systemError(EINVAL), "FileReader.open.1");
    const ssize_t got = os::sys().readlinkat(AT_FDCWD, _path.c_str(),
                                             reinterpret_cast<char*>(_buf.get()), _bufSize);
    if (got < 0) throw makeError(systemError(), "FileReader.fill");
    _len = static_cast<size_t>(got);
    _size = static_cast<uint32_t>(got);
    _mtime = truncatedSeconds(before.st_mtim);
    _crc = crc32::update(crc32::init(), _buf.get(), _len);
    // A link retargeted between the two looks (or one whose target filled the buffer, which
    // may be cut) is not the one measured.
    _changed = os::sys().lstat(_path.c_str(), &after) != 0 || !S_ISLNK(after.st_mode) ||
               after.st_size != before.st_size || after.st_size != got ||
               !sameStamp(after.st_mtim, before.st_mtim) ||
               !sameStamp(after.st_ctim, before.st_ctim) || _len == _bufSize;
}

void LinkReader::shift(size_t n) {
    VERIFY(n <= _len);
    std::memmove(_buf.get(), _buf.get() + n, _len - n);
    _len -= n;
}

uint32_t LinkReader::close() {
    return crc32::finalize(_crc);
}
