// Messages, errors and the one message table.
//
// Every failure the user can see is an `Error`: a numeric code, a dotted id naming the place
// of the failure ("StgFile.open.3"), and a text formatted from the table row of that id.
// An `Error` is thrown by value and owns its cause, so a caller that adds context catches by
// reference and moves the caught error into the cause of a new one:
//
//     catch (Error& e) { throw makeError(std::move(e), "LzReader.seek", pos, block, n); }
//
// What reaches the user is then a chain from the most general failure down to the operating
// system's own words (code 9000). Warnings that must not stop an operation are `Msg` values
// collected in a `MsgList`.
//
// Ids that are not in the table, and texts that fail to format, never throw: the message is
// created with code 9999, an empty id and an empty text.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// One message argument: an integer, a string, a pointer or a double, with its kind letter.
class MsgArg {
  public:
    MsgArg() : _kind('s'), _s("") {}
    MsgArg(int v) : _kind('d'), _d(v) {}
    MsgArg(unsigned v) : _kind('d'), _d(static_cast<int32_t>(v)) {}
    MsgArg(int64_t v) : _kind('d'), _d(static_cast<int32_t>(v)) {}
    MsgArg(uint64_t v) : _kind('d'), _d(static_cast<int32_t>(v)) {}
    MsgArg(const char* s) : _kind('s'), _s(s ? s : "") {}
    // The string must outlive the call that formats it; every make* call formats at once.
    MsgArg(const std::string& s) : _kind('s'), _s(s.c_str()) {}
    MsgArg(double v) : _kind('f'), _f(v) {}
    static MsgArg pointer(const void* p) {
        MsgArg a;
        a._kind = 'p';
        a._p = p;
        return a;
    }

    char kind() const { return _kind; }
    int32_t asInt() const { return _d; }
    const char* asString() const { return _s; }
    const void* asPointer() const { return _p; }
    double asDouble() const { return _f; }

  private:
    char _kind;
    union {
        int32_t _d;
        const char* _s;
        const void* _p;
        double _f;
    };
};

struct MsgDef {
    int32_t code;
    const char* id;
    const char* text;
    bool hasHelp;
};

struct Msg {
    int32_t code = 9999;
    const char* id = "";  // the caller's literal; never owned
    std::string text;     // at most 999 bytes
    bool hasHelp = false;
};

struct Error : Msg {
    Error() = default;
    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;
    // Copies the whole cause chain; only needed where an error must be kept and rethrown.
    Error(const Error& other);
    Error& operator=(const Error& other);

    std::unique_ptr<Error> cause;

    // The chain outermost first, each line "code id: text", for logs and test failures.
    std::string chainText() const;
    // True when this error or one of its causes has the code.
    bool hasCode(int32_t code) const;
};

using MsgList = std::vector<Msg>;

// The index of message rows. The engine's rows are registered before anything else; further
// tables (the desktop program's) are appended with registerMsgs. Among rows of equal id the
// first registered is found.
void registerMsgs(std::span<const MsgDef> rows);
std::span<const MsgDef> engineMsgs();
// The row for an id, trying the id and then each of its dotted prefixes; null if none.
// An id of 100 bytes or more is a verification failure.
const MsgDef* findMsgDef(std::string_view id);
// Expands {n} and {n:spec} placeholders; false when the result or a conversion does not fit
// the rules (bad placeholder, wrong argument kind, 1000 bytes or more).
bool formatMsg(std::string& out, size_t size, const char* text, std::span<const MsgArg, 9> args);

Msg makeMsg(const char* id, MsgArg a1 = {}, MsgArg a2 = {}, MsgArg a3 = {}, MsgArg a4 = {},
            MsgArg a5 = {}, MsgArg a6 = {}, MsgArg a7 = {}, MsgArg a8 = {}, MsgArg a9 = {});
Error makeError(const char* id, MsgArg a1 = {}, MsgArg a2 = {}, MsgArg a3 = {}, MsgArg a4 = {},
                MsgArg a5 = {}, MsgArg a6 = {}, MsgArg a7 = {}, MsgArg a8 = {}, MsgArg a9 = {});
Error makeError(Error cause, const char* id, MsgArg a1 = {}, MsgArg a2 = {}, MsgArg a3 = {},
                MsgArg a4 = {}, MsgArg a5 = {}, MsgArg a6 = {}, MsgArg a7 = {}, MsgArg a8 = {},
                MsgArg a9 = {});
// The error of the last failed system call (errno), code 9000; call it before anything else
// can change errno.
Error systemError();
Error systemError(int err);

// Where messages go: the front end installs one at start (tresmo-cli prints to stderr, the
// desktop program shows the message list dialog, tests record).
class Presenter {
  public:
    virtual ~Presenter() = default;
    virtual void showError(const Error& error) = 0;
    virtual void showMsgs(const MsgList& list) = 0;
    // Shows "Verification failed: %s(%d): %s"; the caller ends the process afterwards.
    virtual void verifyFailed(const char* file, int line, const char* expr) = 0;
};

// Installs a presenter (not owned); null restores the default, which writes to stderr.
// Returns the previous one.
Presenter* installPresenter(Presenter* p);
void showError(const Error& error);
void showMsgs(const MsgList& list);

// An internal consistency check failed: shows it and ends the process with exit code 1.
// Never used for bad data.
[[noreturn]] void verifyFailed(const char* file, int line, const char* expr);

#define VERIFY(cond) ((cond) ? static_cast<void>(0) : ::verifyFailed(__FILE__, __LINE__, #cond))
