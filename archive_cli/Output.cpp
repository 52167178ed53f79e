#include "archive_cli/Output.h"

#include "archive_cli/Cli.h"

#include "archive/os/os.h"
#include "archive/support/paths.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace cli {

namespace {

std::atomic<bool> progressShown{false};

}  // namespace

void setProgressLine(bool shown) {
    progressShown = shown;
}

void clearProgressLine() {
    if (progressShown.exchange(false)) std::fputs("\r\x1b[K", stderr);
}

void CliPresenter::print(const Error& error) {
    clearProgressLine();
    for (const Error* e = &error; e; e = e->cause.get()) {
        if (e->text.empty())
            std::fprintf(stderr, "tresmo-cli: Error %d\n", e->code);
        else
            std::fprintf(stderr, "tresmo-cli: Error %d: %s\n", e->code,
                         escapedName(e->text).c_str());
    }
}

void CliPresenter::showError(const Error& error) {
    if (_capturing)
        _captured.push_back(error);
    else
        print(error);
}

void CliPresenter::showMsgs(const MsgList& list) {
    for (const Msg& m : list) {
        // Quiet keeps the warnings that name data a save did not store.
        bool notSaved = m.code == 2039 || (m.code >= 3700 && m.code <= 3706);
        if (_quiet && !notSaved) continue;
        clearProgressLine();
        std::fprintf(stderr, "tresmo-cli: Warning %d: %s\n", m.code, escapedName(m.text).c_str());
    }
}

void CliPresenter::verifyFailed(const char* file, int line, const char* expr) {
    std::fprintf(stderr, "tresmo-cli: Internal Error: Verification failed: %s(%d): %s\n", file,
                 line, expr);
}

std::vector<Error> CliPresenter::takeCaptured() {
    std::vector<Error> out = std::move(_captured);
    _captured.clear();
    return out;
}

CliPresenter& presenter() {
    static CliPresenter p;
    return p;
}

std::string counted(int64_t n, const std::string& noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string humanBytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024 && u < 4) {
        bytes /= 1024;
        ++u;
    }
    char buf[32];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%.0f B", bytes);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", bytes, units[u]);
    return buf;
}

char stateLetter(NodeState state) {
    switch (state) {
        case NodeState::Unchanged:
            return ' ';
        case NodeState::Modified:
            return 'M';
        case NodeState::Added:
            return 'A';
        case NodeState::Removed:
            return 'D';
        case NodeState::None:
            break;
    }
    return '!';
}

const char* stateName(NodeState state) {
    switch (state) {
        case NodeState::Unchanged:
            return "unchanged";
        case NodeState::Modified:
            return "modified";
        case NodeState::Added:
            return "added";
        case NodeState::Removed:
            return "removed";
        case NodeState::None:
            break;
    }
    return "none";
}

bool colourOut() {
    static const bool on = [] {
        const char* no = std::getenv("NO_COLOR");
        const char* term = std::getenv("TERM");
        return (!no || !*no) && !(term && std::string_view(term) == "dumb") &&
               os::isTerminal(STDOUT_FILENO);
    }();
    return on;
}

std::string colouredState(NodeState state) {
    std::string letter(1, stateLetter(state));
    if (!colourOut()) return letter;
    const char* code = nullptr;
    switch (state) {
        case NodeState::Added:
            code = "32";
            break;
        case NodeState::Modified:
            code = "33";
            break;
        case NodeState::Removed:
            code = "31";
            break;
        default:
            return letter;
    }
    return std::string("\x1b[") + code + "m" + letter + "\x1b[0m";
}

void printJson(const nlohmann::json& value) {
    // Names in an archive are bytes; invalid UTF-8 is replaced rather than failing the dump.
    writeOut(value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    writeOut("\n");
}

void writeOut(std::string_view bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size())
        throw Failure("could not write to standard output");
}

void flushOut() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        throw Failure("could not write to standard output");
}

void note(bool quiet, const std::string& text) {
    if (quiet) return;
    clearProgressLine();
    std::fprintf(stderr, "%s\n", escapedName(text).c_str());
}

}  // namespace cli
