// The delta of a file version against its base (the previous full content): a sequence of
// operations, each an op byte followed by its operands in the storage value formats.
//
//   'A' number n, then n bytes     append these n new bytes
//   'B' number start, number end   append the base bytes [start, end)
//   'C'                            end of the delta
//
// The base is always a full content, never another delta, so a version is restored from at
// most two items.
#pragma once

#include <cstdint>

namespace delta {

constexpr uint8_t OP_ADD = 'A';
constexpr uint8_t OP_BASE = 'B';
constexpr uint8_t OP_END = 'C';

}  // namespace delta
