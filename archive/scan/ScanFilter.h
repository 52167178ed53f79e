// The scan's working copy of a selection: which subfolders it enters, which files it takes,
// and how many files and bytes of each type it met on the way.
#pragma once

#include "archive/objects/FileSel.h"

#include <cstdint>
#include <string>
#include <vector>

struct TypeStat {
    std::string type;  // upper case, without the dot; empty for files without an extension
    bool listed = false;
    int32_t count = 0;
    double bytes = 0;
};

// The scan's working copy of a selection.
class ScanFilter {
  public:
    explicit ScanFilter(const FileSel& sel);

    const std::string& root() const { return _root; }
    bool scanSubfolder(const char* name) const;
    // Whether a file is taken; counts it by type either way.
    bool accept(const char* name, int64_t size);
    int32_t count(const std::string& type) const;
    double bytes(const std::string& type) const;
    // Every type met or listed, ordered by type (bytes, unsigned; the empty type first).
    std::vector<TypeStat> sortedTypes() const;
    // The type a file name is counted under.
    static std::string typeOf(const char* name);
    // Whether the scan takes symbolic links (as files holding their target) and reports empty
    // folders: the archive keeps file metadata. The selection's choice until the archive has
    // made its own.
    bool metaFormat() const { return _meta; }
    void setMetaFormat(bool on) { _meta = on; }

  private:
    std::string _root;
    bool _includeSubfolders;
    std::string _exceptions;
    bool _hasExceptions;
    bool _excludeMode;
    bool _meta;
    std::vector<TypeStat> _types;  // most recently met first
};
