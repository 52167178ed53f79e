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
    // Why reading ignores the entry (its path, kind or mode cannot be), or null.
    const char* refused = nullptr;
};

namespace txnmeta {

// Appends the item at the file's end, which must be the pending transaction's start.
void write(StgFile& file, const std::vector<MetaEntry>& entries);

// Whether the transaction whose link is at link carries the item; its entries go to out.
// Throws when the item is there but its values cannot be read (a CRC, a length, a count that
// does not fit them); see decode for single entries that are not fine.
bool read(StgFile& file, uint64_t link, std::vector<MetaEntry>& out);

// Decodes the item's values; a template so that tests and fuzz targets feed it from memory.
// Throws when the values do not frame entries. An entry that is framed but not fine (an
// absolute path, an empty, "." or ".." component, a kind or mode out of range, a path listed
// twice: every entry of that path) is kept with refused set: the loader ignores it and says
// so, and the other entries still apply, since one wrong entry says nothing about the rest.
template <class Reader>
void decode(Reader& in, std::vector<MetaEntry>& out);

// Marks every entry whose path the list holds more than once.
void refuseTwice(std::vector<MetaEntry>& entries);

// The path as a message shows it: control bytes as '?', cut after 200 bytes.
std::string shownPath(const std::string& path);

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
        e.refused = badPath(e.path);
        if (e.kind < MetaEntry::FOLDER || e.kind > MetaEntry::LINK)
            e.refused = "an unknown kind";
        else if (mode < 0 || mode > 07777)
            e.refused = "a mode out of range";
        else
            e.mode = static_cast<uint16_t>(mode);
        out.push_back(std::move(e));
    }
    if (!in.eof()) throw makeError("TxnMeta.read", "bytes after the last entry");
    refuseTwice(out);
}
