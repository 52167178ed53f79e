// Arbitrary bytes as the values of a transaction's file metadata. What decodes must hold only
// entries whose refusal is right (a path that badPath passes, a kind and mode in range, a path
// listed once), and must come back the same after writing it again and decoding that.
#include "tests/support/MemValues.h"

#include "archive/ops/TxnMeta.h"

#include <cstdint>
#include <cstdlib>
#include <set>

namespace {

void encode(MemValueWriter& w, const std::vector<MetaEntry>& entries) {
    w.writeNumber(static_cast<int32_t>(entries.size()));
    for (const MetaEntry& e : entries) {
        w.writeNumber(static_cast<int32_t>(e.path.size()));
        for (char c : e.path)
            w.writeByte(static_cast<uint8_t>(c));
        w.writeByte(e.kind);
        // A refused entry stays refused, whatever refused it, with a mode out of range.
        w.writeNumber(e.refused ? 010000 : e.mode);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemValueReader in(std::span<const uint8_t>(data, size));
    std::vector<MetaEntry> out;
    try {
        txnmeta::decode(in, out);
    } catch (const Error&) {
        return 0;
    }
    std::multiset<std::string> paths;
    for (const MetaEntry& e : out)
        paths.insert(e.path);
    for (const MetaEntry& e : out) {
        const bool fine = !txnmeta::badPath(e.path) && e.kind >= MetaEntry::FOLDER &&
                          e.kind <= MetaEntry::LINK && paths.count(e.path) == 1;
        // A mode out of range is not kept: only the other reasons can be checked here.
        if ((!fine && !e.refused) || e.mode > 07777) abort();
        if (txnmeta::shownPath(e.path).size() > 203) abort();
    }
    MemValueWriter again;
    encode(again, out);
    MemValueReader back(again.bytes);
    std::vector<MetaEntry> twice;
    try {
        txnmeta::decode(back, twice);
    } catch (const Error&) {
        abort();
    }
    if (twice.size() != out.size()) abort();
    for (size_t i = 0; i < out.size(); ++i)
        if (twice[i].path != out[i].path || twice[i].kind != out[i].kind ||
            (!out[i].refused && twice[i].mode != out[i].mode) ||
            (twice[i].refused == nullptr) != (out[i].refused == nullptr))
            abort();
    return 0;
}
