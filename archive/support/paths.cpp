#include "archive/support/paths.h"

#include "archive/os/os.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace {

// Writes the concatenation of parts into buf. The parts may lie inside buf (callers often
// pass the same buffer as source and result), so they are measured first and copied through
// memmove from the last to the first only when no part would be overwritten before it is
// read; otherwise through a temporary copy.
bool assemble(char* buf, size_t size, std::initializer_list<std::string_view> parts) {
    size_t total = 0;
    for (std::string_view p : parts)
        total += p.size();
    if (total >= size) return false;
    // std::less gives a total order even for pointers into different objects.
    std::less<const char*> before;
    bool overlap = false;
    for (std::string_view p : parts)
        if (before(p.data(), buf + size) && before(buf, p.data() + p.size())) overlap = true;
    if (overlap) {
        std::string tmp;
        tmp.reserve(total);
        for (std::string_view p : parts)
            tmp += p;
        std::memcpy(buf, tmp.c_str(), total + 1);
        return true;
    }
    char* out = buf;
    for (std::string_view p : parts) {
        std::memcpy(out, p.data(), p.size());
        out += p.size();
    }
    *out = 0;
    return true;
}

const char* fileNameOf(const char* path) {
    const char* slash = std::strrchr(path, PATH_SEP);
    return slash ? slash + 1 : path;
}

bool endsWithSep(std::string_view s) {
    return !s.empty() && s.back() == PATH_SEP;
}

int compareRange(const char* a, const char* ae, const char* b, const char* be) {
    return compareNames(std::string_view(a, static_cast<size_t>(ae - a)),
                        std::string_view(b, static_cast<size_t>(be - b)));
}

// The component at p, after one optional leading '/', up to the next '/' or the end.
std::string_view componentAt(const char* p) {
    if (*p == PATH_SEP) ++p;
    const char* e = p;
    while (*e && *e != PATH_SEP)
        ++e;
    return std::string_view(p, static_cast<size_t>(e - p));
}

bool vformatAt(char* at, size_t room, const char* format, va_list args) {
    if (room == 0) return false;
    int n = std::vsnprintf(at, room, format, args);
    return n >= 0 && static_cast<size_t>(n) < room;
}

}  // namespace

char toUpper(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<char>(c - 0x20);
    return ch;
}

int compareNames(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(toUpper(a[i]));
        unsigned char y = static_cast<unsigned char>(toUpper(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool buildFilePath(char* buf, size_t size, const char* dir, const char* name) {
    std::string_view d(dir);
    std::string_view sep = d.empty() || endsWithSep(d) ? "" : "/";
    return assemble(buf, size, {d, sep, name});
}

bool buildFilePath(char* buf, size_t size, const char* dir, const char* name, const char* ext) {
    std::string_view d(dir);
    std::string_view sep = endsWithSep(d) ? "" : "/";
    return assemble(buf, size, {d, sep, name, ".", ext});
}

bool appendPath(char* buf, size_t size, const char* name) {
    std::string_view b(buf, strnlen(buf, size));
    if (b.size() >= size) return false;
    std::string_view sep = endsWithSep(b) ? "" : "/";
    return assemble(buf, size, {b, sep, name});
}

bool copyPart(char* buf, size_t size, const char* src, const char* end) {
    size_t n = end ? static_cast<size_t>(end - src) : std::strlen(src);
    return assemble(buf, size, {std::string_view(src, n)});
}

bool getFileName(char* buf, size_t size, const char* path) {
    return copyPart(buf, size, fileNameOf(path), nullptr);
}

bool getFileTitle(char* buf, size_t size, const char* path) {
    const char* name = fileNameOf(path);
    return copyPart(buf, size, name, std::strrchr(name, '.'));
}

bool getFileExt(char* buf, size_t size, const char* path) {
    const char* dot = std::strrchr(fileNameOf(path), '.');
    return copyPart(buf, size, dot ? dot + 1 : "", nullptr);
}

bool getParentPath(char* buf, size_t size, const char* path) {
    const char* last = std::strrchr(path, PATH_SEP);
    if (!last) return false;
    // The root's '/' belongs to it: "/a" has the parent "/", and "/" has none (empty).
    if (last == path) return copyPart(buf, size, path[1] ? "/" : "", nullptr);
    return copyPart(buf, size, path, last);
}

bool getDirPath(char* buf, size_t size, const char* path) {
    if (endsWithSep(path)) return false;
    return getParentPath(buf, size, path);
}

bool firstComponent(char* buf, size_t size, const char* path) {
    const char *start, *end;
    if (!nextComponent(path, start, end)) return false;
    return copyPart(buf, size, start, end);
}

bool nextComponent(const char*& p, const char*& start, const char*& end) {
    if (*p == 0) return false;
    start = p;
    if (*p == PATH_SEP) {
        end = p + 1;
    } else {
        end = std::strchr(p, PATH_SEP);
        if (!end) end = p + std::strlen(p);
    }
    p = end;
    while (*p == PATH_SEP)
        ++p;
    return true;
}

int compareComponent(const char* a, const char* b) {
    return compareNames(componentAt(a), componentAt(b));
}

int comparePaths(const char* a, const char* b) {
    const char *sa, *ea, *sb, *eb;
    for (;;) {
        bool hasA = nextComponent(a, sa, ea);
        bool hasB = nextComponent(b, sb, eb);
        if (!hasA || !hasB) return hasA == hasB ? 0 : hasA ? 1 : -1;
        int c = compareRange(sa, ea, sb, eb);
        if (c) return 2 * c;
    }
}

int commonComponents(const char*& a, const char*& b) {
    const char *pa = a, *pb = b, *sa, *ea, *sb, *eb;
    int n = 0;
    while (nextComponent(pa, sa, ea) && nextComponent(pb, sb, eb) &&
           compareRange(sa, ea, sb, eb) == 0) {
        ++n;
        a = ea;
        b = eb;
    }
    return n;
}

int compareNoCase(const char* a, const char* b) {
    return compareNames(a, b);
}

bool relocatePath(char* buf, size_t size, const char* folder, const char* oldRef,
                  const char* newRef) {
    const char* rest = folder;
    const char* oldRest = oldRef;
    if (commonComponents(oldRest, rest) < 2) return false;
    // oldRest is at the '/' that ends the common part; what follows are oldRef's own parts.
    while (*oldRest == PATH_SEP)
        ++oldRest;
    const char *start, *end;
    int oldOwn = 0;
    while (nextComponent(oldRest, start, end))
        ++oldOwn;
    // Keep all of newRef but as many trailing components as oldRef had after the common part.
    const char* p = newRef;
    int total = 0;
    while (nextComponent(p, start, end))
        ++total;
    int k = total - oldOwn;
    if (k < 2) return false;
    p = newRef;
    for (int i = 0; i < k; ++i)
        nextComponent(p, start, end);
    return assemble(buf, size, {std::string_view(newRef, static_cast<size_t>(end - newRef)), rest});
}

bool normalizePath(char* buf, size_t size, const char* path) {
    if (path[0] != PATH_SEP) return false;
    std::string out;
    for (const char* p = path; *p;) {
        while (*p == PATH_SEP)
            ++p;
        const char* start = p;
        while (*p && *p != PATH_SEP)
            ++p;
        std::string_view name(start, static_cast<size_t>(p - start));
        if (name == "..")
            out.resize(out.empty() ? 0 : out.rfind(PATH_SEP));
        else if (!name.empty() && name != ".")
            out.append(1, PATH_SEP).append(name);
    }
    return copyPart(buf, size, out.empty() ? "/" : out.c_str(), nullptr);
}

bool isValidPath(const char* path) {
    if (path[0] != PATH_SEP) return false;
    if (path[1] == 0) return true;
    const char* p = path + 1;
    for (;;) {
        const char* start = p;
        while (*p && *p != PATH_SEP) {
            if (!isNameChar(*p)) return false;
            ++p;
        }
        std::string_view name(start, static_cast<size_t>(p - start));
        // Empty names come from "//" or a trailing '/'; "." and ".." would leave the path.
        if (name.empty() || name == "." || name == "..") return false;
        if (*p == 0) return true;
        ++p;
    }
}

bool isNameChar(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c != PATH_SEP && c != 0x7F;
}

bool isDriveRoot(const char* path) {
    return path[0] == PATH_SEP && path[1] == 0;
}

bool pathExists(const char* path) {
    struct stat st;
    return os::sys().lstat(path, &st) == 0;
}

bool isDirectory(const char* path) {
    struct stat st;
    return os::sys().lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeFolders(const std::string& path, unsigned mode) {
    // Each prefix in turn, the root's first: no recursion however deep the path.
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && os::sys().mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            return false;
        if (end == std::string::npos) break;
    }
    struct stat st;
    if (os::sys().stat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
}

bool endsWith(const char* s, const char* suffix) {
    return std::string_view(s).ends_with(suffix);
}

bool formatTo(char* buf, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool ok = vformatAt(buf, size, format, args);
    va_end(args);
    return ok;
}

bool appendFormat(char* buf, size_t size, const char* format, ...) {
    size_t len = strnlen(buf, size);
    if (len >= size) return false;
    va_list args;
    va_start(args, format);
    bool ok = vformatAt(buf + len, size - len, format, args);
    va_end(args);
    return ok;
}

void replaceChar(char* s, char from, char to) {
    for (; *s; ++s)
        if (*s == from) *s = to;
}

int replaceAll(char* buf, size_t size, const char* needle, const char* replacement) {
    size_t nl = std::strlen(needle);
    if (nl == 0) return 0;
    size_t rl = std::strlen(replacement);
    size_t len = std::strlen(buf);
    int count = 0;
    char* p = buf;
    while (char* q = std::strstr(p, needle)) {
        size_t newLen = len - nl + rl;
        if (newLen >= size) return -1;
        size_t tail = len - static_cast<size_t>(q - buf) - nl;
        std::memmove(q + rl, q + nl, tail + 1);
        std::memcpy(q, replacement, rl);
        len = newLen;
        p = q + rl;
        ++count;
    }
    return count;
}

std::string escapedName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", b);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}
