#include "archive_cli/CliProgress.h"

#include "archive_cli/Output.h"

#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace cli {

namespace {

std::atomic<int> interruptFlag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onInterrupt(int sig) {
    interruptFlag.store(sig, std::memory_order_relaxed);
}

}  // namespace

// The flag is cleared before the handler goes in, so a Ctrl+C from then on is seen.
CancelScope::CancelScope() : _handler((interruptFlag.store(0), onInterrupt)) {}

CancelScope::~CancelScope() = default;

int CancelScope::signal() {
    return interruptFlag.load(std::memory_order_relaxed);
}

CliProgress::CliProgress(bool quiet, const char* what)
    : _show(!quiet && os::isTerminal(STDERR_FILENO)), _what(what) {
    _start = _last = std::chrono::steady_clock::now();
}

CliProgress::~CliProgress() {
    done();
}

void CliProgress::expect(int64_t files, int64_t bytes) {
    // A new stage (the save after the scan): its own total, counted from nothing.
    _expFiles = files;
    _expBytes = bytes;
    _files = _bytes = 0;
    _start = std::chrono::steady_clock::now();
    draw(true);
}

void CliProgress::advance(int64_t files, int64_t bytes) {
    _files += files;
    _bytes += bytes;
    draw(false);
}

bool CliProgress::cancelled() const {
    return CancelScope::signal() != 0;
}

void CliProgress::draw(bool force) {
    if (!_show) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - _last < std::chrono::milliseconds(100)) return;
    _last = now;
    double secs = std::chrono::duration<double>(now - _start).count();
    std::string line = _what;
    line.append(": ").append(std::to_string(_files));
    if (_expFiles > 0) line.append("/").append(std::to_string(_expFiles));
    line.append(" files, ").append(humanBytes(static_cast<double>(_bytes)));
    if (_expBytes > 0) line.append(" of ").append(humanBytes(static_cast<double>(_expBytes)));
    if (secs > 0.5)
        line.append(", ").append(humanBytes(static_cast<double>(_bytes) / secs)).append("/s");
    // One line: a longer one would wrap, and \r would redraw only its last part.
    if (const int columns = os::terminalColumns(STDERR_FILENO); columns > 1)
        if (line.size() >= static_cast<size_t>(columns)) line.resize(columns - 1);
    // \r and "erase to end of line" redraw in place; neither is a colour.
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
    std::fflush(stderr);
    _drawn = true;
    setProgressLine(true);
}

void CliProgress::done() {
    if (_drawn) {
        clearProgressLine();
        std::fflush(stderr);
        _drawn = false;
    }
}

}  // namespace cli
