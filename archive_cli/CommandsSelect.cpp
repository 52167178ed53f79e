// attach and select: the selection file of an existing archive, pointed at a folder that
// moved or changed in what it takes.
#include "archive_cli/ArchiveWords.h"
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/Output.h"
#include "archive_cli/SelectionArgs.h"
#include "archive_cli/Session.h"

#include "archive/os/os.h"
#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <CLI/CLI.hpp>
#include <sys/stat.h>

namespace cli {

namespace {

struct AttachArgs {
    std::string archive, folder;
    bool force = false;
};

struct SelectArgs {
    std::string archive;
    SelectionArgs selection;
};

void writeSelection(FileSel& sel) {
    CancelScope cancel;  // the selection file is replaced whole or not at all
    if (!sel.write()) throw Shown{};
}

int runAttach(const AttachArgs& a, const Context& ctx) {
    Session s(a.archive);
    const int64_t now = currentTime();
    s.load(now);
    std::string folder = absolutePath(a.folder);
    struct stat st;
    if (os::sys().stat(folder.c_str(), &st) != 0)
        throw Failure("cannot watch " + folder + ": " + systemText());
    if (!S_ISDIR(st.st_mode)) throw Failure("cannot watch " + folder + ": not a folder");
    if (std::string real; os::realPath(folder, real)) folder = real;
    if (folder == "/") throw Failure("cannot watch the root folder: the archive needs a name");
    if (const int c = comparePaths(folder.c_str(), s.path().c_str()); c == -1 || c == 0)
        throw Failure("the archive " + s.path() + " must not lie inside the folder it watches");

    // The newest state's files that FOLDER holds: a folder that holds few of them is likely
    // the wrong one, and the next save would record every other file as removed.
    size_t files = 0, found = 0;
    const Node* root = s.archive().root();
    for (const Node* n = root; n; n = nextInTree(n, root)) {
        const Version* v = Tresmo::versionAt(n, now);
        if (!v || v->kind() != NodeKind::File) continue;
        ++files;
        const std::string path = folder + "/" + s.relPath(n);
        found += os::sys().stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
    }
    const std::string counts =
        std::to_string(found) + " of the " + counted(files, "file") + " stored last";
    if (found * 2 < files && !a.force)
        throw Failure(folder + " holds only " + counts + "; is it the right folder? --force " +
                      "attaches it anyway (the next save then records the others as removed)");

    FileSel sel = s.selection();  // a missing file: one that takes everything
    sel.setFolder(folder);
    writeSelection(sel);
    if (!ctx.quiet)
        writeOut("Attached " + s.path() + " to " + folder + " (" + counts + " are there)\n" +
                 "  selection in " + sel.file() + "\n");
    return EXIT_DONE;
}

int runSelect(const SelectArgs& a, const Context& ctx) {
    Session s(a.archive);
    FileSel sel = s.selection();  // a missing file: one that takes everything
    if (a.selection.any()) {
        a.selection.applyTo(sel);
        writeSelection(sel);
    }
    if (ctx.quiet && a.selection.any()) return EXIT_DONE;
    writeOut((sel.folder().empty() ? std::string("no folder") : sel.folder()) + " (" +
             selectionText(sel) + ")\n");
    return EXIT_DONE;
}

}  // namespace

void addSelectCommands(CLI::App& app, Context& ctx) {
    auto at = std::make_shared<AttachArgs>();
    CLI::App* attach =
        addCommand(app, ctx, "attach", "Point an archive at the place its folder moved to",
                   [at, &ctx] { return runAttach(*at, ctx); });
    attach->footer(
        "Point the archive at FOLDER, for a folder or an archive that moved or was copied:\n"
        "the selection file beside the archive then names FOLDER, its file types and\n"
        "exceptions stay. Refused when FOLDER holds less than half of the files stored last,\n"
        "unless --force. Nothing in the archive changes.");
    ArchiveWords::add(*attach, ctx, at->archive,
                      {{"FOLDER", &at->folder, true, "The folder's new place"}});
    attach->add_flag("-f,--force", at->force, "Attach even a folder that holds few of the files");

    auto sl = std::make_shared<SelectArgs>();
    CLI::App* select =
        addCommand(app, ctx, "select", "Show or change which files the archive takes",
                   [sl, &ctx] { return runSelect(*sl, ctx); });
    select->footer(
        "Without options, print the watched folder and what its scan takes. The options change\n"
        "the selection file beside the archive; the next save follows it (files it no longer\n"
        "takes are recorded as removed). --exclude-dirs '' takes every folder again.");
    ArchiveWords::add(*select, ctx, sl->archive, {});
    sl->selection.add(*select, true);
}

}  // namespace cli
