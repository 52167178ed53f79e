#include "archive/scan/ScanFilter.h"

#include "archive/support/paths.h"

#include <algorithm>
#include <cstring>

ScanFilter::ScanFilter(const FileSel& sel)
    : _root(sel.folder()),
      _includeSubfolders(sel.includeSubfolders()),
      _exceptions(sel.exceptions()),
      _hasExceptions(!sel.exceptions().empty()),
      _excludeMode(sel.excludeTypes()),
      _meta(sel.metaFormat()) {
    for (const std::string& t : sel.types())
        _types.push_back(TypeStat{t, true, 0, 0});
}

bool ScanFilter::scanSubfolder(const char* name) const {
    if (!_includeSubfolders) return false;
    if (!_hasExceptions) return true;
    size_t pos = 0;
    for (;;) {
        size_t end = _exceptions.find(',', pos);
        if (end == std::string::npos) end = _exceptions.size();
        size_t start = pos;
        while (start < end && _exceptions[start] == ' ')
            ++start;
        // Leading blanks are skipped, trailing ones stay part of the item.
        if (compareNames(_exceptions.substr(start, end - start), name) == 0) return false;
        if (end == _exceptions.size()) return true;
        pos = end + 1;
    }
}

std::string ScanFilter::typeOf(const char* name) {
    const char* slash = std::strrchr(name, '/');
    const char* last = slash ? slash + 1 : name;
    const char* dot = std::strrchr(last, '.');
    if (!dot || std::strlen(dot + 1) >= 20) return "";
    std::string t = dot + 1;
    for (char& c : t)
        c = toUpper(c);
    return t;
}

bool ScanFilter::accept(const char* name, int64_t size) {
    std::string type = typeOf(name);
    auto it = std::find_if(_types.begin(), _types.end(),
                           [&](const TypeStat& s) { return s.type == type; });
    TypeStat stat = it == _types.end() ? TypeStat{type, false, 0, 0} : *it;
    if (it != _types.end()) _types.erase(it);
    ++stat.count;
    stat.bytes += static_cast<double>(size);
    _types.insert(_types.begin(), stat);
    return stat.listed != _excludeMode;
}

int32_t ScanFilter::count(const std::string& type) const {
    for (const TypeStat& s : _types)
        if (s.type == type) return s.count;
    return 0;
}

double ScanFilter::bytes(const std::string& type) const {
    for (const TypeStat& s : _types)
        if (s.type == type) return s.bytes;
    return 0;
}

std::vector<TypeStat> ScanFilter::sortedTypes() const {
    std::vector<TypeStat> v = _types;
    std::sort(v.begin(), v.end(),
              [](const TypeStat& a, const TypeStat& b) { return a.type < b.type; });
    return v;
}
