// What status, ls and history add to a line in an archive that keeps file metadata: a link's
// target ("name -> target") and permission bits that differ from the default of their kind
// (0644 for files, 0755 for folders). Plain archives add nothing.
#pragma once

#include "archive/tree/TresmoData.h"

#include <string>

namespace cli {

class Session;

// The target of a stored link version, restored from the archive; "" for any other version.
std::string storedTarget(Session& s, const Node* node, const Version* v);
// The target of the link the scan saw at node in the watched folder; "" for anything else.
std::string scannedTarget(Session& s, const Node* node);
// "0700" for bits that differ from the default of kind (or always), "" for the default bits.
std::string modeText(uint16_t bits, NodeKind kind, bool always = false);
// The text a listing line ends with: " -> target" or " (mode 0700)", each escaped as names are.
std::string metaSuffix(const std::string& target, const std::string& mode);

}  // namespace cli
