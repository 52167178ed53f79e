// Arbitrary bytes as a storage file: open it, read every transaction's record stream with its
// CRC checks, and every content or delta item whose header appears in the bytes, block by
// block and by random block access; then the same through the value reader, decompressed. Any Error
// is a correct answer; a crash, hang or unbounded allocation is not.
#include "archive/storage/StgFile.h"
#include "archive/storage/StgItem.h"
#include "archive/storage/StgReadBuffer.h"
#include "archive/storage/StgReader.h"
#include "archive/support/msg.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

std::string scratchPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/stg_file_fuzz." + std::to_string(getpid());
}

void drain(StgReadBuffer& r) {
    uint8_t c;
    while (r.get(c) != 0) {
    }
}

void readChain(StgFile& f) {
    StgReadBuffer r(f, StgFile::FILE_HEADER_LEN, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    r.start();
    do
        drain(r);
    while (r.next());
}

void readItem(StgFile& f, uint64_t pos, uint32_t type) {
    StgReadBuffer r(f, pos, type | stg::INDEX_BLOCKS);
    r.start();
    do
        drain(r);
    while (r.next());
    size_t n = r.blockIndex().size();
    // Backwards, as a seek into a restored file would.
    for (size_t i = n; i-- > 0;) {
        r.seekBlock(static_cast<uint32_t>(i));
        drain(r);
    }
}

// Decompressed, as a load and a restore read them. The coder never yields more than 65536
// bytes per block, so the count is bounded by the input.
void readValues(StgFile& f, uint64_t pos, uint32_t mode) {
    StgReader r(f, pos, mode);
    r.start();
    while (!r.eof())
        r.readByte();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = scratchPath();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    bool ok = size == 0 || ::write(fd, data, size) == static_cast<ssize_t>(size);
    ::close(fd);
    if (!ok) return 0;

    StgFile f(path, 20, 10);
    try {
        f.open();
        if (f.committedSize() != StgFile::FILE_HEADER_LEN) readChain(f);
    } catch (const Error&) {
    }
    try {
        if (f.isOpen() && f.committedSize() != StgFile::FILE_HEADER_LEN)
            readValues(f, StgFile::FILE_HEADER_LEN, stg::TXN_SEQUENCE | stg::CHECK_CRC);
    } catch (const Error&) {
    }
    if (f.isOpen()) {
        int items = 0;
        for (size_t i = StgFile::FILE_HEADER_LEN; i + 10 <= size && items < 16; ++i) {
            if (std::memcmp(data + i, stg::ITEM_MARK, 4) != 0) continue;
            uint32_t type = data[i + 4] & 0x7F;
            if (data[i + 4] < 0x80 || (type != stg::FILE_CONTENT && type != stg::FILE_DIFF))
                continue;
            ++items;
            try {
                readItem(f, i, type);
            } catch (const Error&) {
            }
            try {
                readValues(f, i, type);
            } catch (const Error&) {
            }
        }
        f.close();
    }
    ::unlink(path.c_str());
    return 0;
}
