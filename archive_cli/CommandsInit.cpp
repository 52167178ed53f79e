// init: a new archive and its selection file for one folder.
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/Output.h"
#include "archive_cli/SelectionArgs.h"
#include "archive_cli/Session.h"

#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <CLI/CLI.hpp>
#include <cstring>
#include <sys/stat.h>

namespace cli {

namespace {

struct InitArgs {
    std::string folder, archive;
    SelectionArgs selection;
    bool plainFormat = false;
};

int runInit(const InitArgs& a, const Context& ctx) {
    std::string folder = absolutePath(a.folder);
    struct stat st;
    // A symbolic link to a folder is that folder: the archive is named after the link, and
    // watches where it points.
    if (os::sys().stat(folder.c_str(), &st) != 0)
        throw Failure("cannot watch " + folder + ": " + systemText());
    if (!S_ISDIR(st.st_mode)) throw Failure("cannot watch " + folder + ": not a folder");
    if (folder == "/") throw Failure("cannot watch the root folder: the archive needs a name");
    if (!isValidPath(folder.c_str()) || folder.size() >= MAX_PATH)
        throw Failure("cannot watch " + folder + ": the path is too long or not valid");

    std::string archive;
    if (a.archive.empty()) {
        char parent[MAX_PATH], name[MAX_PATH];
        getParentPath(parent, sizeof parent, folder.c_str());
        getFileName(name, sizeof name, folder.c_str());
        archive = std::string(parent == std::string("/") ? "" : parent) + "/" + name + ".trsm";
    } else {
        archive = absolutePath(a.archive);
    }
    std::string sel = selectionPathFor(archive);
    if (std::string real; os::realPath(folder, real)) folder = real;
    if (archive.size() >= MAX_PATH || sel.size() >= MAX_PATH || !isValidPath(archive.c_str()))
        throw Failure("archive path too long or not valid: " + archive);
    int inside = comparePaths(folder.c_str(), archive.c_str());
    if (inside == -1 || inside == 0)
        throw Failure("the archive " + archive + " must not lie inside the folder it watches");
    if (pathExists(archive.c_str()))
        throw Failure(archive + " already exists; init never overwrites an archive");

    FileSel fs;
    fs.setFile(sel);
    fs.setFolder(folder);
    a.selection.applyTo(fs);
    fs.setMetaFormat(!a.plainFormat);
    // A stop asked for while the two files are made removes both: init is done or not at all.
    CancelScope cancel;
    if (!fs.write()) throw Shown{};

    // Reading a storage file that does not exist creates it with its header only.
    Tresmo tresmo;
    tresmo.setPath(archive);
    tresmo.setNow(currentTime());
    tresmo.setBaseAndName(folder.c_str());
    const bool made = tresmo.read();
    if (!made || CancelScope::signal()) {
        if (made) os::sys().unlink(archive.c_str());
        os::sys().unlink(sel.c_str());
        if (made) {
            std::fprintf(stderr, "tresmo-cli: interrupted; no archive was created\n");
            return EXIT_SIGNALLED + CancelScope::signal();
        }
        throw Shown{};
    }

    if (!ctx.quiet) {
        writeOut("Created " + archive + "\n  watching " + folder + " (" + selectionText(fs) +
                 ")\n" +
                 (fs.metaFormat() ? "  keeping permission bits, symbolic links and empty folders\n"
                                  : "  keeping contents and times only (plain format)\n") +
                 "  selection in " + sel + "\nNext: tresmo-cli save " + archive + "\n");
    }
    return EXIT_DONE;
}

}  // namespace

void addInitCommand(CLI::App& app, Context& ctx) {
    auto args = std::make_shared<InitArgs>();
    CLI::App* cmd = addCommand(app, ctx, "init", "Create an archive for a folder",
                               [args, &ctx] { return runInit(*args, ctx); });
    cmd->footer(
        "Create an archive for FOLDER and the selection file beside it. The archive is\n"
        "ARCHIVE, or FOLDER/../NAME.trsm; the selection is the archive's name with .sel.\n"
        "Without a type option every file is taken. Types match without regard to case.\n"
        "An existing archive is never overwritten. Nothing is stored until the first save.\n"
        "The archive keeps each file's and folder's permission bits unless --plain-format.");
    cmd->add_option("FOLDER", args->folder, "The folder to watch")->required();
    cmd->add_option("ARCHIVE", args->archive, "The archive file to create (default FOLDER.trsm)");
    args->selection.add(*cmd, false);
    cmd->add_flag("--plain-format", args->plainFormat,
                  "Keep contents and times only, as archives made before permissions were kept");
}

}  // namespace cli
