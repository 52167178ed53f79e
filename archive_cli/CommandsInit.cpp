// init: a new archive and its selection file for one folder.
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/Output.h"
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
    std::string folder, archive, excludeDirs, types, excludeTypes;
    bool noSubfolders = false;
};

// "txt, .Cpp" -> {"TXT", "CPP"}: types are matched as the scan counts them, in upper case.
std::vector<std::string> parseTypes(const std::string& list) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t end = list.find(',', pos);
        if (end == std::string::npos) end = list.size();
        std::string t = list.substr(pos, end - pos);
        while (!t.empty() && t.front() == ' ')
            t.erase(t.begin());
        while (!t.empty() && t.back() == ' ')
            t.pop_back();
        if (!t.empty() && t[0] == '.') t.erase(t.begin());
        if (t.empty() || t.size() > 19)
            throw Usage("invalid file type '" + t + "' in '" + list + "': 1 to 19 characters");
        for (char& c : t) {
            if (!isNameChar(c) || c == '.')
                throw Usage("invalid file type '" + t + "' in '" + list + "'");
            c = toUpper(c);
        }
        out.push_back(t);
        pos = end + 1;
    }
    return out;
}

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
    fs.setIncludeSubfolders(!a.noSubfolders);
    if (a.excludeDirs.find('/') != std::string::npos)
        throw Usage(
            "--exclude-dirs takes folder names, which leave out a folder of that name at "
            "any depth; '" +
            a.excludeDirs + "' holds a '/'");
    if (a.excludeDirs.size() > 99)
        throw Usage("--exclude-dirs holds more than the 99 characters a selection stores");
    fs.setExceptions(a.excludeDirs);
    if (!a.types.empty()) {
        fs.setExcludeTypes(false);
        for (const std::string& t : parseTypes(a.types))
            fs.setListed(t, true);
    } else {
        fs.setExcludeTypes(true);
        if (!a.excludeTypes.empty())
            for (const std::string& t : parseTypes(a.excludeTypes))
                fs.setListed(t, true);
    }
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
        std::string types = fs.types().empty() ? std::string("every file type") : "";
        for (const std::string& t : fs.types())
            types += (types.empty() ? "" : ",") + t;
        if (!fs.types().empty()) types = (fs.excludeTypes() ? "all but " : "only ") + types;
        writeOut("Created " + archive + "\n  watching " + folder + " (" + types +
                 (fs.includeSubfolders() ? ", with subfolders" : ", no subfolders") +
                 (fs.exceptions().empty() ? "" : " except " + fs.exceptions()) + ")\n" +
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
        "An existing archive is never overwritten. Nothing is stored until the first save.");
    cmd->add_option("FOLDER", args->folder, "The folder to watch")->required();
    cmd->add_option("ARCHIVE", args->archive, "The archive file to create (default FOLDER.trsm)");
    cmd->add_option("--exclude-dirs", args->excludeDirs,
                    "Subfolder names to leave out, separated by commas (any depth)");
    auto* types =
        cmd->add_option("--types", args->types, "Take only these file types, e.g. txt,cpp");
    auto* excl = cmd->add_option("--exclude-types", args->excludeTypes,
                                 "Take every file type but these, e.g. log,tmp");
    types->excludes(excl);
    excl->excludes(types);
    cmd->add_flag("--no-subfolders", args->noSubfolders, "Watch the folder's own files only");
}

}  // namespace cli
