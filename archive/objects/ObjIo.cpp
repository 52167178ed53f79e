#include "archive/objects/ObjIo.h"

#include "archive/os/os.h"
#include "archive/support/NumberFormat.h"
#include "archive/support/msg.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>

namespace {

constexpr int FILE_HEADER_LEN = 12;

std::string folderOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The object file's lock: -1 and nothing held when there is no lock file and it was not to be
// made (a reader in a folder it may not write: no writer can replace the file there either).
int lockObjFile(const std::string& path, bool writer) {
    std::string lockPath = path + ".lock";
    int fd = os::openPatiently(lockPath.c_str(),
                               writer ? O_RDWR | O_CREAT | O_NOFOLLOW : O_RDONLY | O_NOFOLLOW, 0644,
                               writer ? os::Lock::Exclusive : os::Lock::Shared);
    if (fd >= 0 || (!writer && errno != EWOULDBLOCK)) return fd;
    const char* id = writer ? "ObjFileWriter.open" : "ObjFileReader.open";
    if (errno == EWOULDBLOCK) throw makeError(makeError("ObjFile.busy", path), id);
    throw makeError(systemError(), id);
}

}  // namespace

ObjFileWriter::~ObjFileWriter() {
    abandon();
    unlock();
}

void ObjFileWriter::unlock() {
    if (_lockFd >= 0) os::closeQuietly(_lockFd);
    _lockFd = -1;
}

void ObjFileWriter::abandon() {
    if (_fd < 0) return;
    os::closeQuietly(_fd);
    _fd = -1;
    int err = errno;
    os::sys().unlink(_tmpPath.c_str());
    errno = err;
}

void ObjFileWriter::open(const std::string& path) {
    _path = path;
    _tmpPath = path + ".tmp~";
    // Only the holder of the lock may truncate the temporary file: another writer may be
    // about to rename it over the object file.
    _lockFd = lockObjFile(path, true);
    _fd = os::sys().open(_tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                         0644);
    if (_fd < 0) throw makeError(systemError(), "ObjFileWriter.open");
    char header[FILE_HEADER_LEN + 1];
    _len = std::snprintf(header, sizeof header, "$$**%04d%04d", _type, _vers);
    VERIFY(_len == FILE_HEADER_LEN);
    std::copy(header, header + FILE_HEADER_LEN, _buf);
}

void ObjFileWriter::writeByte(uint8_t b) {
    if (_len == static_cast<int>(sizeof _buf)) flush();
    _buf[_len++] = b;
}

void ObjFileWriter::flush() {
    if (!os::writeFull(_fd, _buf, static_cast<size_t>(_len)))
        throw makeError(systemError(), "ObjFileWriter.flush");
    _len = 0;
}

void ObjFileWriter::writeBool(bool b) {
    writeByte(b ? 't' : 'f');
}

void ObjFileWriter::writeNumber(int32_t n) {
    uint8_t bytes[5];
    size_t len = encodeNumber(n, bytes);
    for (size_t i = 0; i < len; ++i)
        writeByte(bytes[i]);
}

void ObjFileWriter::writeString(const std::string& s) {
    for (char c : s)
        writeByte(static_cast<uint8_t>(c));
    writeByte(0);
}

void ObjFileWriter::close() {
    if (_fd < 0) return;
    if (_len > 0) flush();
    if (!os::syncFile(_fd)) throw makeError(systemError(), "ObjFileWriter.flush");
    if (os::sys().close(_fd) != 0) {
        _fd = -1;
        Error e = makeError(systemError(), "ObjFileWriter.flush");
        os::sys().unlink(_tmpPath.c_str());
        throw e;
    }
    _fd = -1;
    if (os::sys().rename(_tmpPath.c_str(), _path.c_str()) != 0) {
        Error e = makeError(systemError(), "ObjFileWriter.flush");
        os::sys().unlink(_tmpPath.c_str());
        throw e;
    }
    // The rename is durable only once its folder is synced.
    if (!os::syncDir(folderOf(_path))) throw makeError(systemError(), "ObjFileWriter.flush");
    unlock();
}

ObjFileReader::~ObjFileReader() {
    close();
}

void ObjFileReader::open(const std::string& path) {
    _lockFd = lockObjFile(path, false);
    _fd = os::sys().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (_fd < 0) throw makeError(systemError(), "ObjFileReader.open");
    _pos = _len = 0;
    readHeader();
}

void ObjFileReader::close() {
    if (_fd >= 0) os::closeQuietly(_fd);
    if (_lockFd >= 0) os::closeQuietly(_lockFd);
    _fd = _lockFd = -1;
}

void ObjFileReader::fill() {
    ssize_t n = os::readFull(_fd, _buf, sizeof _buf);
    if (n < 0) throw makeError(systemError(), "ObjFileReader.fill");
    _pos = 0;
    _len = static_cast<int>(n);
}

bool ObjFileReader::readByte(uint8_t& b) {
    if (_pos == _len) fill();
    if (_pos >= _len) return false;
    b = _buf[_pos++];
    return true;
}

void ObjFileReader::readHeader() {
    fill();
    if (_len < FILE_HEADER_LEN) throw makeError("ObjFileReader.readHeader.1");
    static const char TEMPLATE[] = "$$**00000000";
    int32_t type = 0, vers = 0;
    for (int i = 0; i < FILE_HEADER_LEN; ++i) {
        char c = static_cast<char>(_buf[i]);
        if (TEMPLATE[i] == '0') {
            if (c < '0' || c > '9') throw makeError("ObjFileReader.readHeader.2");
            int32_t& part = i < 8 ? type : vers;
            part = part * 10 + (c - '0');
        } else if (c != TEMPLATE[i]) {
            throw makeError("ObjFileReader.readHeader.3");
        }
    }
    if (type != _type) throw makeError("ObjFileReader.readHeader.4", type);
    if (vers % 100 > _vers % 100 || vers / 100 > _vers / 100)
        throw makeError("ObjFileReader.readHeader.5", vers);
    _vers = vers;
    _pos = FILE_HEADER_LEN;
}

std::string ObjFileReader::readString(int size) {
    std::string s;
    for (int i = 0; i < size; ++i) {
        uint8_t b;
        if (!readByte(b)) throw makeError("ObjFileReader.read.1.2");
        if (b == 0) return s;
        s += static_cast<char>(b);
    }
    throw makeError("ObjFileReader.read.1.1");
}

int32_t ObjFileReader::readNumber() {
    NumberDecoder d;
    for (;;) {
        uint8_t b;
        if (!readByte(b)) throw makeError("ObjFileReader.read.2.2");
        if (d.feed(b)) return d.value();
        if (d.tooLong()) throw makeError("ObjFileReader.read.2.1");
    }
}

bool ObjFileReader::readBool() {
    uint8_t b;
    if (!readByte(b) || (b != 't' && b != 'f')) throw makeError("ObjFileReader.read.3");
    return b == 't';
}

bool ObjFileReader::more() {
    if (_pos == _len) fill();
    return _pos < _len;
}

void ObjFileReader::end() {
    uint8_t b;
    if (readByte(b)) throw makeError("ObjFileReader.end");
}
