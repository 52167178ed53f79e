#include "archive/ops/TxnMeta.h"

#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriter.h"

#include <algorithm>
#include <cstring>

void txnmeta::write(StgFile& file, const std::vector<MetaEntry>& entries) {
    StgWriter w(&file, stg::TXN_META, false);
    w.begin();
    w.writeNumber(static_cast<int32_t>(entries.size()));
    for (const MetaEntry& e : entries) {
        w.writeNumber(static_cast<int32_t>(e.path.size()));
        w.writeBytes(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(e.path.data()),
                                              e.path.size()));
        w.writeByte(e.kind);
        w.writeNumber(e.mode);
    }
    w.finish();
}

const char* txnmeta::badPath(const std::string& path) {
    if (path.empty()) return nullptr;
    if (path.find('\0') != std::string::npos) return "a path holding a NUL byte";
    if (path.front() == '/') return "an absolute path";
    for (size_t at = 0; at <= path.size();) {
        size_t end = std::min(path.find('/', at), path.size());
        std::string_view part(path.data() + at, end - at);
        if (part.empty() || part == "." || part == "..")
            return "a path with an empty, \".\" or \"..\" component";
        at = end + 1;
    }
    return nullptr;
}

bool txnmeta::read(StgFile& file, uint64_t link, std::vector<MetaEntry>& out) {
    out.clear();
    const uint64_t at = link + StgFile::LINK_LEN;
    uint8_t h[stg::ITEM_HEADER_LEN];
    if (file.read(at, h, sizeof h) != sizeof h || std::memcmp(h, stg::ITEM_MARK, 4) != 0 ||
        h[4] != (0x80 | stg::TXN_META))
        return false;
    StgReader r(file, at, stg::TXN_META | stg::CHECK_CRC);
    r.start();
    decode(r, out);
    return true;
}

void txnmeta::refuseTwice(std::vector<MetaEntry>& entries) {
    // Neither of two entries for one path can be told to be the one the save meant.
    std::vector<MetaEntry*> byPath;
    for (MetaEntry& e : entries)
        byPath.push_back(&e);
    std::sort(byPath.begin(), byPath.end(), [](auto* a, auto* b) { return a->path < b->path; });
    for (size_t i = 1; i < byPath.size(); ++i)
        if (byPath[i]->path == byPath[i - 1]->path)
            byPath[i]->refused = byPath[i - 1]->refused = "a path listed twice";
}

std::string txnmeta::shownPath(const std::string& path) {
    constexpr size_t LIMIT = 200;
    std::string shown = path.substr(0, LIMIT);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    if (path.size() > LIMIT) shown += "...";
    return shown;
}
