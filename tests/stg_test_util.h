// Helpers of the storage tests: a platform layer that fails or records chosen calls, and
// items built from hand-written block data.
#pragma once

#include "archive/StgFile.h"
#include "archive/StgItem.h"
#include "archive/StgReadBuffer.h"
#include "archive/StgWriteBuffer.h"
#include "archive/os.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

// Forwards to the real platform layer; fails the Nth pwrite or fdatasync (counted from 1)
// with the chosen errno, and records what was called, in order.
class FaultOs : public os::Os {
  public:
    int failPwriteAt = 0;
    int failSyncAt = 0;
    int err = ENOSPC;
    bool shortWrites = false;  // every pwrite transfers at most half of what it was asked
    int pwrites = 0;
    int syncs = 0;
    std::vector<std::string> log;  // "pwrite OFF LEN", "sync", "ftruncate LEN",
                                   // "pread OFF LEN"

    ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) override {
        if (++pwrites == failPwriteAt) {
            errno = err;
            return -1;
        }
        if (shortWrites && n > 1) n /= 2;
        log.push_back("pwrite " + std::to_string(off) + " " + std::to_string(n));
        return Os::real().pwrite(fd, buf, n, off);
    }
    int fdatasync(int fd) override {
        if (++syncs == failSyncAt) {
            errno = EIO;
            return -1;
        }
        log.push_back("sync");
        return Os::real().fdatasync(fd);
    }
    int ftruncate(int fd, off_t len) override {
        log.push_back("ftruncate " + std::to_string(len));
        return Os::real().ftruncate(fd, len);
    }
    ssize_t pread(int fd, void* buf, size_t n, off_t off) override {
        // The continuation of a read cut short by the end of the file is not logged.
        ssize_t r = Os::real().pread(fd, buf, n, off);
        if (r != 0) log.push_back("pread " + std::to_string(off) + " " + std::to_string(n));
        return r;
    }
};

// Installs an Os for the lifetime of the guard.
class InstallOs {
  public:
    explicit InstallOs(os::Os* o) : _old(os::install(o)) {}
    ~InstallOs() { os::install(_old); }

  private:
    os::Os* _old;
};

// One block of coder output as the coder would hand it over.
struct TestBlock {
    std::vector<uint8_t> data;  // whole bytes, plus the partial last byte when bits % 8 != 0
    uint32_t bits;
    uint8_t flags;
};

inline TestBlock block(std::vector<uint8_t> data, uint8_t flags = 0) {
    uint32_t bits = static_cast<uint32_t>(data.size()) * 8;
    return {std::move(data), bits, flags};
}

inline void putBlocks(StgWriteBuffer& w, const std::vector<TestBlock>& blocks) {
    for (size_t i = 0; i < blocks.size(); ++i) {
        uint8_t flags = blocks[i].flags;
        if (i + 1 == blocks.size()) flags |= stg::LAST_BLOCK;
        w.setFlags(flags);
        w.putBits(blocks[i].data.data(), blocks[i].bits);
    }
}

// A content item written straight to the file; returns its position.
inline uint64_t writeContent(StgFile& f, const std::vector<TestBlock>& blocks,
                             uint32_t type = stg::FILE_CONTENT) {
    StgWriteBuffer w(&f, type);
    w.beginItem(f);
    putBlocks(w, blocks);
    w.endItem(f);
    return w.itemStart();
}

// A record stream built in memory, written behind the transaction's content items and
// committed.
inline void writeSequence(StgFile& f, const std::vector<TestBlock>& blocks) {
    StgWriteBuffer w(nullptr, stg::TXN_SEQUENCE);
    putBlocks(w, blocks);
    w.beginItem(f);
    w.writeBuffered(f);
    w.endItem(f);
    f.commit();
}

// Every block's data as delivered, with the valid bits of each block's last byte.
struct ReadBlock {
    std::vector<uint8_t> data;
    int lastBits = 0;
    uint8_t flags = 0;
    bool operator==(const ReadBlock&) const = default;
};

inline ReadBlock drainBlock(StgReadBuffer& r) {
    ReadBlock b;
    b.flags = r.blockFlags();
    uint8_t c;
    int n;
    while ((n = r.get(c)) != 0) {
        b.data.push_back(c);
        b.lastBits = n;
    }
    return b;
}

inline std::vector<ReadBlock> readAll(StgFile& f, uint64_t pos, uint32_t mode) {
    StgReadBuffer r(f, pos, mode);
    r.start();
    std::vector<ReadBlock> out;
    do
        out.push_back(drainBlock(r));
    while (r.next());
    return out;
}
