#include "archive/support/cfg.h"

#include "archive/os/os.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <locale.h>
#include <new>
#include <sys/file.h>

namespace {

// Function-local, so that registration from static initialisers in any file of the library
// finds the list constructed whatever the order of initialisation.
Setting*& listHead() {
    static Setting* head = nullptr;
    return head;
}

// A store file larger than this is not read: it cannot come from us, and reading it whole
// must not take unbounded memory. A write then fails instead of dropping its content.
constexpr off_t MAX_STORE_SIZE = 16 << 20;

std::string configDir() {
    const char* dir = std::getenv("TRESMO_CONFIG_DIR");
    if (dir && *dir) return dir;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    // The base directory rules say a relative value is to be ignored.
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/Norvik Software";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config/Norvik Software";
    return "";
}

// The whole file; a missing file is empty. False (errno set) on any other failure.
bool readStoreFile(const std::string& path, std::string& out) {
    out.clear();
    int fd = os::sys().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return errno == ENOENT;
    struct stat st;
    bool ok = os::sys().fstat(fd, &st) == 0;
    if (ok && st.st_size > MAX_STORE_SIZE) {
        errno = EFBIG;
        ok = false;
    }
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        ssize_t n = os::readFull(fd, out.data(), out.size());
        ok = n >= 0;
        if (ok) out.resize(static_cast<size_t>(n));
    }
    os::closeQuietly(fd);
    return ok;
}

const StoreLine* findLine(const std::vector<StoreLine>& lines, std::string_view name) {
    // The last line of a name wins, as it would if the user appended an edit.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->valid && it->name == name) return &*it;
    return nullptr;
}

void escapeInto(std::string& out, std::string_view s, bool isName) {
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '=':
                if (isName) out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    }
}

// Unescapes s[pos..] up to an unescaped '=' (when stopAtEquals) or the end. False on a
// broken escape or a NUL byte.
bool unescape(std::string_view s, size_t& pos, std::string& out, bool stopAtEquals) {
    while (pos < s.size()) {
        char c = s[pos];
        if (c == '\0') return false;
        if (c == '=' && stopAtEquals) return true;
        if (c == '\\') {
            if (++pos == s.size()) return false;
            switch (s[pos]) {
                case '\\':
                    out += '\\';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case '=':
                    out += '=';
                    break;
                default:
                    return false;
            }
        } else {
            out += c;
        }
        ++pos;
    }
    return !stopAtEquals;
}

StoreLine parseLine(std::string_view raw) {
    StoreLine line;
    line.raw = raw;
    std::string_view s = raw;
    // Tolerate a file edited with CR LF line ends; a CR of a value is always escaped.
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    size_t pos = 0;
    if (!unescape(s, pos, line.name, true) || line.name.empty()) return line;
    ++pos;
    if (!unescape(s, pos, line.value, false)) return line;
    line.valid = true;
    return line;
}

const char* skipBlanks(const char* s) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    return s;
}

// The leading decimal number of the text, 0 when there is none; out-of-range values saturate.
// Unlike atoi this never has undefined behaviour on a huge number.
int32_t parseInt(const char* text) {
    const char* s = skipBlanks(text);
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    int64_t v = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        v = v * 10 + (*s - '0');
        if (v > int64_t(INT32_MAX) + 1) break;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The leading floating-point number as atof reads it, 0 when there is none, but always with
// the "C" locale's decimal point: a decimal comma locale must not turn "0.25" into 0.
double parseDouble(const char* text) {
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return cLocale ? ::strtod_l(text, nullptr, cLocale) : std::strtod(text, nullptr);
}

}  // namespace

Setting* firstSetting() {
    return listHead();
}

Setting* findSetting(const char* name, int type, bool create) {
    std::string_view key(name);
    Setting** link = &listHead();
    // std::string compares with memcmp, so the order is that of unsigned bytes.
    while (*link && std::string_view((*link)->_name) < key)
        link = &(*link)->_next;
    if (*link && (*link)->_name == key) {
        Setting* p = *link;
        VERIFY(p->_type == type && !create);
        return p;
    }
    Setting* p = new (std::nothrow) Setting;
    if (!p) return nullptr;
    try {
        p->_name = key;
    } catch (const std::bad_alloc&) {
        delete p;
        return nullptr;
    }
    p->_type = type;
    p->_next = *link;
    *link = p;
    return p;
}

const int32_t* intSetting(const char* name, int32_t def, int32_t lo, int32_t hi) {
    Setting* p = findSetting(name, Setting::INT, true);
    if (!p) return nullptr;
    p->_int = def;
    p->_lo = lo;
    p->_hi = hi;
    return &p->_int;
}

const double* doubleSetting(const char* name, double def, double lo, double hi) {
    Setting* p = findSetting(name, Setting::DOUBLE, true);
    if (!p) return nullptr;
    p->_double = def;
    p->_lo = lo;
    p->_hi = hi;
    return &p->_double;
}

const std::string* stringSetting(const char* name, const char* def) {
    Setting* p = findSetting(name, Setting::STRING, true);
    if (!p) return nullptr;
    try {
        p->_string = def ? def : "";
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return &p->_string;
}

void loadSettings() {
    char buf[100];
    for (Setting* p = listHead(); p; p = p->_next) {
        if (!readRegString(p->_name.c_str(), buf, sizeof buf)) continue;
        if (p->_type == Setting::STRING) {
            p->_string = buf;
            continue;
        }
        double v = p->_type == Setting::INT ? parseInt(buf) : parseDouble(buf);
        // Written so that NaN fails too.
        if (!(v >= p->_lo && v <= p->_hi)) continue;
        if (p->_type == Setting::INT)
            p->_int = static_cast<int32_t>(v);
        else
            p->_double = v;
    }
}

void freeSettings() {
    Setting* p = listHead();
    listHead() = nullptr;
    while (p) {
        Setting* next = p->_next;
        delete p;
        p = next;
    }
}

std::string storePath() {
    std::string dir = configDir();
    return dir.empty() ? dir : dir + "/Tresmo.conf";
}

std::vector<StoreLine> parseStore(std::string_view text) {
    std::vector<StoreLine> lines;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        std::string_view raw = text.substr(0, nl);
        lines.push_back(parseLine(raw));
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return lines;
}

std::string formatStoreLine(std::string_view name, std::string_view value) {
    std::string out;
    escapeInto(out, name, true);
    out += '=';
    escapeInto(out, value, false);
    return out;
}

bool readRegString(const char* name, char* buf, size_t size) {
    std::string path = storePath();
    std::string text;
    if (path.empty() || !readStoreFile(path, text)) return false;
    std::vector<StoreLine> lines = parseStore(text);
    const StoreLine* line = findLine(lines, name);
    if (!line || line->value.size() >= size) return false;
    std::memcpy(buf, line->value.c_str(), line->value.size() + 1);
    return true;
}

int writeRegString(const char* name, const char* value) {
    if (!name || !*name || !value) return EINVAL;
    std::string dir = configDir();
    if (dir.empty()) return ENOENT;
    if (!makeFolders(dir, 0700)) return errno;
    // The lock lives in its own file: the store itself is replaced by rename, and a lock held
    // on a replaced file would not exclude a writer that opened the new one.
    std::string lockPath = dir + "/Tresmo.conf.lock";
    int lockFd = os::openLocked(lockPath.c_str(), O_RDWR | O_CREAT, 0600, os::Lock::Exclusive, -1);
    if (lockFd < 0) return errno;
    // Read again under the lock: another process may have written since we last looked.
    std::string path = dir + "/Tresmo.conf";
    std::string text;
    int err = 0;
    if (!readStoreFile(path, text)) {
        err = errno;
    } else {
        std::vector<StoreLine> lines = parseStore(text);
        std::string line = formatStoreLine(name, value);
        std::string out;
        bool replaced = false;
        const StoreLine* last = findLine(lines, name);
        for (const StoreLine& l : lines) {
            out += &l == last ? line : l.raw;
            out += '\n';
            replaced |= &l == last;
        }
        if (!replaced) out += line + '\n';
        if (!os::writeFileAtomic(path, out)) err = errno;
    }
    // Closing the descriptor releases the lock.
    os::closeQuietly(lockFd);
    return err;
}
