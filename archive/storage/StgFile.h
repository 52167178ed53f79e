// The archive's storage file: a 12-byte header followed by transactions that are only ever
// appended.
//
// StgFile owns the path and, while open, the file descriptor. The file is open only for one
// operation (load, save, restoring a version): for reading under a shared lock, so readers
// never exclude each other and a file the user may not write still reads, or for writing
// under the exclusive lock. Whoever meets a conflicting holder waits as long as the process's
// lock patience allows (os::openPatiently), then fails with 3000 naming the file as in use.
// Once the lock is granted the path must still name the locked file; a file renamed over it
// meanwhile (an archive rewritten and replaced) is opened again. Everything written goes
// beyond the committed size `_a`; `commit` makes the current end `_b` the file's length and
// makes the transaction durable, `rollback` cuts the file back to `_a`. The committed size and
// the file's identity are remembered across a close. A later `open` that finds the file longer
// than that (another program saved meanwhile) leaves the new part to the caller (`grown`,
// `adopt`); a file that is shorter or another file under the same name is 3003.
//
// The floor: nothing ever sets the length below what `open` found under its lock, except
// cutTail, whose cut length is then the floor. A rollback after a failure therefore never
// removes what another program committed.
//
// Durability: a commit syncs the appended items first, only then writes the transaction's
// link over its placeholder, sets the length and syncs again. A power loss can thus leave a
// tail whose link is still the placeholder, but never a link that points at bytes that were
// not yet on disk. A new file is written beside its name ("NAME.new~"), synced with its header
// and renamed, so a crash leaves either no file or one with a whole header.
//
// Tail recovery: bytes after the last complete transaction (what a crash during a save leaves)
// are set aside with keepTail, so the file loads and later opens accept them; cutTail copies
// them to a side file, synced, before it cuts them off. A rollback whose own cut fails keeps
// what it could not cut as such a tail.
//
// On failure every operation throws an Error (codes 3000-3015, with the system error as cause
// where the operating system failed); `_a` and `_b` keep their values, and a failed `open`
// after the file was opened keeps it open until `close`. Unequal `_a` and `_b` at open, close
// or reserveLink are verification failures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Progress;

class StgFile {
  public:
    static constexpr uint64_t SIZE_LIMIT = 0xFA000000;  // 4,194,304,000 bytes
    static constexpr uint32_t FILE_HEADER_LEN = 12;
    static constexpr uint32_t LINK_LEN = 10;

    // type and version are the caller's parts; the storage layer adds its own two digits.
    StgFile(std::string path, int32_t type, int32_t version);
    ~StgFile();
    StgFile(const StgFile&) = delete;
    StgFile& operator=(const StgFile&) = delete;

    // Whether the file at path begins with the header of a storage file of that caller's type
    // (any version): what tells an archive from any other file without reading it.
    static bool startsWithHeader(const std::string& path, int32_t type);

    enum class Access { Read, Write };
    // Write creates a missing file (with its header); Read never writes.
    void open(Access access = Access::Write);
    void close();
    // True when the last open found more bytes than the committed size and tail account for:
    // transactions that another program appended since this one last had the file.
    bool grown() const { return _found != _a + _tail; }
    uint64_t foundSize() const { return _found; }
    // Takes the file's bytes up to end as committed (the caller checked them), what follows
    // as the tail.
    void adopt(uint64_t end);
    bool isOpen() const { return _fd >= 0; }
    // Whether a file of that identity and size is the one this object last had open, with
    // nothing added since.
    bool holds(uint64_t dev, uint64_t ino, uint64_t size) const {
        return dev == _dev && ino == _ino && size == _a + _tail;
    }

    // Bytes actually read: fewer than count only at the end of the file.
    size_t read(uint64_t pos, void* buf, size_t count);
    // All count bytes or an error; never beyond the size limit (3008, nothing written).
    void write(uint64_t pos, const void* buf, size_t count);
    void append(const void* buf, size_t count);

    // Writes the placeholder of the transaction's link at `_a` (10 bytes).
    void reserveLink();
    // Keeps the 10 link bytes; they are written over the placeholder at the next commit.
    void writeLink(const uint8_t* link);

    // Takes back what was appended since pos (in the pending transaction): an item given up
    // leaves nothing, and what comes next is written from pos.
    void rewind(uint64_t pos);
    void commit();
    // Cuts off everything written since the last commit; nothing happens while closed.
    void rollback();

    // While open and nothing is pending: the file's complete part ends at end (the committed
    // size so far, or less); what follows is the tail.
    void keepTail(uint64_t end);
    uint64_t tailSize() const { return _tail; }
    // Copies the tail to a new file at sidePath (never replacing one: when the name is taken,
    // by an earlier attempt in the same second, "-2", "-3", ... is added), makes it durable
    // and cuts the storage file back to its committed size; returns the side file's path.
    // 3017 when the copy fails or progress is cancelled (nothing cut, no partial copy left),
    // 3005 when the cut does.
    std::string cutTail(const std::string& sidePath, Progress* progress = nullptr);

    uint64_t committedSize() const { return _a; }
    uint64_t end() const { return _b; }
    int32_t type() const { return _type; }
    int32_t version() const { return _vers; }
    const std::string& path() const { return _path; }

  private:
    void createFile();
    int lockFile(Access access);
    void writeFileHeader();
    void readFileHeader();
    void makeDurable();
    // Whether the file's first committed bytes are still those the first open found: a file
    // copied over this one keeps its identity but not its history.
    bool sameStart();

    std::string _path;
    int32_t _type;
    int32_t _vers;
    int _fd = -1;
    uint64_t _a = 0;
    uint64_t _b = 0;
    uint64_t _tail = 0;
    uint64_t _found = 0;  // the length open found
    uint64_t _floor = 0;  // never cut below
    uint64_t _dev = 0;
    uint64_t _ino = 0;
    bool _linkPending = false;
    uint8_t _link[LINK_LEN] = {};
    static constexpr uint32_t START_LEN = 64;
    uint8_t _start[START_LEN] = {};
    uint32_t _startLen = 0;
};
