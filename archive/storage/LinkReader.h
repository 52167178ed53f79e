// The content of a symbolic link as a save stores it: the link's target, read with readlink
// (the link is never opened, so never followed), measured by lstat: size() is the target's
// length and mtime() the link's own time. A link replaced or retargeted while it was read is
// reported through changedWhileRead(), as FileReader reports a changed file; failures are
// thrown as 3600 with the system error as cause (EINVAL when the path is no longer a link).
#pragma once

#include "archive/storage/ByteSource.h"

#include <ctime>
#include <string>

class LinkReader final : public ByteSource {
  public:
    // Targets are shorter than a path may be.
    static constexpr size_t MAX_TARGET = 4096;

    explicit LinkReader(std::string path) : ByteSource(MAX_TARGET), _path(std::move(path)) {}

    void open() override;
    // The whole target is in the buffer from open(): a shift only drops bytes.
    void shift(size_t n) override;
    uint32_t close() override;

  private:
    std::string _path;
    uint32_t _crc = 0;
};
