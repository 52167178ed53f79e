// Arbitrary bytes as a delta, restored against a fixed base of 4096 bytes with an output limit
// of 1 MiB, the way a stored version is restored from a damaged or crafted archive.
#include "tests/support/MemBase.h"
#include "tests/support/MemValues.h"

#include "archive/delta/DeltaDecoder.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> baseBytes = randomBytes(4096, 1);
    MemBase base(baseBytes);
    MemValueReader delta(std::span<const uint8_t>(data, size));
    uint64_t produced = 0;
    try {
        delta::applyDelta(delta, base, 1048576, [&](uint8_t) { ++produced; });
    } catch (const Error&) {
    }
    // The version's size bounds what a delta can make us write, whatever its numbers say.
    if (produced > 1048576) __builtin_trap();
    return 0;
}
