// Path and string functions over fixed buffers.
//
// Paths are byte strings with '/' between components; the root "/" plays the part a drive
// root plays elsewhere: it is the first component of an absolute path, the parent of "/a" is
// "/", and "/" itself has no parent. No trailing '/' except on the root.
//
// Every function that writes into a caller's buffer takes its size in bytes and returns false,
// leaving the buffer undefined, when the result with its terminating NUL does not fit: a result
// of size - 1 characters fits, one of size characters does not. Nothing here throws.
//
// Names compare without regard to letter case through toUpper: a to z and the Latin-1 letters
// 0xE0 to 0xFE except 0xF7 map down by 0x20, every other byte stays.
#pragma once

#include <cstddef>

constexpr size_t MAX_PATH = 260;
constexpr char PATH_SEP = '/';

#include <string>
#include <string_view>

char toUpper(char ch);
// The one name order, of the archive's tree and of every path comparison: bytes compared
// through toUpper, a proper prefix first. -1, 0 or 1.
int compareNames(std::string_view a, std::string_view b);

// Building.
// dir + '/' + name; no '/' is added when dir is empty or already ends with one.
bool buildFilePath(char* buf, size_t size, const char* dir, const char* name);
// dir + '/' + name + '.' + ext; no '/' is added when dir ends with one (an empty dir gives
// "/name.ext").
bool buildFilePath(char* buf, size_t size, const char* dir, const char* name, const char* ext);
// Appends '/' and name in place; no '/' when buf is non-empty and ends with one.
bool appendPath(char* buf, size_t size, const char* name);
// src up to end (all of src when end is null).
bool copyPart(char* buf, size_t size, const char* src, const char* end);

// Taking apart.
// The part after the last '/' (all of path without one; empty after a trailing '/').
bool getFileName(char* buf, size_t size, const char* path);
// The file name up to its last '.' (the whole name when it has none).
bool getFileTitle(char* buf, size_t size, const char* path);
// The file name after its last '.' (empty when it has none).
bool getFileExt(char* buf, size_t size, const char* path);
// The part before the last '/'; "/" for "/a", empty for "/" itself; false without a '/'.
bool getParentPath(char* buf, size_t size, const char* path);
// As getParentPath, but false also for a path ending with '/' (so the root has none).
bool getDirPath(char* buf, size_t size, const char* path);
// The first component; for an absolute path that is the root "/".
bool firstComponent(char* buf, size_t size, const char* path);

// Components and comparison.
// The component at p: the root "/" when p is at a '/' (the start of an absolute path), else
// the name up to the next '/' or the end. Afterwards p is at the next component's start (past
// the '/' that ends this one). False at the end of the string.
bool nextComponent(const char*& p, const char*& start, const char*& end);
// Compares the name components at a and b (each after one optional leading '/') through
// toUpper up to a '/' or NUL: 0 if both end together, -1 if a ends first, 1 if b ends first,
// else -1 or 1 by the first differing byte.
int compareComponent(const char* a, const char* b);
// Component by component: 0 equal, -1 when a is an ancestor of b, 1 when b is one of a,
// -2 or 2 by the first differing component.
int comparePaths(const char* a, const char* b);
// Counts the equal leading components; both pointers are left at the end of the last equal
// component, so the rest of each starts with its '/'. Unchanged when nothing is equal.
int commonComponents(const char*& a, const char*& b);
// Whole strings through toUpper: -1, 0 or 1.
int compareNoCase(const char* a, const char* b);
// Re-bases folder, stored relative to the file oldRef, onto the file newRef: at least two
// common components (the root and one name) are needed, and newRef must keep two of its own.
// "/proj/src" with oldRef "/proj/a.sel" and newRef "/data/proj/a.sel" gives "/data/proj/src".
bool relocatePath(char* buf, size_t size, const char* folder, const char* oldRef,
                  const char* newRef);

// The absolute path with empty and "." components and a trailing '/' dropped, each ".."
// taking away the component before it (the root stays the root). False when path is not
// absolute or the result does not fit.
bool normalizePath(char* buf, size_t size, const char* path);

// Checks.
// An absolute path: "/" alone, or '/'-separated names of name characters, without an empty
// component, a trailing '/', or a "." or ".." component.
bool isValidPath(const char* path);
// Any byte from 0x20 up except '/' and 0x7F; names are bytes, so UTF-8 passes.
bool isNameChar(char ch);
// The root "/".
bool isDriveRoot(const char* path);
// Something exists at path (a symbolic link counts as itself, whatever it points to).
bool pathExists(const char* path);
// A folder, not a symbolic link to one.
bool isDirectory(const char* path);
// Creates the folder at path and its missing parents with mode (less the umask). True when
// path is then a folder (a link to one counts); false with errno set.
bool makeFolders(const std::string& path, unsigned mode);

// Strings.
bool endsWith(const char* s, const char* suffix);
bool formatTo(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Formats at the current end of buf; size is the whole buffer's.
bool appendFormat(char* buf, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void replaceChar(char* s, char from, char to);
// Replaces every occurrence of needle in place, scanning on after each inserted replacement.
// Returns the count, or -1 as soon as the next replacement would not fit (those made so far
// stay). An empty needle replaces nothing.
int replaceAll(char* buf, size_t size, const char* needle, const char* replacement);

// Text for a terminal that may hold names from an archive or a command line: bytes below
// 0x20, 0x7F and the backslash become \xNN, as in git's quoted paths, so a stored name can
// neither send escape sequences nor fake a line of a listing. Bytes from 0x80 pass as they
// are. Every listing line and message that carries a name goes through here; JSON output
// escapes by its own rules instead.
std::string escapedName(std::string_view text);
