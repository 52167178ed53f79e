// A platform layer for tests, installed for its lifetime: fails the Nth call of a kind, shortens
// writes, fakes the clock, and records the changes under a folder with their sync barriers.
#pragma once

#include "archive/os/os.h"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class FaultOs : public os::Os {
  public:
    enum class Call {
        Open,
        Read,
        Pread,
        Write,
        Pwrite,
        Fdatasync,
        Fsync,
        Ftruncate,
        Rename,
        Unlink,
        Mkdir,
        Rmdir,
        ListDir,
        Flock,
        Close,
        Futimens,
        Openat,
        Unlinkat,
        Mkdirat,
        Renameat
    };

    // One change (Truncate's length in off, Rename's target in to); DirSync is a folder's sync.
    struct Op {
        enum class Kind { Create, Write, Truncate, Sync, Rename, Unlink, DirSync };
        Kind kind;
        std::string path;
        std::string to;
        uint64_t off = 0;
        std::string data;
    };

    FaultOs() { _previous = os::install(this); }
    ~FaultOs() override { os::install(_previous); }
    FaultOs(const FaultOs&) = delete;
    FaultOs& operator=(const FaultOs&) = delete;

    // Fails the nth call of kind c from now (1-based) with err; with sticky, every later one too.
    void failAt(Call c, int nth, int err, bool sticky = false) {
        _faults[c] = Fault{_counts[c] + nth, err, sticky};
    }
    // Every write and pwrite transfers at most n bytes (a short count, not an error).
    void shortWrites(size_t n) { _maxWrite = n; }
    // fsync and fdatasync succeed without reaching the disk (still counted, recorded, failed).
    void skipSyncs(bool on) { _skipSyncs = on; }
    int count(Call c) const { return _counts.count(c) ? _counts.at(c) : 0; }
    // A fake clock: time() returns it, sleepMs() advances it without sleeping.
    void setClock(int64_t t) { _clock = t; }
    // Starts recording the changes to paths that begin with prefix (absolute paths only).
    void recordUnder(const std::string& prefix) { _prefix = prefix; }
    const std::vector<Op>& ops() const { return _ops; }
    // Called before each unlink and unlinkat with the path it names.
    std::function<void(const std::string&)> beforeUnlink = [](const std::string&) {};

    int open(const char* p, int f, mode_t m) override {
        return hit(Call::Open) ? -1 : opened(real().open(p, f, m), p, f);
    }
    int openat(int dir, const char* p, int f, mode_t m) override {
        if (hit(Call::Openat)) return -1;
        std::string full = p[0] == '/' || pathOf(dir).empty() ? p : pathOf(dir) + "/" + p;
        return opened(real().openat(dir, p, f, m), full.c_str(), f);
    }
    ssize_t read(int fd, void* b, size_t n) override {
        return hit(Call::Read) ? -1 : real().read(fd, b, n);
    }
    ssize_t pread(int fd, void* b, size_t n, off_t o) override {
        return hit(Call::Pread) ? -1 : real().pread(fd, b, n, o);
    }
    ssize_t write(int fd, const void* b, size_t n) override {
        if (hit(Call::Write)) return -1;
        ssize_t r = real().write(fd, b, n < _maxWrite ? n : _maxWrite);
        auto it = _files.find(fd);
        if (r > 0 && it != _files.end()) {
            note(Op::Kind::Write, it->second.path, it->second.offset, b, static_cast<size_t>(r));
            it->second.offset += static_cast<uint64_t>(r);
        }
        return r;
    }
    ssize_t pwrite(int fd, const void* b, size_t n, off_t o) override {
        if (hit(Call::Pwrite)) return -1;
        ssize_t r = real().pwrite(fd, b, n < _maxWrite ? n : _maxWrite, o);
        if (r > 0) note(Op::Kind::Write, pathOf(fd), static_cast<uint64_t>(o), b, r);
        return r;
    }
    int fdatasync(int fd) override {
        return hit(Call::Fdatasync) ? -1 : synced(_skipSyncs ? 0 : real().fdatasync(fd), fd);
    }
    int fsync(int fd) override {
        return hit(Call::Fsync) ? -1 : synced(_skipSyncs ? 0 : real().fsync(fd), fd);
    }
    int syncfs(int fd) override {
        return hit(Call::Fsync) ? -1 : _skipSyncs ? 0 : real().syncfs(fd);
    }
    int ftruncate(int fd, off_t l) override {
        if (hit(Call::Ftruncate)) return -1;
        int r = real().ftruncate(fd, l);
        if (r == 0) note(Op::Kind::Truncate, pathOf(fd), static_cast<uint64_t>(l));
        return r;
    }
    int rename(const char* a, const char* b) override {
        if (hit(Call::Rename)) return -1;
        int r = real().rename(a, b);
        if (r == 0 && inScope(a)) {
            note(Op::Kind::Rename, a);
            _ops.back().to = b;
        }
        return r;
    }
    int renameat(int fd, const char* a, int td, const char* b, unsigned f) override {
        return hit(Call::Renameat) ? -1 : real().renameat(fd, a, td, b, f);
    }
    int unlink(const char* p) override {
        beforeUnlink(p);
        if (hit(Call::Unlink)) return -1;
        int r = real().unlink(p);
        if (r == 0) note(Op::Kind::Unlink, p);
        return r;
    }
    int unlinkat(int dir, const char* p, int f) override {
        beforeUnlink(pathOf(dir) + "/" + p);
        if (hit(Call::Unlinkat)) return -1;
        int r = real().unlinkat(dir, p, f);
        if (r == 0 && !(f & AT_REMOVEDIR)) note(Op::Kind::Unlink, pathOf(dir) + "/" + p);
        return r;
    }
    int mkdirat(int dir, const char* p, mode_t m) override {
        return hit(Call::Mkdirat) ? -1 : real().mkdirat(dir, p, m);
    }
    int mkdir(const char* p, mode_t m) override {
        return hit(Call::Mkdir) ? -1 : real().mkdir(p, m);
    }
    int rmdir(const char* p) override { return hit(Call::Rmdir) ? -1 : real().rmdir(p); }
    int listDir(const char* p, std::vector<os::DirEntry>& out) override {
        if (hit(Call::ListDir)) return -1;
        int r = real().listDir(p, out);
        if (r == 0 && _unreadableIn.count(p))  // as a folder that lists but cannot be entered
            for (os::DirEntry& e : out)
                e.type = os::DirEntry::Type::Unreadable;
        return r;
    }
    // Every entry of folder path is listed without its kind.
    void entriesUnreadable(const std::string& path) { _unreadableIn.insert(path); }
    int listDirAt(int fd, std::vector<os::DirEntry>& out) override {
        return hit(Call::ListDir) ? -1 : real().listDirAt(fd, out);
    }
    int flock(int fd, int op) override { return hit(Call::Flock) ? -1 : real().flock(fd, op); }
    int close(int fd) override {
        _files.erase(fd);
        if (hit(Call::Close)) {
            real().close(fd);  // the descriptor is gone either way, as with a real EIO
            errno = _lastErr;
            return -1;
        }
        return real().close(fd);
    }
    int futimens(int fd, const struct timespec t[2]) override {
        return hit(Call::Futimens) ? -1 : real().futimens(fd, t);
    }
    int64_t time() override { return _clock ? *_clock : real().time(); }
    void sleepMs(int ms) override {
        if (_clock)
            *_clock += (ms + 999) / 1000;
        else
            real().sleepMs(ms);
    }

  private:
    struct Fault {
        int at;
        int err;
        bool sticky;
    };
    struct OpenFile {
        std::string path;
        uint64_t offset = 0;
        bool dir = false;
    };
    static os::Os& real() { return os::Os::real(); }

    bool inScope(const std::string& path) const {
        return !_prefix.empty() && path.compare(0, _prefix.size(), _prefix) == 0;
    }
    std::string pathOf(int fd) const {
        auto it = _files.find(fd);
        return it == _files.end() ? std::string() : it->second.path;
    }
    void note(Op::Kind k, const std::string& path, uint64_t off = 0, const void* b = nullptr,
              size_t n = 0) {
        if (!inScope(path)) return;
        Op op{k, path, "", off, ""};
        if (b) op.data.assign(static_cast<const char*>(b), n);
        _ops.push_back(std::move(op));
    }
    int opened(int fd, const char* path, int flags) {
        if (fd < 0) return fd;
        _files[fd] = OpenFile{path, 0, (flags & O_DIRECTORY) != 0};
        // Also when the file was there already: replayed as "exists" either way.
        if (flags & O_CREAT) note(Op::Kind::Create, path);
        if (flags & O_TRUNC) note(Op::Kind::Truncate, path, 0);
        return fd;
    }
    int synced(int r, int fd) {
        auto it = _files.find(fd);
        if (r == 0 && it != _files.end())
            note(it->second.dir ? Op::Kind::DirSync : Op::Kind::Sync, it->second.path);
        return r;
    }

    bool hit(Call c) {
        int n = ++_counts[c];
        auto it = _faults.find(c);
        if (it == _faults.end() || n < it->second.at || (n > it->second.at && !it->second.sticky))
            return false;
        errno = _lastErr = it->second.err;
        return true;
    }

    os::Os* _previous;
    std::map<Call, int> _counts;
    std::map<Call, Fault> _faults;
    size_t _maxWrite = static_cast<size_t>(-1);
    int _lastErr = 0;
    std::optional<int64_t> _clock;
    bool _skipSyncs = false;
    std::map<int, OpenFile> _files;
    std::string _prefix;  // of the paths recorded, none when empty
    std::set<std::string> _unreadableIn;
    std::vector<Op> _ops;
};

// The process's lock patience for a test's lifetime; the default comes back at the end.
struct LockPatience {
    LockPatience(int waitMs, std::function<void(const char*)> notice = nullptr) {
        os::setLockPatience(waitMs, std::move(notice));
    }
    ~LockPatience() { os::setLockPatience(10000, nullptr); }
};
