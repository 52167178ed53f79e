// What tresmo-cli writes: engine messages on stderr, listings and JSON on stdout.
//
// Listings are for people; --json gives the same facts with stable field names for scripts.
// Sizes in listings are exact byte counts where a column holds them and rounded (KiB, MiB)
// only in one-line summaries. Colour is used only on a terminal and never when NO_COLOR is
// set.
#pragma once

#include "archive/support/msg.h"
#include "archive/tree/TresmoData.h"

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// Engine failures as "Error 3011: Invalid storage file" lines, outermost first; warnings as
// "Warning 3701: ..." lines. While capturing, errors are kept for the command to decide on
// (a save that will be retried, a cancelled save) instead of printed.
class CliPresenter final : public Presenter {
  public:
    void showError(const Error& error) override;
    void showMsgs(const MsgList& list) override;
    void verifyFailed(const char* file, int line, const char* expr) override;

    void setQuiet(bool on) { _quiet = on; }
    void capture(bool on) { _capturing = on; }
    std::vector<Error> takeCaptured();

    static void print(const Error& error);

  private:
    bool _quiet = false;
    bool _capturing = false;
    std::vector<Error> _captured;
};
CliPresenter& presenter();

// "1.2 MiB", "512 B".
std::string humanBytes(double bytes);
// "1 file", "2 files": a count with its noun, plural (an added s) unless it is one.
std::string counted(int64_t n, const std::string& noun);
// One letter per change state as the listings show it: ' ' unchanged, 'M', 'A', 'D', and
// '!' for an item that existed only inside the range.
char stateLetter(NodeState state);
// The JSON name of a state: "none", "unchanged", "modified", "added", "removed".
const char* stateName(NodeState state);

// Whether stdout may carry colour escapes.
bool colourOut();
// A letter coloured by state (green added, yellow modified, red removed) when colourOut().
std::string colouredState(NodeState state);

void printJson(const nlohmann::json& value);
// Writes to stdout; a failure (full disk, closed pipe) is a Failure.
void writeOut(std::string_view bytes);
void flushOut();
// A message for the person at the terminal on stderr, unless quiet.
void note(bool quiet, const std::string& text);

// The progress line on stderr: CliProgress says when one stands there; every other text for
// stderr clears it first, so that a warning never runs into a half-drawn counter.
void setProgressLine(bool shown);
void clearProgressLine();

}  // namespace cli
