// A base and a new content derived from the input: the delta the writer makes of the new
// content against the base must restore it exactly, whatever the data image's settings (which
// come from the user's string store and may be anything) and the search window.
//
// Input: 6 bytes of parameters, the base, then an edit script that builds the new content:
//   [0] section size, [1] hash count (both as signed bytes: out-of-range values included),
//   [2] bits 0-2 the index memory, bits 3-4 the hash cache, bit 7 the product's budgets
//       instead of unlimited ones, [3] the window (0: the product's 1 MiB), [4-5] base length.
// Script ops (op byte % 4): copy a base range, add literal bytes, append the whole base, repeat
// bytes the new content already holds.
#include "tests/support/MemBase.h"
#include "tests/support/MemValues.h"

#include "archive/delta/DataImage.h"
#include "archive/delta/DeltaDecoder.h"
#include "archive/delta/DeltaEncoder.h"
#include "archive/storage/Crc32.h"
#include "archive/storage/FileReader.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t MAX_CONTENT = 100000;

std::string scratchPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/delta_round_trip_fuzz." +
           std::to_string(getpid());
}

class Input {
  public:
    Input(const uint8_t* d, size_t n) : _d(d), _n(n) {}
    bool empty() const { return _p >= _n; }
    uint8_t byte() { return _p < _n ? _d[_p++] : 0; }
    uint32_t u16() { return byte() | uint32_t{byte()} << 8; }
    size_t left() const { return _n - _p; }
    const uint8_t* here() const { return _d + _p; }
    void skip(size_t k) { _p += k; }

  private:
    const uint8_t* _d;
    size_t _n;
    size_t _p = 0;
};

std::vector<uint8_t> newContent(Input& in, const std::vector<uint8_t>& base) {
    std::vector<uint8_t> out;
    while (!in.empty() && out.size() < MAX_CONTENT) {
        uint8_t op = in.byte();
        switch (op % 4) {
            case 0: {
                if (base.empty()) break;
                size_t from = in.u16() % base.size();
                size_t len = std::min<size_t>(size_t{in.byte()} * (1 + op / 4), base.size() - from);
                out.insert(out.end(), base.begin() + from, base.begin() + from + len);
                break;
            }
            case 1: {
                size_t len = std::min<size_t>(op / 4 + 1, in.left());
                out.insert(out.end(), in.here(), in.here() + len);
                in.skip(len);
                break;
            }
            case 2:
                out.insert(out.end(), base.begin(), base.end());
                break;
            default: {
                if (out.empty()) break;
                size_t from = in.u16() % out.size();
                size_t len = size_t{in.byte()} * (1 + op / 4);
                for (size_t i = 0; i < len; ++i)
                    out.push_back(out[from + i]);  // may overlap what it appends, as a run does
                break;
            }
        }
    }
    if (out.size() > MAX_CONTENT) out.resize(MAX_CONTENT);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    Input in(data, size);
    static const int MEM[] = {-1, 0, 16, 256, 4096, 65536, 1048576, 1 << 30};
    static const int BUF[] = {-1, 0, 1000, 1048576};
    DataImage::Params params;
    params.sectSize = static_cast<int8_t>(in.byte());
    params.hashCount = static_cast<int8_t>(in.byte());
    uint8_t sel = in.byte();
    params.maxMem = MEM[sel & 7];
    params.maxBuf = BUF[(sel >> 3) & 3];
    const bool productBudget = sel & 0x80;
    uint8_t w = in.byte();
    const uint32_t window = w == 0 ? DataImage::WINDOW : 256 + uint32_t{w} * 16;
    size_t baseLen = std::min<size_t>(in.u16(), in.left());
    std::vector<uint8_t> base(in.here(), in.here() + baseLen);
    in.skip(baseLen);
    const std::vector<uint8_t> content = newContent(in, base);

    static const std::string path = scratchPath();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    bool written = content.empty() || ::write(fd, content.data(), content.size()) ==
                                          static_cast<ssize_t>(content.size());
    ::close(fd);
    if (!written) return 0;

    const auto contentSize = static_cast<uint32_t>(content.size());
    const delta::Budget budget = productBudget ? delta::budgetFor(contentSize, 0.001953125, 0.25)
                                               : delta::Budget{std::numeric_limits<int64_t>::max(),
                                                               std::numeric_limits<int64_t>::max()};
    MemValueWriter out;
    size_t consumed = 0;
    bool kept = false;
    uint32_t crc = 0;
    MemBase source(base);
    try {
        FileReader reader(path, window);
        reader.open();
        DataImage image(source, static_cast<uint32_t>(base.size()), params, window);
        image.buildIndex();
        kept = delta::encodeDelta(reader, image, out, budget, [&](size_t n) { consumed += n; });
        if (kept) crc = reader.close();
    } catch (const Error&) {
        abort();  // a base in memory and a file nobody touches give no error
    }
    ::unlink(path.c_str());
    // Without budgets a delta is never abandoned.
    if (!kept) {
        if (!productBudget) abort();
        return 0;
    }
    if (consumed != content.size()) abort();
    if (crc != crc32::of(content.data(), content.size())) abort();

    MemValueReader delta(out.bytes);
    MemBase restoreBase(base);
    std::vector<uint8_t> restored;
    try {
        delta::applyDelta(delta, restoreBase, contentSize,
                          [&](uint8_t b) { restored.push_back(b); });
    } catch (const Error&) {
        abort();
    }
    if (restored != content || !delta.eof()) abort();
    return 0;
}
