// The count of files by type under a selection's folder, as the selection dialog lists it.
#pragma once

#include "archive/objects/FileSel.h"
#include "archive/scan/ScanFilter.h"

#include <vector>

class Progress;

// Scans sel's folder (with its subfolder rule and exceptions) and returns every type met or
// listed, ordered by type. Each file found advances progress by one and may cancel (2032).
// Throws the system error when the folder cannot be listed.
std::vector<TypeStat> scanTypes(const FileSel& sel, Progress& progress);
