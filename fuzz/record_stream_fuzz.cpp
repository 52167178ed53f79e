// Arbitrary bytes as the record stream of one archive, replayed into an empty tree.
#include "tests/support/MemValues.h"

#include "archive/ops/RecordStream.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TresmoData tree;
    tree.setNow(2000000000);
    tree.setName("fuzz");
    MemValueReader in(std::span<const uint8_t>(data, size));
    try {
        RecordReplay(tree).run(in);
    } catch (const Error&) {
    }
    char buf[260];
    if (tree.root()) tree.printPath(buf, sizeof buf, tree.root()->firstChild);
    return 0;
}
