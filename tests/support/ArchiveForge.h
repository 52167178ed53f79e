// Archives forged record by record, in one record stream: whatever a hostile file may hold
// (names, versions pointing anywhere, trees of any shape, kinds that do not fit), which no save
// would write. The tests, the fuzz seeds and the tree-shape benchmark share it.
#pragma once

#include "archive/ops/RecordStream.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/NumberFormat.h"

#include <map>
#include <span>
#include <string>
#include <utility>

namespace forge {

constexpr int64_t T0 = 1600000000;

// The records of a transaction at T0 adding the root folder, then what the calls add; txn()
// begins another transaction in the same stream.
class ArchiveWriter {
  public:
    explicit ArchiveWriter(const std::string& path)
        : _file(path, 20, 10), _rec(nullptr, stg::TXN_SEQUENCE) {
        _file.open();
        _rec.begin();
        txn(T0);
        _rec.writeByte(record::ADD_ROOT);
        folder(0);
    }
    void txn(int64_t time) {
        _rec.writeByte(record::BEGIN_TXN);
        _rec.writeWord(static_cast<uint32_t>(time));
    }
    // A stored item of the type with these bytes; returns its position and stored size.
    std::pair<uint32_t, int32_t> item(uint32_t type, const std::string& data) {
        StgWriter w(&_file, type);
        w.begin();
        w.writeBytes(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
        w.finish();
        return {static_cast<uint32_t>(w.itemStart()),
                static_cast<int32_t>(w.itemEnd() - w.itemStart())};
    }
    // Adds a child of parent (0: the root) after the previous child; returns its id.
    int32_t add(const std::string& name, int32_t parent, int32_t after = -1,
                int32_t claimedLen = -1) {
        _rec.writeByte(after < 0 ? record::ADD_FIRST : record::ADD_AFTER);
        _rec.writeNumber(claimedLen >= 0 ? claimedLen : static_cast<int32_t>(name.size()));
        for (char c : name)
            _rec.writeByte(static_cast<uint8_t>(c));
        _rec.writeNumber(parent);
        if (after >= 0) _rec.writeNumber(after);
        return ++_ids;
    }
    void folder(int32_t id) {
        _rec.writeByte(record::UPD_FOLDER);
        _rec.writeNumber(id);
    }
    void file(int32_t id, uint32_t pos, int32_t stored, int32_t size, uint32_t crc,
              uint32_t diffPos = 0) {
        _rec.writeByte(diffPos ? record::UPD_DELTA : record::UPD_FULL);
        _rec.writeNumber(id);
        _rec.writeWord(pos);
        if (diffPos) _rec.writeWord(diffPos);
        _rec.writeNumber(stored);
        _rec.writeNumber(size);
        _rec.writeWord(4000000000u);  // a time beyond 2038: an unsigned word
        _rec.writeWord(crc);
    }
    // A full version of data for the entry; versions of the same data share one stored item.
    void content(int32_t id, const std::string& data) {
        auto [it, fresh] = _items.try_emplace(data);
        if (fresh) it->second = item(stg::FILE_CONTENT, data);
        file(id, it->second.first, it->second.second, static_cast<int32_t>(data.size()),
             crc32::of(data.data(), data.size()));
    }
    void finish() {
        _rec.finish();
        _rec.writeTo(_file);
        _file.commit();
        _file.close();
    }

  private:
    StgFile _file;
    StgWriter _rec;
    int32_t _ids = 0;
    std::map<std::string, std::pair<uint32_t, int32_t>> _items;  // stored by content()
};

inline std::string number(int32_t n) {
    uint8_t buf[5];
    size_t len = encodeNumber(n, buf);
    return std::string(reinterpret_cast<const char*>(buf), len);
}

// Tree shapes that once took a command's stack or gigabytes; n scales each (the benchmark
// builds them full size, the tests and fuzz seeds small).
// A chain of n folders, each inside the one before.
inline void deepChain(ArchiveWriter& a, int n) {
    for (int32_t d = 0, i = 0; i < n; ++i) {
        d = a.add("d", d);
        a.folder(d);
    }
}
// depth levels, each holding width files beside the folder of the next level.
inline void deepAndWide(ArchiveWriter& a, int depth, int width) {
    for (int32_t d = 0, i = 0; i < depth; ++i) {
        int32_t prev = -1;
        for (int f = 0; f < width; ++f)
            a.content(prev = a.add("f" + std::to_string(f), d, prev), "x");
        d = a.add("z", d, prev);
        a.folder(d);
    }
}

// One file stored again in each of n transactions.
inline void manyTransactions(ArchiveWriter& a, int n) {
    int32_t f = a.add("f", 0);
    for (int i = 0; i < n; ++i) {
        if (i) a.txn(T0 + i);
        a.content(f, "x");
    }
}
// n files in the root folder.
inline void wideFolder(ArchiveWriter& a, int n) {
    for (int32_t prev = -1, i = 0; i < n; ++i)
        a.content(prev = a.add("f" + std::to_string(i), 0, prev), "x");
}

// The root stored as a file.
inline void rootFile(ArchiveWriter& a) {
    a.content(0, "root");
}
// A file, then in a later transaction a node added beneath it and stored.
inline void fileParent(ArchiveWriter& a) {
    int32_t f = a.add("f", 0);
    a.content(f, "file");
    a.txn(T0 + 1);
    a.folder(a.add("c", f));
}

}  // namespace forge
