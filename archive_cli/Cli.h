// What every command of tresmo-cli shares: the global options, the exit codes and the two
// exceptions a command throws to end itself.
//
// A command registers a subcommand on the CLI11 application and stores what it will run in
// Context::run; main() parses, then calls run inside the one try block that keeps every
// exception inside main. A command either returns an exit code or throws:
//   Failure  - something did not work (exit 1); the text goes to stderr as "tresmo-cli: ...".
//   Usage    - the arguments make no sense (exit 2), checked after CLI11 accepted them.
// Engine errors are shown by the engine itself through the installed presenter; a command
// that gets false from an engine operation throws Shown, which only sets the exit code.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace cli {

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_PARTIAL = 3;  // a save or status that left data out (each named in a warning)
// A save stopped by a signal exits as a shell reports a process that signal ended: 128 + its
// number (130 for Ctrl+C, 143 for SIGTERM, 129 for SIGHUP).
constexpr int EXIT_SIGNALLED = 128;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The engine has already shown the error chain.
struct Shown {};

struct Context {
    bool json = false;
    bool quiet = false;
    int waitSeconds = 10;  // for a lock that another program holds
    // The exit status of a failure: 2 where 1 means an answer (diff --exit-code: they differ).
    int failed = EXIT_FAILED;
    std::string command;        // the chosen subcommand's name, for messages
    std::string archiveOption;  // -a/--archive
    // Finds the chosen subcommand's archive (see ArchiveWords); empty for commands without.
    std::function<void()> locate;
    // The chosen subcommand's work; empty until one was parsed.
    std::function<int()> run;
};

// One function per command family; each adds its subcommands to app.
void addInitCommand(CLI::App& app, Context& ctx);
void addSaveCommands(CLI::App& app, Context& ctx);     // status, save
void addBrowseCommands(CLI::App& app, Context& ctx);   // log, ls, history
void addRestoreCommands(CLI::App& app, Context& ctx);  // cat, export, verify, repair
void addToolCommands(CLI::App& app, Context& ctx);     // open, diff, tools
void addRewriteCommand(CLI::App& app, Context& ctx);
void addSelectCommands(CLI::App& app, Context& ctx);  // attach, select

// Adds the subcommand name to parent; when the command line chooses it, run becomes the
// context's work. run holds the command's arguments, which the options added next fill in.
CLI::App* addCommand(CLI::App& parent, Context& ctx, const std::string& name,
                     const std::string& summary, std::function<int()> run);

// The system's text for errno, as the engine's system errors give it.
std::string systemText();

// Adds --json to a command and documents its fields in the command's help.
void addJsonFlag(CLI::App& cmd, bool& flag, const std::string& fields);
// Refuses an empty value (--at ''), which would otherwise read as the option left out.
CLI::Validator nonEmpty();

// Parses and runs a whole command line; never throws. What main() calls.
int runCli(int argc, char** argv);

}  // namespace cli
