#include "archive/storage/StgFile.h"

#include "archive/os/os.h"
#include "archive/support/Progress.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <vector>

StgFile::StgFile(std::string path, int32_t type, int32_t version)
    : _path(std::move(path)), _type(type * 100 + 20), _vers(version * 100 + 10) {}

StgFile::~StgFile() {
    if (_fd >= 0) os::sys().close(_fd);
}

namespace {

std::string folderOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : path.substr(0, slash);
}

}  // namespace

bool StgFile::startsWithHeader(const std::string& path, int32_t type) {
    int fd = os::sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
    if (fd < 0) return false;
    char h[FILE_HEADER_LEN];
    const bool whole = os::readFull(fd, h, sizeof h) == static_cast<ssize_t>(sizeof h);
    os::closeQuietly(fd);
    char want[24];
    std::snprintf(want, sizeof want, "$$**%04d", type * 100 + 20);
    return whole && std::equal(want, want + 8, h);
}

void StgFile::createFile() {
    // The file gets its name only once its header is durable: a crash while it is written
    // leaves no file rather than one whose header is torn, which would never load.
    std::string tmp = _path + ".new~";
    int fd =
        os::sys().open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) throw makeError(systemError(), "StgFile.open.1");
    char text[FILE_HEADER_LEN + 1];
    int n = std::snprintf(text, sizeof text, "$$**%04d%04d", _type, _vers);
    VERIFY(n == static_cast<int>(FILE_HEADER_LEN));
    bool ok = os::writeFull(fd, text, FILE_HEADER_LEN) && os::syncFile(fd);
    if (!ok) os::closeQuietly(fd);
    if (!ok || os::sys().close(fd) != 0 || os::sys().rename(tmp.c_str(), _path.c_str()) != 0) {
        Error e = makeError(systemError(), "StgFile.open.1");
        os::sys().unlink(tmp.c_str());
        throw e;
    }
    if (!os::syncDir(folderOf(_path))) throw makeError(systemError(), "StgFile.commit.2");
}

int StgFile::lockFile(Access access) {
    const bool write = access == Access::Write;
    const os::Lock lock = write ? os::Lock::Exclusive : os::Lock::Shared;
    // A few rounds: each one means another program replaced the file while we waited.
    for (int round = 0; round < 10; ++round) {
        int fd = os::openPatiently(_path.c_str(), write ? O_RDWR : O_RDONLY, 0, lock);
        if (fd < 0 && errno == ENOENT && write) {
            createFile();
            fd = os::openPatiently(_path.c_str(), O_RDWR, 0, lock);
        }
        if (fd < 0 && errno == EWOULDBLOCK)
            throw makeError(makeError("StgFile.open.busy", _path), "StgFile.open.1");
        if (fd < 0) throw makeError(systemError(), "StgFile.open.1");
        struct stat held, named;
        if (os::sys().fstat(fd, &held) == 0 && os::sys().stat(_path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return fd;
        os::closeQuietly(fd);
    }
    throw makeError("StgFile.open.4");
}

void StgFile::open(Access access) {
    VERIFY(_a == _b);
    if (_fd < 0) _fd = lockFile(access);
    struct stat st;
    if (os::sys().fstat(_fd, &st) != 0) throw makeError(systemError(), "StgFile.open.2");
    uint64_t size = static_cast<uint64_t>(st.st_size);
    // From here on, whatever fails, nothing cuts below what is there now.
    _floor = size;
    if (size > SIZE_LIMIT) throw makeError("StgFile.open.3");
    bool same =
        _dev == static_cast<uint64_t>(st.st_dev) && _ino == static_cast<uint64_t>(st.st_ino);
    if (_a == 0) {
        _a = _b = _found = size;
        _dev = static_cast<uint64_t>(st.st_dev);
        _ino = static_cast<uint64_t>(st.st_ino);
        if (size == 0 && access == Access::Write) {
            // An empty file made by someone else: its name is already there.
            writeFileHeader();
        } else {
            readFileHeader();
        }
        _startLen = static_cast<uint32_t>(read(0, _start, std::min<uint64_t>(size, START_LEN)));
    } else if (!same || size < _a || !sameStart()) {
        throw makeError("StgFile.open.4");
    } else {
        _found = size;
    }
}

bool StgFile::sameStart() {
    // Only committed bytes never change; past them a tail may have been cut and written anew.
    const size_t n = static_cast<size_t>(std::min<uint64_t>(_a, _startLen));
    uint8_t now[START_LEN];
    return read(0, now, n) == n && std::equal(now, now + n, _start);
}

void StgFile::adopt(uint64_t end) {
    VERIFY(_fd >= 0 && _a == _b && end >= _a && end <= _found);
    _a = _b = end;
    _tail = _found - end;
}

void StgFile::close() {
    VERIFY(_a == _b);
    if (_fd >= 0) {
        // Closing also drops the lock. A failing close has nothing left to lose: every
        // commit was synced before it returned.
        os::sys().close(_fd);
        _fd = -1;
    }
}

size_t StgFile::read(uint64_t pos, void* buf, size_t count) {
    if (count == 0) return 0;
    // Nothing can be stored beyond the limit; reading there is reading past the end.
    if (pos >= SIZE_LIMIT) return 0;
    ssize_t n = os::preadFull(_fd, buf, count, static_cast<off_t>(pos));
    if (n < 0) throw makeError(systemError(), "StgFile.read.2");
    return static_cast<size_t>(n);
}

void StgFile::write(uint64_t pos, const void* buf, size_t count) {
    if (pos > SIZE_LIMIT || SIZE_LIMIT - pos < count) throw makeError("StgFile.write.1");
    if (!os::pwriteFull(_fd, buf, count, static_cast<off_t>(pos)))
        throw makeError(systemError(), "StgFile.write.3");
}

void StgFile::append(const void* buf, size_t count) {
    write(_b, buf, count);
    _b += count;
}

void StgFile::reserveLink() {
    VERIFY(_a == _b && _tail == 0);
    static const uint8_t placeholder[LINK_LEN] = {};
    append(placeholder, LINK_LEN);
    _linkPending = false;
}

void StgFile::writeLink(const uint8_t* link) {
    // The link is what makes a transaction reachable, so it goes to disk only after everything
    // it points at (see commit).
    std::copy(link, link + LINK_LEN, _link);
    _linkPending = true;
}

void StgFile::makeDurable() {
    if (!os::syncFile(_fd)) throw makeError(systemError(), "StgFile.commit.2");
}

void StgFile::rewind(uint64_t pos) {
    VERIFY(_fd >= 0 && pos >= _a && pos <= _b);
    if (os::sys().ftruncate(_fd, static_cast<off_t>(std::max(pos, _floor))) != 0)
        throw makeError(systemError(), "StgFile.commit.2");
    _b = pos;
}

void StgFile::commit() {
    if (_linkPending) {
        makeDurable();
        write(_a, _link, LINK_LEN);
        _linkPending = false;
    }
    if (os::sys().ftruncate(_fd, static_cast<off_t>(_b)) != 0)
        throw makeError(systemError(), "StgFile.commit.2");
    makeDurable();
    _a = _found = _b;
}

void StgFile::rollback() {
    if (_fd < 0) return;
    _linkPending = false;
    _b = _a;
    // Cutting back needs no sync: bytes beyond the committed end are never read as part of
    // the archive, whether or not the cut reached the disk. A kept tail stays: nothing can
    // have been written after it (reserveLink refuses), and only cutTail removes it. Nor does
    // anything go that was there when the file was opened.
    uint64_t keep = std::max(_b + _tail, _floor);
    if (os::sys().ftruncate(_fd, static_cast<off_t>(keep)) != 0) {
        Error e = makeError(systemError(), "StgFile.commit.2");
        // What could not be cut stays a tail, so the next open accepts the file and the next
        // save moves it aside.
        struct stat st;
        if (os::sys().fstat(_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > _a + _tail)
            _tail = static_cast<uint64_t>(st.st_size) - _a;
        throw e;
    }
}

void StgFile::keepTail(uint64_t end) {
    VERIFY(_fd >= 0 && _a == _b && end <= _a);
    _tail += _a - end;
    _a = _b = end;
}

std::string StgFile::cutTail(const std::string& sidePath, Progress* progress) {
    VERIFY(_fd >= 0 && _a == _b);
    if (_tail == 0) return std::string();
    // A failed save may have left a whole copy under this name a moment ago; it is kept, and
    // a retry within the same second must still get a file of its own.
    std::string side = sidePath;
    int out = os::sys().open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    for (int i = 2; out < 0 && errno == EEXIST && i <= 100; ++i) {
        side = sidePath + "-" + std::to_string(i);
        out = os::sys().open(side.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (out < 0) throw makeError(systemError(), "StgFile.recover.2", side);
    auto fail = [&](Error cause) {
        os::closeQuietly(out);
        os::sys().unlink(side.c_str());
        return makeError(std::move(cause), "StgFile.recover.2", side);
    };
    // A stop asked for before the copy is complete removes it and cuts nothing.
    auto checkCancel = [&] {
        try {
            if (progress) progress->checkCancel();
        } catch (Error& e) {
            throw fail(std::move(e));
        }
    };
    std::vector<uint8_t> chunk(std::min<uint64_t>(_tail, 65536));
    for (uint64_t done = 0; done < _tail;) {
        checkCancel();
        size_t n = static_cast<size_t>(std::min<uint64_t>(_tail - done, chunk.size()));
        size_t got;
        try {
            got = read(_a + done, chunk.data(), n);
        } catch (Error& e) {
            throw fail(std::move(e));
        }
        if (got != n) {
            errno = EIO;
            throw fail(systemError());
        }
        if (!os::writeFull(out, chunk.data(), n)) throw fail(systemError());
        done += n;
    }
    checkCancel();
    if (!os::syncFile(out)) throw fail(systemError());
    // The copy's bytes are on disk from here: a failing close or folder sync leaves it whole
    // (and the tail in place), so it stays.
    if (os::sys().close(out) != 0 || !os::syncDir(folderOf(side)))
        throw makeError(systemError(), "StgFile.recover.2", side);
    // Only once the copy is durable may the bytes go.
    if (os::sys().ftruncate(_fd, static_cast<off_t>(_a)) != 0)
        throw makeError(systemError(), "StgFile.commit.2");
    _tail = 0;
    _floor = _found = _a;
    makeDurable();
    return side;
}

void StgFile::writeFileHeader() {
    char text[FILE_HEADER_LEN + 1];
    int n = std::snprintf(text, sizeof text, "$$**%04d%04d", _type, _vers);
    VERIFY(n == static_cast<int>(FILE_HEADER_LEN));
    append(text, FILE_HEADER_LEN);
    commit();
}

void StgFile::readFileHeader() {
    uint8_t h[FILE_HEADER_LEN];
    if (read(0, h, FILE_HEADER_LEN) < FILE_HEADER_LEN) throw makeError("StgFile.readFileHeader.1");
    static const char TEMPLATE[] = "$$**00000000";
    int32_t numbers[2] = {0, 0};
    int digits = 0;
    for (uint32_t i = 0; i < FILE_HEADER_LEN; ++i) {
        if (TEMPLATE[i] == '0') {
            if (h[i] < '0' || h[i] > '9') throw makeError("StgFile.readFileHeader.2");
            int32_t& v = numbers[digits++ / 4];
            v = v * 10 + (h[i] - '0');
        } else if (h[i] != static_cast<uint8_t>(TEMPLATE[i])) {
            throw makeError("StgFile.readFileHeader.3");
        }
    }
    int32_t type = numbers[0];
    int32_t v = numbers[1];
    if (type != _type) throw makeError("StgFile.readFileHeader.4", type);
    // The storage layer's part (last two digits) and the caller's part are each compared on
    // their own: a file is readable when neither part is newer than ours.
    if (v % 100 > _vers % 100 || v / 100 > _vers / 100)
        throw makeError("StgFile.readFileHeader.5", v);
    _vers = v;
}
