// Writes its arguments, argv[0] included, each followed by a NUL byte, to the file named by
// the environment variable ARGV_DUMP_FILE. The file appears under its name only when complete,
// so a test that started this program without waiting can poll for it.
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
