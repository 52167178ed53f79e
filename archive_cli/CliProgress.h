// The progress sink of tresmo-cli: a one-line counter of files and bytes with the rate on
// stderr (only on a terminal, never with --quiet), and Ctrl+C as the cancel flag.
//
// Ctrl+C, SIGTERM and SIGHUP are all a cancel: the handler only records the signal in an
// atomic; the engine asks cancelled() between units of work and rolls a cancelled save back,
// so a save stopped by any of them leaves the archive exactly as it was. The handler is
// installed for the lifetime of a CancelScope only; outside of one, they end the process as
// usual.
#pragma once

#include "archive/os/os.h"
#include "archive/support/Progress.h"

#include <chrono>
#include <cstdint>

namespace cli {

class CancelScope {
  public:
    CancelScope();
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

    // The signal that asked to stop, or 0.
    static int signal();

  private:
    os::InterruptHandler _handler;
};

class CliProgress final : public Progress {
  public:
    CliProgress(bool quiet, const char* what);
    ~CliProgress() override;

    void expect(int64_t files, int64_t bytes) override;
    void advance(int64_t files, int64_t bytes) override;
    bool cancelled() const override;
    // Clears the progress line (if one was drawn).
    void done();

  private:
    void draw(bool force);

    bool _show;
    const char* _what;
    bool _drawn = false;
    int64_t _files = 0, _bytes = 0, _expFiles = 0, _expBytes = 0;
    std::chrono::steady_clock::time_point _start, _last;
};

}  // namespace cli
