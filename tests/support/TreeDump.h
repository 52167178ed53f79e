// The archive tree as text, nodes by id with versions oldest first, as in tests/golden/history.
#pragma once

#include "archive/tree/TresmoData.h"

#include <string>

std::string dumpTree(const TresmoData& tree);
