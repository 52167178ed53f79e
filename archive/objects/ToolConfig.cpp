#include "archive/objects/ToolConfig.h"

#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"
#include "archive/support/process.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t MAX_KEY = 100;
constexpr size_t MAX_VALUE = 1000;
constexpr size_t MAX_EXT = 19;

bool isExtChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Walks an extension list, calling f(ext) for each extension until f returns true.
// Returns 1 when f returned true, 0 at the end of a valid list, -1 at a syntax error.
template <class F>
int scanList(const std::string& list, F f) {
    size_t p = 0, n = list.size();
    while (p < n && list[p] == ' ')
        ++p;
    for (;;) {
        size_t start = p;
        while (p < n && isExtChar(list[p]))
            ++p;
        size_t len = p - start;
        if (len == 0 || len > MAX_EXT) return -1;
        if (f(std::string_view(list).substr(start, len))) return 1;
        while (p < n && list[p] == ' ')
            ++p;
        if (p == n) return 0;
        if (list[p] != ',') return -1;
        ++p;
        while (p < n && list[p] == ' ')
            ++p;
    }
}

bool sameExt(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (toUpper(a[i]) != toUpper(b[i])) return false;
    return true;
}

// Replaces every placeholder in text by value without rescanning what was inserted; appends
// a blank and the quoted value when there was none. False when the text reaches limit.
bool substitute(std::string& text, const char* placeholder, const std::string& value) {
    char buf[MAX_VALUE];
    if (text.size() >= sizeof buf) return false;
    std::strcpy(buf, text.c_str());
    int n = replaceAll(buf, sizeof buf, placeholder, value.c_str());
    if (n < 0) return false;
    if (n == 0 && !appendFormat(buf, sizeof buf, " \"%s\"", value.c_str())) return false;
    text = buf;
    return true;
}

}  // namespace

std::string ToolConfig::key(const char* what, int i) const {
    char buf[MAX_KEY];
    bool ok = i < 0 ? formatTo(buf, sizeof buf, "%s.%s", _name.c_str(), what)
                    : formatTo(buf, sizeof buf, "%s.%s%d", _name.c_str(), what, i);
    VERIFY(ok);
    return buf;
}

void ToolConfig::load() {
    char buf[MAX_VALUE];
    int n = readRegString(key("itemCount").c_str(), buf, sizeof buf) ? std::atoi(buf) : 0;
    // A damaged count must not read rows until memory runs out.
    n = std::clamp(n, 0, MAX_TOOLS);
    _entries.clear();
    for (int i = 0; i < n; ++i) {
        Entry e;
        if (readRegString(key("program", i).c_str(), buf, sizeof buf)) e.program = buf;
        if (readRegString(key("options", i).c_str(), buf, sizeof buf)) e.options = buf;
        if (readRegString(key("extList", i).c_str(), buf, sizeof buf)) e.extList = buf;
        _entries.push_back(std::move(e));
    }
    _loaded = true;
}

void ToolConfig::storeEntry(int i) const {
    const Entry& e = _entries.at(static_cast<size_t>(i));
    writeRegString(key("program", i).c_str(), e.program.c_str());
    writeRegString(key("options", i).c_str(), e.options.c_str());
    writeRegString(key("extList", i).c_str(), e.extList.c_str());
}

void ToolConfig::storeCount() const {
    writeRegString(key("itemCount").c_str(), std::to_string(_entries.size()).c_str());
}

int ToolConfig::count() {
    if (!_loaded) load();
    return static_cast<int>(_entries.size());
}

bool ToolConfig::validList(const std::string& list) {
    return scanList(list, [](std::string_view) { return false; }) == 0;
}

bool ToolConfig::contains(const std::string& list, const std::string& ext) {
    return scanList(list, [&](std::string_view e) { return sameExt(e, ext); }) == 1;
}

int ToolConfig::find(const std::string& path) {
    if (!_loaded) load();
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (ext.empty() || ext.size() > MAX_EXT) return -1;
    for (size_t i = 0; i < _entries.size(); ++i)
        if (contains(_entries[i].extList, ext)) return static_cast<int>(i);
    return -1;
}

bool ToolConfig::isValidExtList(const std::string& list, int i) const {
    if (!validList(list)) return false;
    for (size_t k = 0; k < _entries.size(); ++k) {
        if (static_cast<int>(k) == i) continue;
        const std::string& other = _entries[k].extList;
        if (scanList(list, [&](std::string_view e) { return contains(other, std::string(e)); }) ==
            1)
            return false;
    }
    return true;
}

void ToolConfig::add(const std::string& program, const std::string& options,
                     const std::string& extList) {
    _entries.push_back(Entry{program, options, extList});
    storeEntry(static_cast<int>(_entries.size()) - 1);
    storeCount();
}

void ToolConfig::replace(int i, const std::string& program, const std::string& options,
                         const std::string& extList) {
    _entries.at(static_cast<size_t>(i)) = Entry{program, options, extList};
    storeEntry(i);
}

void ToolConfig::move(int i, int j) {
    VERIFY(i != j);
    int lo = std::min(i, j), hi = std::max(i, j);
    Entry moved = std::move(_entries.at(static_cast<size_t>(lo)));
    for (int k = lo; k < hi; ++k)
        _entries[static_cast<size_t>(k)] = std::move(_entries[static_cast<size_t>(k + 1)]);
    _entries.at(static_cast<size_t>(hi)) = std::move(moved);
    for (int k = lo; k <= hi; ++k)
        storeEntry(k);
}

void ToolConfig::remove(int i) {
    int last = static_cast<int>(_entries.size()) - 1;
    _entries.at(static_cast<size_t>(i)) = Entry{};
    if (i != last) move(i, last);
    _entries.pop_back();
    storeCount();
}

bool ToolConfig::viewerCommand(char* out, size_t size, int i, const std::string& file) const {
    std::string text = options(i);
    if (!substitute(text, "%1", file)) return false;
    return formatTo(out, size, "\"%s\" %s", program(i).c_str(), text.c_str());
}

bool ToolConfig::diffCommand(char* out, size_t size, int i, const std::string& file1,
                             const std::string& file2) const {
    std::string text = options(i);
    if (!substitute(text, "%1", file1) || !substitute(text, "%2", file2)) return false;
    return formatTo(out, size, "\"%s\" %s", program(i).c_str(), text.c_str());
}

std::vector<std::string> ToolConfig::viewerArgv(int i, const std::string& file) const {
    std::string tmpl = "\"" + program(i) + "\" " + options(i);
    if (options(i).find("%1") == std::string::npos) tmpl += " \"%1\"";
    return expandCommandTemplate(tmpl, file);
}

std::vector<std::string> ToolConfig::diffArgv(int i, const std::string& file1,
                                              const std::string& file2) const {
    std::string tmpl = "\"" + program(i) + "\" " + options(i);
    if (options(i).find("%1") == std::string::npos) tmpl += " \"%1\"";
    if (options(i).find("%2") == std::string::npos) tmpl += " \"%2\"";
    return expandCommandTemplate(tmpl, file1, file2);
}

ToolConfig& viewerConfig() {
    static ToolConfig config("ViewerConfig");
    return config;
}

ToolConfig& diffToolConfig() {
    static ToolConfig config("DiffToolConfig");
    return config;
}

ToolConfig::Field ToolConfig::checkEntry(const std::string& program, const std::string& options,
                                         const std::string& extList, int i) const {
    // 99: the dialog's fields hold fewer characters than that.
    constexpr size_t FIELD_LIMIT = 99;
    if (program.size() >= FIELD_LIMIT || !isValidPath(program.c_str()) ||
        !pathExists(program.c_str()))
        return Field::Program;
    if (options.size() >= FIELD_LIMIT) return Field::Options;
    if (extList.size() >= FIELD_LIMIT || !isValidExtList(extList, i)) return Field::ExtList;
    return Field::None;
}
