// The command-line front: the CLI11 application with its subcommands, the engine's start-up
// (settings, presenter) and the mapping of everything that can go wrong onto exit codes.
#include "archive_cli/Cli.h"
#include "archive_cli/Output.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

namespace cli {

namespace {

const char* const DESCRIPTION =
    "tresmo-cli keeps every version of the files under one folder in a single append-only\n"
    "archive file (.trsm), like the Tresmo desktop program, whose archives it reads and\n"
    "writes. The folder and the file selection live in a .sel file beside the archive.";

const char* const FOOTER =
    "Typical use:\n"
    "  tresmo-cli init ~/notes              creates ~/notes.trsm and ~/notes.sel\n"
    "  tresmo-cli save ~/notes.trsm         stores what changed as one transaction\n"
    "  tresmo-cli log ~/notes.trsm          lists the transactions\n"
    "  tresmo-cli cat ~/notes.trsm todo.txt --at 3\n"
    "Inside a watched folder the archive can be left out, and paths start at the current\n"
    "folder: cd ~/notes/src && tresmo-cli history main.c. The archive is found beside\n"
    "the watched folder (~/notes.trsm with ~/notes.sel), or named by -a ARCHIVE or\n"
    "$TRESMO_ARCHIVE; an archive given on the command line always wins.\n"
    "\n"
    "Times are Unix seconds or ISO 8601 in local time (2026-12-06, 2026-12-06T10:15:00,\n"
    "with Z or +01:00 for another zone). A transaction is given by the number log prints.\n"
    "A range A..B reads as in git: the changes after transaction A up to B.\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 3 save or status left data out\n"
    "(named in warnings; it stays pending), 128 + N save stopped by signal N\n"
    "(130 Ctrl+C, 143 SIGTERM, 129 SIGHUP).\n"
    "Settings and tool lists: $TRESMO_CONFIG_DIR or $XDG_CONFIG_HOME/Norvik Software.";

int usageError(const std::string& what, const std::string& command = "") {
    std::fprintf(stderr, "tresmo-cli: %s\nRun 'tresmo-cli %s--help' for usage.\n", what.c_str(),
                 command.empty() ? "" : (command + " ").c_str());
    return EXIT_USAGE;
}

// Edits (insert, delete, replace, swap two neighbours) that turn a into b.
size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The first word that is not an option of the program's own, or null.
const char* commandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        if (a == "--wait" || a == "-a" || a == "--archive")
            ++i;
        else if (a.empty() || a[0] != '-')
            return argv[i];
    }
    return nullptr;
}

// The subcommands parsed so far, as typed: "tools add".
std::string commandOf(const CLI::App& app) {
    std::string command;
    for (const CLI::App* cmd = &app; !cmd->get_subcommands().empty();) {
        cmd = cmd->get_subcommands().front();
        command += (command.empty() ? "" : " ") + cmd->get_name();
    }
    return command;
}

CLI::App* findCommand(CLI::App& app, const std::string& name) {
    for (CLI::App* cmd : app.get_subcommands({}))
        if (cmd->get_name() == name) return cmd;
    return nullptr;
}

// "help [COMMAND]", and a word that names no command: its nearest command is suggested.
std::optional<int> helpOrUnknown(CLI::App& app, int argc, char** argv) {
    const char* word = commandWord(argc, argv);
    if (!word) return std::nullopt;
    const std::string w = word;
    if (w == "help") {
        const char* what = nullptr;
        for (int i = 1; i < argc - 1; ++i)
            if (argv[i] == w) what = argv[i + 1];
        // "help --help" is the help of help itself.
        if (what && (what == std::string_view("--help") || what == std::string_view("-h")))
            what = "help";
        CLI::App* cmd = what ? findCommand(app, what) : nullptr;
        if (what && !cmd) return usageError("unknown command '" + std::string(what) + "'");
        std::fputs((cmd ? cmd->help("tresmo-cli") : app.help()).c_str(), stdout);
        return EXIT_DONE;
    }
    if (findCommand(app, w)) return std::nullopt;
    std::string best;
    size_t bestDistance = 3;  // suggestions further off than two edits only confuse
    for (const CLI::App* cmd : app.get_subcommands({}))
        if (size_t d = editDistance(w, cmd->get_name()); d < bestDistance) {
            bestDistance = d;
            best = cmd->get_name();
        }
    return usageError("unknown command '" + w + "'" +
                      (best.empty() ? "" : "; did you mean '" + best + "'?"));
}

}  // namespace

CLI::App* addCommand(CLI::App& parent, Context& ctx, const std::string& name,
                     const std::string& summary, std::function<int()> run) {
    CLI::App* cmd = parent.add_subcommand(name, summary);
    cmd->callback([&ctx, run = std::move(run)] { ctx.run = run; });
    return cmd;
}

std::string systemText() {
    return systemError().text;
}

CLI::Validator nonEmpty() {
    return CLI::Validator(
        [](const std::string& s) { return s.empty() ? std::string("an empty value") : ""; }, "",
        "non-empty");
}

void addJsonFlag(CLI::App& cmd, bool& flag, const std::string& fields) {
    cmd.add_flag("--json", flag, "Print JSON instead, with the fields below");
    cmd.footer(cmd.get_footer() + "\n--json prints " + fields);
}

int runCli(int argc, char** argv) {
    Context ctx;
    try {
        loadSettings();
        installPresenter(&presenter());

        CLI::App app(DESCRIPTION, "tresmo-cli");
        app.footer(FOOTER);
        app.set_version_flag("--version", std::string("tresmo-cli ") + TRESMO_VERSION);
        app.add_flag("-q,--quiet", ctx.quiet,
                     "Print only results and errors: no summaries, warnings or progress");
        app.add_option("-a,--archive", ctx.archiveOption,
                       "The archive to work on; every positional word is then the command's "
                       "own")
            ->check(nonEmpty());
        app.add_option("--wait", ctx.waitSeconds,
                       "Seconds to wait for another program that is using the archive "
                       "(default 10)")
            ->check(CLI::Range(0, 24 * 3600));
        // Lets --quiet and --wait stand after the subcommand as well.
        app.fallthrough();
        app.require_subcommand(1);
        app.get_formatter()->column_width(30);

        addInitCommand(app, ctx);
        addSaveCommands(app, ctx);
        addBrowseCommands(app, ctx);
        addRestoreCommands(app, ctx);
        addToolCommands(app, ctx);
        addRewriteCommand(app, ctx);
        addSelectCommands(app, ctx);

        app.add_subcommand("help", "Show the help of tresmo-cli or of one command: help [COMMAND]")
            ->allow_extras();
        if (std::optional<int> rc = helpOrUnknown(app, argc, argv)) return *rc;
        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            if (e.get_exit_code() == 0) {
                app.exit(e);  // --help, --version
                return EXIT_DONE;
            }
            return usageError(e.what(), commandOf(app));
        }
        ctx.command = commandOf(app);
        presenter().setQuiet(ctx.quiet);
        os::setLockPatience(ctx.waitSeconds * 1000, [quiet = ctx.quiet](const char* path) {
            if (!quiet)
                std::fprintf(stderr, "tresmo-cli: waiting for another program using %s\n",
                             escapedName(path).c_str());
        });
        if (!ctx.run) return usageError("no command given");
        if (ctx.locate) ctx.locate();
        int rc = ctx.run();
        flushOut();
        return rc;
    } catch (const Usage& e) {
        return usageError(escapedName(e.what()), ctx.command);
    } catch (const Failure& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "tresmo-cli: %s\n", escapedName(e.what()).c_str());
        return ctx.failed;
    } catch (const Shown&) {
        return ctx.failed;
    } catch (const Error& e) {
        CliPresenter::print(e);
        return ctx.failed;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tresmo-cli: out of memory\n");
        return ctx.failed;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tresmo-cli: %s\n", escapedName(e.what()).c_str());
        return ctx.failed;
    } catch (...) {
        std::fprintf(stderr, "tresmo-cli: unexpected failure\n");
        return ctx.failed;
    }
}

}  // namespace cli
