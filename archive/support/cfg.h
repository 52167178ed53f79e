// Configuration settings and the string store.
//
// A setting is a named, typed value with a default compiled into the file that owns it. Owners
// register during static initialisation and keep the returned pointer:
//
//     static const int32_t* sectSize = intSetting("DataImage.sectSize", 64);
//
// `loadSettings` then overrides every registered value once at start from the string store,
// and owners read the live value through their pointer afterwards. Settings are never written
// back; a user changes one by adding a line "name=value" to the store file.
//
// The string store stands in for the product's registry key: one text file
// "$XDG_CONFIG_HOME/Norvik Software/Tresmo.conf" ("~/.config" when XDG_CONFIG_HOME is unset;
// TRESMO_CONFIG_DIR, when set, names the folder instead). One "name=value" line per value,
// with "\\" and "\n" escaping a backslash and a newline (and "\=" an '=' in a name). A line
// that does not parse is ignored, never fatal, and kept as it is when the file is rewritten.
// A write rewrites the whole file atomically under an exclusive lock on a separate lock file
// that is never renamed, and re-reads the file under that lock first, so two processes that
// write at once lose no value.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One registered setting. Entries form one list ordered by name (unsigned bytes); a name
// occurs once.
struct Setting {
    enum Type : int { INT = 0, DOUBLE = 1, STRING = 2 };

    std::string _name;
    int _type = INT;
    int32_t _int = 0;
    double _double = 0;
    std::string _string;
    // The values a number may take from the store; one outside (or NaN) leaves the setting as
    // it is, so a configuration value can never drive an algorithm out of its working range.
    double _lo = -HUGE_VAL;
    double _hi = HUGE_VAL;
    Setting* _next = nullptr;
};

// Register a setting with its default and return the live value, or null when memory ran out.
// Registering a name twice is a verification failure. A number read from the store outside
// [lo, hi] is ignored and the value stays.
const int32_t* intSetting(const char* name, int32_t def, int32_t lo = INT32_MIN,
                          int32_t hi = INT32_MAX);
const double* doubleSetting(const char* name, double def, double lo = -HUGE_VAL,
                            double hi = HUGE_VAL);
// The string object stays at its address; loading replaces its content.
const std::string* stringSetting(const char* name, const char* def);

// The entry of `name`. An existing entry must have this type and `create` must be false
// (verification failure otherwise); a missing one is inserted in name order with a zero or
// empty value. Null when memory ran out.
Setting* findSetting(const char* name, int type, bool create);
// The first entry of the ordered list (null when none is registered).
Setting* firstSetting();

// Overrides every registered setting from the string store, read into a 100-byte buffer each:
// a missing value or one of 100 bytes or more leaves the setting as it is. An integer takes
// the leading decimal number of the text (0 when there is none), a double the leading
// floating-point number, a string the text; a number outside the setting's range is ignored.
// Nothing is reported.
void loadSettings();
// Frees every entry; pointers handed out before are dangling afterwards.
void freeSettings();

// The string store. writeRegString returns 0, or the errno of the failure (callers ignore it).
// readRegString is true when the value exists and fits `size` bytes with its NUL.
int writeRegString(const char* name, const char* value);
bool readRegString(const char* name, char* buf, size_t size);

// The store file's path ("" when no folder can be named: no variable and no HOME).
std::string storePath();

// The file format, exposed for the fuzz target and the tests. Each line of the text becomes
// one entry; `valid` is false for a line that does not parse (its raw bytes are kept).
struct StoreLine {
    std::string raw;
    std::string name;
    std::string value;
    bool valid = false;
};
std::vector<StoreLine> parseStore(std::string_view text);
std::string formatStoreLine(std::string_view name, std::string_view value);
