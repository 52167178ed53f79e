// Writes one forged tree shape as an archive, for bench/tree-shapes.sh and the fuzz seeds:
//   tresmo_shape_forge SHAPE N ARCHIVE
// SHAPE is deep, deep-wide (N levels of two files), txns, wide, root-file or file-parent.
#include "tests/support/ArchiveForge.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SHAPE N ARCHIVE\n", argv[0]);
        return 2;
    }
    const char* shape = argv[1];
    const int n = std::atoi(argv[2]);
    std::filesystem::remove(argv[3]);
    forge::ArchiveWriter a(argv[3]);
    if (!std::strcmp(shape, "deep")) {
        forge::deepChain(a, n);
    } else if (!std::strcmp(shape, "deep-wide")) {
        forge::deepAndWide(a, n, 2);
    } else if (!std::strcmp(shape, "txns")) {
        forge::manyTransactions(a, n);
    } else if (!std::strcmp(shape, "wide")) {
        forge::wideFolder(a, n);
    } else if (!std::strcmp(shape, "root-file")) {
        forge::rootFile(a);
    } else if (!std::strcmp(shape, "file-parent")) {
        forge::fileParent(a);
    } else {
        std::fprintf(stderr, "unknown shape %s\n", shape);
        return 2;
    }
    a.finish();
    return 0;
}
