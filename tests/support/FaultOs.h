// A platform layer for tests: forwards every call to the real one, and can fail the Nth call
// of one kind with a chosen errno (once, or from then on), shorten writes, and move a fake
// clock. Installed for the lifetime of the object.
#pragma once

#include "archive/os.h"

#include <cerrno>
#include <map>
#include <string>

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
        Spawn,
        Flock,
        Close,
        Futimens
    };

    FaultOs() { _previous = os::install(this); }
    ~FaultOs() override { os::install(_previous); }
    FaultOs(const FaultOs&) = delete;
    FaultOs& operator=(const FaultOs&) = delete;

    // Fails the nth call (1-based, counted from now) of kind c with err; with sticky, every
    // later call of that kind fails too.
    void failAt(Call c, int nth, int err, bool sticky = false) {
        _faults[c] = Fault{_counts[c] + nth, err, sticky};
    }
    // Every write and pwrite transfers at most n bytes (a short count, not an error).
    void shortWrites(size_t n) { _maxWrite = n; }
    // Counts of calls seen so far, per kind.
    int count(Call c) const {
        auto it = _counts.find(c);
        return it == _counts.end() ? 0 : it->second;
    }
    // A fake clock: time() returns it, sleepMs() advances it without sleeping.
    void setClock(int64_t t) {
        _clock = t;
        _fakeClock = true;
    }

    int open(const char* p, int f, mode_t m) override {
        return hit(Call::Open) ? -1 : real().open(p, f, m);
    }
    ssize_t read(int fd, void* b, size_t n) override {
        return hit(Call::Read) ? -1 : real().read(fd, b, n);
    }
    ssize_t pread(int fd, void* b, size_t n, off_t o) override {
        return hit(Call::Pread) ? -1 : real().pread(fd, b, n, o);
    }
    ssize_t write(int fd, const void* b, size_t n) override {
        return hit(Call::Write) ? -1 : real().write(fd, b, n < _maxWrite ? n : _maxWrite);
    }
    ssize_t pwrite(int fd, const void* b, size_t n, off_t o) override {
        return hit(Call::Pwrite) ? -1 : real().pwrite(fd, b, n < _maxWrite ? n : _maxWrite, o);
    }
    int fdatasync(int fd) override { return hit(Call::Fdatasync) ? -1 : real().fdatasync(fd); }
    int fsync(int fd) override { return hit(Call::Fsync) ? -1 : real().fsync(fd); }
    int ftruncate(int fd, off_t l) override {
        return hit(Call::Ftruncate) ? -1 : real().ftruncate(fd, l);
    }
    int rename(const char* a, const char* b) override {
        return hit(Call::Rename) ? -1 : real().rename(a, b);
    }
    int unlink(const char* p) override { return hit(Call::Unlink) ? -1 : real().unlink(p); }
    int mkdir(const char* p, mode_t m) override {
        return hit(Call::Mkdir) ? -1 : real().mkdir(p, m);
    }
    int rmdir(const char* p) override { return hit(Call::Rmdir) ? -1 : real().rmdir(p); }
    int listDir(const char* p, std::vector<os::DirEntry>& out) override {
        return hit(Call::ListDir) ? -1 : real().listDir(p, out);
    }
    int spawn(pid_t* pid, const char* f, char* const argv[]) override {
        // posix_spawnp reports its error as the result, not through errno.
        if (hit(Call::Spawn)) return errno;
        return real().spawn(pid, f, argv);
    }
    int flock(int fd, int op) override { return hit(Call::Flock) ? -1 : real().flock(fd, op); }
    int close(int fd) override {
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
    int64_t time() override { return _fakeClock ? _clock : real().time(); }
    void sleepMs(int ms) override {
        if (_fakeClock)
            _clock += (ms + 999) / 1000;
        else
            real().sleepMs(ms);
    }

  private:
    struct Fault {
        int at;
        int err;
        bool sticky;
    };
    static os::Os& real() { return os::Os::real(); }

    bool hit(Call c) {
        int n = ++_counts[c];
        auto it = _faults.find(c);
        if (it == _faults.end()) return false;
        if (n == it->second.at || (it->second.sticky && n > it->second.at)) {
            _lastErr = it->second.err;
            errno = it->second.err;
            return true;
        }
        return false;
    }

    os::Os* _previous;
    std::map<Call, int> _counts;
    std::map<Call, Fault> _faults;
    size_t _maxWrite = static_cast<size_t>(-1);
    int _lastErr = 0;
    int64_t _clock = 0;
    bool _fakeClock = false;
};
