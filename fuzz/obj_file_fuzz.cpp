// Arbitrary bytes as an object file, read the way a selection file is read.
#include "archive/objects/ObjIo.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/obj_file_fuzz." + std::to_string(getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    try {
        ObjFileReader r(1010, 1010);
        r.open(path);
        r.readString(260);
        r.readString(260);
        r.readBool();
        r.readString(100);
        r.readBool();
        while (r.readBool())
            r.readString(20);
        r.readNumber();
        r.end();
    } catch (const Error&) {
    }
    std::remove(path.c_str());
    return 0;
}
