// Helpers of the storage tests: items built from hand-written block data and read back.
#pragma once

#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReadBuffer.h"
#include "archive/storage/StgWriteBuffer.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A new file each time: a file truncated and rewritten in place is flushed on close.
inline void putFile(const std::string& path, const Bytes& b) {
    std::filesystem::remove(path);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// The code of the Error that fn throws, 0 when it throws none.
inline int errorCode(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const Error& e) {
        return e.code;
    }
    return 0;
}

// One block of coder output as the coder would hand it over.
struct TestBlock {
    Bytes data;  // whole bytes, plus the partial last byte when bits % 8 != 0
    uint32_t bits;
    uint8_t flags;
};

inline TestBlock block(Bytes data, uint8_t flags = 0) {
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

// A block's data as delivered, with the valid bits of its last byte.
struct ReadBlock {
    Bytes data;
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
