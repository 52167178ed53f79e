// The file metadata of one transaction: the item directly after its link, listing by path
// below the watched folder the kind and permission bits of what the transaction stores, where
// they differ from the defaults (0644 for files, 0755 for folders). Readers that know only
// contents never visit it: they go from the link to the record stream. doc/storage-format.md
// describes the bytes.
//
// Paths, not node ids, because the item is written before the save's walk gives new nodes
// their ids. The root is the empty path.
#pragma once

#include "archive/support/msg.h"

#include <cstdint>
#include <string>
#include <vector>

class StgFile;

struct MetaEntry {
    enum Kind : uint8_t { FOLDER = 1, FILE = 2, LINK = 3 };
    std::string path;
    uint8_t kind = FILE;
    uint16_t mode = 0;  // permission bits, at most 07777
};

namespace txnmeta {

// Appends the item at the file's end, which must be the pending transaction's start.
void write(StgFile& file, const std::vector<MetaEntry>& entries);

// Whether the transaction whose link is at link carries the item; its entries go to out.
// Throws when the item is there but cannot be read, or holds an entry that is refused (an
// absolute path, an empty, "." or ".." component, a kind or mode out of range, a path twice).
bool read(StgFile& file, uint64_t link, std::vector<MetaEntry>& out);

// Decodes the item's values; a template so that tests and fuzz targets feed it from memory.
template <class Reader>
void decode(Reader& in, std::vector<MetaEntry>& out);

// The refusal text of a path an entry may not hold, or null when it is fine.
const char* badPath(const std::string& path);

}  // namespace txnmeta

template <class Reader>
void txnmeta::decode(Reader& in, std::vector<MetaEntry>& out) {
    out.clear();
    const int32_t count = in.readNumber();
    if (count < 0) throw makeError("TxnMeta.read", "a negative count");
    // Each entry takes at least four bytes: the count cannot make it reserve memory.
    for (int32_t i = 0; i < count; ++i) {
        MetaEntry e;
        const int32_t len = in.readNumber();
        if (len < 0 || len >= 4096) throw makeError("TxnMeta.read", "a path length out of range");
        e.path.resize(static_cast<size_t>(len));
        for (char& c : e.path)
            c = static_cast<char>(in.readByte());
        e.kind = in.readByte();
        const int32_t mode = in.readNumber();
        if (const char* why = badPath(e.path)) throw makeError("TxnMeta.read", why);
        if (e.kind < MetaEntry::FOLDER || e.kind > MetaEntry::LINK)
            throw makeError("TxnMeta.read", "an unknown kind");
        if (mode < 0 || mode > 07777) throw makeError("TxnMeta.read", "a mode out of range");
        e.mode = static_cast<uint16_t>(mode);
        out.push_back(std::move(e));
    }
    if (!in.eof()) throw makeError("TxnMeta.read", "bytes after the last entry");
}
