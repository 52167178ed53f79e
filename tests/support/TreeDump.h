// The archive tree as text, one node by id with its versions oldest first, in the format of
// the golden dumps (tests/golden/history/*.dump, without their first line).
#pragma once

#include "archive/tree/TresmoData.h"

#include <string>

std::string dumpTree(const TresmoData& tree);
