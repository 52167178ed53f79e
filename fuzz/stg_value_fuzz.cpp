// Storage values read from arbitrary bytes: the bytes are stored as one item of a real storage
// file (a record stream, or a content item opened for random access), then read back as bytes,
// numbers and 32-bit words in an order the input chooses. Every value, every failure and every
// end-of-item answer must match a plain reading of the same bytes in memory. The item's framing
// is the writer's own; arbitrary framing is stg_file_fuzz's job.
//
// Input: an options byte (bit 0: content item with seeks; bits 1-3: extra copies of the
// payload, so values straddle the 65536-byte blocks), a script length, the script (one op per
// byte, seeks take two more), then the payload. The payload is also run through the number and
// group decoders directly: whatever decodes must encode back to the same value.
#include "tests/support/FaultOs.h"
#include "tests/support/MemValues.h"

#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReader.h"
#include "archive/storage/StgWriter.h"
#include "archive/support/NumberFormat.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MAX_PAYLOAD = 140000;

std::string scratchPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/stg_value_fuzz." + std::to_string(getpid()) +
           ".trsm";
}

void checkEncodings(const std::vector<uint8_t>& d) {
    MemValueReader p(d);
    try {
        while (!p.eof()) {
            int32_t v = p.readNumber();
            uint8_t buf[5];
            size_t len = encodeNumber(v, buf);
            NumberDecoder back;
            size_t i = 0;
            while (i < len && !back.feed(buf[i]))
                ++i;
            if (i + 1 != len || back.tooLong() || back.value() != v) abort();
        }
    } catch (const Error&) {
    }
    // Group numbers: four bytes hold 28 bits exactly; of a fifth byte only the low 4 bits
    // reach the 32-bit value.
    for (size_t i = 0; i + 5 <= d.size() && i < 4096; ++i) {
        for (int n : {4, 5}) {
            uint32_t v;
            bool all = true;
            for (int k = 0; k < n; ++k)
                all &= (d[i + k] & 0x80) != 0;
            if (stg::decodeGroup(&d[i], n, v) != all) abort();
            if (!all) continue;
            uint8_t again[5];
            stg::encodeGroup(v, again, n);
            for (int k = 0; k < n; ++k) {
                uint8_t want = k == 4 ? static_cast<uint8_t>(0x80 | (d[i + k] & 0x0F)) : d[i + k];
                if (again[k] != want) abort();
            }
        }
    }
}

// Runs op on both readers: the same value or the same error code. False once they failed.
template <class Real, class Ref>
bool same(Real real, Ref ref) {
    int want = 0, got = 0;
    decltype(ref()) a{}, b{};
    try {
        a = ref();
    } catch (const Error& e) {
        // The memory reader reports its end as a missing block (4202); the storage reader
        // reports a read past its item's end as 4204.
        want = e.code == 4202 ? 4204 : e.code;
    }
    try {
        b = real();
    } catch (const Error& e) {
        got = e.code;
    }
    if (want != got || (want == 0 && a != b)) abort();
    return want == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, size_t size) {
    if (size < 2) return 0;
    const bool content = in[0] & 1;
    const size_t copies = (in[0] >> 1) & 7;
    const size_t scriptLen = std::min<size_t>(in[1] % 48, size - 2);
    const uint8_t* script = in + 2;
    std::vector<uint8_t> payload(in + 2 + scriptLen, in + size);
    const size_t once = payload.size();
    for (size_t i = 0; i < copies && once > 0 && payload.size() < MAX_PAYLOAD; ++i)
        payload.insert(payload.end(), payload.begin(),
                       payload.begin() + static_cast<std::ptrdiff_t>(once));
    if (payload.size() > MAX_PAYLOAD) payload.resize(MAX_PAYLOAD);
    checkEncodings(payload);

    // A new storage file is synced three times; nothing here is about durability.
    static FaultOs* fast = [] {
        auto* f = new FaultOs;
        f->skipSyncs(true);
        return f;
    }();
    (void)fast;
    static const std::string path = scratchPath();
    ::unlink(path.c_str());
    StgFile f(path, 20, 10);
    uint64_t itemPos = StgFile::FILE_HEADER_LEN;
    try {
        f.open();
        if (content) {
            StgWriter w(&f, stg::FILE_CONTENT);
            w.begin();
            w.writeBytes(payload);
            w.finish();
            itemPos = w.itemStart();
        }
        StgWriter rec(nullptr, stg::TXN_SEQUENCE);
        rec.begin();
        if (!content) rec.writeBytes(payload);
        rec.finish();
        rec.writeTo(f);
        f.commit();
    } catch (const Error&) {
        abort();  // writing to a fresh file in the temporary folder does not fail
    }

    const uint32_t mode =
        content ? stg::FILE_CONTENT | stg::INDEX_BLOCKS : stg::TXN_SEQUENCE | stg::CHECK_CRC;
    StgReader r(f, itemPos, mode);
    MemValueReader ref(payload);
    try {
        r.start();
    } catch (const Error&) {
        abort();
    }
    bool alive = true;
    for (size_t i = 0; alive && i < scriptLen; ++i) {
        if (r.eof() != ref.eof()) abort();
        const uint8_t op = script[i];
        switch (op % 5) {
            case 0:
                alive = same([&] { return r.readByte(); }, [&] { return ref.readByte(); });
                break;
            case 1:
                alive = same([&] { return r.readNumber(); }, [&] { return ref.readNumber(); });
                break;
            case 2:
                alive = same([&] { return r.readWord(); }, [&] { return ref.readWord(); });
                break;
            case 3: {
                const size_t n = op / 5 + 1;
                alive = same(
                    [&] {
                        std::vector<uint8_t> v(n);
                        r.readBytes(v);
                        return v;
                    },
                    [&] {
                        std::vector<uint8_t> v(n);
                        for (auto& b : v)
                            b = ref.readByte();
                        return v;
                    });
                break;
            }
            default: {
                if (!content || payload.empty() || i + 2 >= scriptLen) break;
                const uint32_t pos = (uint32_t{script[i + 1]} | uint32_t{script[i + 2]} << 8) *
                                     (op / 5 + 1) % static_cast<uint32_t>(payload.size());
                i += 2;
                try {
                    r.lzReader().seek(pos);
                } catch (const Error&) {
                    abort();  // every position inside the item is reachable
                }
                ref.seek(pos);
                break;
            }
        }
    }
    // The rest byte by byte, then exactly the end.
    while (alive && !ref.eof()) {
        if (r.eof()) abort();
        alive = same([&] { return r.readByte(); }, [&] { return ref.readByte(); });
    }
    if (alive) {
        if (!r.eof()) abort();
        if (same([&] { return r.readByte(); }, [&] { return ref.readByte(); })) abort();
    }
    f.close();
    ::unlink(path.c_str());
    return 0;
}
