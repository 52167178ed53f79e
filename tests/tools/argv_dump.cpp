// Writes its arguments, each ending in NUL, to $ARGV_DUMP_FILE, renamed into place when complete.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const char* out = std::getenv("ARGV_DUMP_FILE");
    if (!out) return 2;
    std::string tmp = std::string(out) + ".part";
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return 3;
    for (int i = 0; i < argc; ++i)
        std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, f);
    if (std::fclose(f) != 0) return 4;
    return std::rename(tmp.c_str(), out) == 0 ? 0 : 5;
}
