// Object files: a 12-byte typed and versioned header ("$$**" and four digits each of type and
// version) followed by a flat stream of values (NUL-terminated strings, numbers in the number
// format, booleans as "t" or "f") with no names or lengths; a reader asks for the values in
// the order they were written.
//
// The writer never touches the old file until close(): it writes a temporary file beside it,
// syncs it and renames it over the old one, so a crash or a full disk leaves either the old
// file or the new one whole. A writer that is destroyed without close() removes its temporary
// file. The lock is a file of its own beside the object file ("NAME.lock"), since a lock on the
// file itself would be lost with the file that a writer renames over it: a writer holds it
// exclusively from before it makes its temporary file until the rename, readers share it.
// Failures are thrown as Error (3300-3414).
#pragma once

#include <cstdint>
#include <string>

class ObjFileWriter {
  public:
    ObjFileWriter(int32_t type, int32_t vers) : _type(type), _vers(vers) {}
    ~ObjFileWriter();
    ObjFileWriter(const ObjFileWriter&) = delete;
    ObjFileWriter& operator=(const ObjFileWriter&) = delete;

    void open(const std::string& path);
    void writeBool(bool b);
    void writeNumber(int32_t n);
    void writeString(const std::string& s);
    // Writes what is buffered and puts the file in place; must be called to keep the file.
    void close();

  private:
    void writeByte(uint8_t b);
    void flush();
    void abandon();
    void unlock();

    int32_t _type;
    int32_t _vers;
    int _fd = -1;
    int _lockFd = -1;
    std::string _path;
    std::string _tmpPath;
    uint8_t _buf[1024];
    int _len = 0;
};

class ObjFileReader {
  public:
    ObjFileReader(int32_t type, int32_t vers) : _type(type), _vers(vers) {}
    ~ObjFileReader();
    ObjFileReader(const ObjFileReader&) = delete;
    ObjFileReader& operator=(const ObjFileReader&) = delete;

    // Opens the file and checks its header: its type must equal ours, and neither part of its
    // version may be newer than ours. Afterwards version() is the file's version.
    void open(const std::string& path);
    bool readBool();
    int32_t readNumber();
    // Reads a string of at most size - 1 bytes (3402 when longer, 3403 at the end of the file).
    std::string readString(int size);
    // Whether a further byte follows: a value added after the values of older files.
    bool more();
    // Fails with 3407 unless the file has no further byte.
    void end();
    void close();

    int32_t version() const { return _vers; }

  private:
    bool readByte(uint8_t& b);
    void fill();
    void readHeader();

    int32_t _type;
    int32_t _vers;
    int _fd = -1;
    int _lockFd = -1;
    uint8_t _buf[1024];
    int _pos = 0;
    int _len = 0;
};
