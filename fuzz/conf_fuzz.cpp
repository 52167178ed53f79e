// The settings store is a text file the user may edit by hand: any bytes must parse without a
// crash, every line must keep its raw bytes (a rewrite writes them back unchanged), and every
// line that parses must come back the same after it is written out again.
#include "archive/support/cfg.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<StoreLine> lines = parseStore(text);
    std::string rewritten;
    for (const StoreLine& line : lines) {
        if (line.raw.find('\n') != std::string::npos) std::abort();
        rewritten += line.raw + '\n';
        if (!line.valid) continue;
        std::vector<StoreLine> again = parseStore(formatStoreLine(line.name, line.value));
        if (again.size() != 1 || !again[0].valid || again[0].name != line.name ||
            again[0].value != line.value)
            std::abort();
    }
    if (parseStore(rewritten).size() != lines.size()) std::abort();
    return 0;
}
