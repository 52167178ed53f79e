// The command-line front: the CLI11 application with its subcommands, the engine's start-up
// (settings, presenter) and the mapping of everything that can go wrong onto exit codes.
#include "archive_cli/Cli.h"
#include "archive_cli/Output.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <new>

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
    "\n"
    "Times are Unix seconds or ISO 8601 in local time (2026-12-06, 2026-12-06T10:15:00,\n"
    "with Z or +01:00 for another zone). A transaction is given by the number log prints.\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 3 save or status left data out\n"
    "(named in warnings; it stays pending), 128 + N save stopped by signal N\n"
    "(130 Ctrl+C, 143 SIGTERM, 129 SIGHUP).\n"
    "Settings and tool lists: $TRESMO_CONFIG_DIR or $XDG_CONFIG_HOME/Norvik Software.";

int usageError(const std::string& what) {
    std::fprintf(stderr, "tresmo-cli: %s\nRun 'tresmo-cli --help' for usage.\n", what.c_str());
    return EXIT_USAGE;
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

void addJsonFlag(CLI::App& cmd, bool& flag, const std::string& fields) {
    cmd.add_flag("--json", flag, "Print JSON instead, with the fields below");
    cmd.footer(cmd.get_footer() + "\n--json prints " + fields);
}

int runCli(int argc, char** argv) {
    try {
        loadSettings();
        installPresenter(&presenter());

        CLI::App app(DESCRIPTION, "tresmo-cli");
        app.footer(FOOTER);
        app.set_version_flag("--version", std::string("tresmo-cli ") + TRESMO_VERSION);
        Context ctx;
        app.add_flag("-q,--quiet", ctx.quiet,
                     "Print only results and errors: no summaries, warnings or progress");
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

        try {
            app.parse(argc, argv);
        } catch (const CLI::ParseError& e) {
            if (e.get_exit_code() == 0) {
                app.exit(e);  // --help, --version
                return EXIT_DONE;
            }
            return usageError(e.what());
        }
        presenter().setQuiet(ctx.quiet);
        os::setLockPatience(ctx.waitSeconds * 1000, [quiet = ctx.quiet](const char* path) {
            if (!quiet)
                std::fprintf(stderr, "tresmo-cli: waiting for another program using %s\n",
                             escapedName(path).c_str());
        });
        if (!ctx.run) return usageError("no command given");
        int rc = ctx.run();
        flushOut();
        return rc;
    } catch (const Usage& e) {
        return usageError(escapedName(e.what()));
    } catch (const Failure& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "tresmo-cli: %s\n", escapedName(e.what()).c_str());
        return EXIT_FAILED;
    } catch (const Shown&) {
        return EXIT_FAILED;
    } catch (const Error& e) {
        CliPresenter::print(e);
        return EXIT_FAILED;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tresmo-cli: out of memory\n");
        return EXIT_FAILED;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tresmo-cli: %s\n", escapedName(e.what()).c_str());
        return EXIT_FAILED;
    } catch (...) {
        std::fprintf(stderr, "tresmo-cli: unexpected failure\n");
        return EXIT_FAILED;
    }
}

}  // namespace cli
