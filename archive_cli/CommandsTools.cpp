// open, diff and tools: stored versions in the viewer and diff programs of the tool lists,
// and the lists themselves.
#include "archive_cli/ArchiveWords.h"
#include "archive_cli/Cli.h"
#include "archive_cli/Output.h"
#include "archive_cli/Session.h"

#include "archive/objects/ToolConfig.h"
#include "archive/os/os.h"
#include "archive/support/TempFileList.h"
#include "archive/support/paths.h"
#include "archive/support/process.h"
#include "archive/support/tstamp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>
#include <vector>

namespace cli {

namespace {

// Restored copies go to a private temporary folder (see TempFileList). A copy for a viewer
// outlives this process (the viewer may read it after tresmo-cli has exited), so the folder is
// left for a later run's clean-up unless removeAll() is called once the copies are read.
class Restorer {
  public:
    explicit Restorer(Session& s) : _s(s) {}

    // The version streamed into a new copy, block by block, never whole in memory.
    std::string restore(const Node* node, const Version* v) {
        int fd = -1;
        const char* path = _temp.add(node->name, &fd);
        if (!path) {
            throw Failure("cannot create a temporary copy of " + _s.relPath(node) + ": " +
                          systemText());
        }
        struct Closer {
            int fd;
            ~Closer() {
                if (fd >= 0) os::closeQuietly(fd);
            }
        } closer{fd};
        _s.archive().restore(*v->content(), _s.relPath(node), [&](std::span<const uint8_t> b) {
            if (!os::writeFull(fd, b.data(), b.size()))
                throw Failure(std::string("cannot write ") + path + ": " + systemText());
        });
        closer.fd = -1;
        if (os::sys().close(fd) != 0)
            throw Failure(std::string("cannot write ") + path + ": " + systemText());
        return path;
    }
    // The copies and their folder, once their reader is done with them.
    void removeAll() { _temp.clear(); }

  private:
    Session& _s;
    TempFileList _temp;
};

const Version* storedFile(const Node* node, int64_t t) {
    const Version* v = Tresmo::versionAt(node, t);
    return v && v->kind() == NodeKind::File && v->content() ? v : nullptr;
}

std::string workingFile(Session& s, const Node* node) {
    char path[MAX_PATH];
    if (!s.archive().printPath(path, sizeof path, node)) return "";
    struct stat st;
    if (os::sys().lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return "";
    return path;
}

void start(const std::vector<std::string>& argv) {
    if (!startProcess(argv)) throw Failure("could not start " + argv.at(0));
}

void open(const std::string& file) {
    if (!shellOpen(file.c_str())) throw Failure("could not start xdg-open for " + file);
}

// ---- open ----

struct OpenArgs {
    std::string archive, path, at;
};

int runOpen(const OpenArgs& a, const Context& ctx) {
    Session s(a.archive);
    int64_t now = currentTime();
    s.load(now);
    Node* node = s.findNode(a.path);
    std::string file, what;
    Restorer r(s);
    if (a.at.empty() && s.hasFolder()) {
        // As the desktop program in its Current range: the working file itself.
        file = workingFile(s, node);
        if (file.empty())
            throw Failure(a.path + " is not in the watched folder; use --at for a stored version");
        what = "the working file";
    } else {
        int64_t t = a.at.empty() ? now : s.resolve(parsePoint(a.at));
        const Version* v = storedFile(node, t);
        if (!v) throw Failure("no stored version of " + a.path + " at that time");
        file = r.restore(node, v);
        what = "transaction " + std::to_string(s.txnNumber(v->txn->time));
    }
    ToolConfig& tools = viewerConfig();
    int i = tools.find(node->name);
    if (i >= 0)
        start(tools.viewerArgv(i, file));
    else
        open(file);
    note(ctx.quiet, "Opened " + a.path + " (" + what + ") with " +
                        (i >= 0 ? tools.program(i) : std::string("xdg-open")));
    return EXIT_DONE;
}

// ---- diff ----

struct DiffArgs {
    std::string archive, path, range;
    bool unified = false, exitCode = false;
};

// Whether two files hold the same bytes, read a piece at a time.
bool sameContent(const std::string& a, const std::string& b) {
    int fa = os::sys().open(a.c_str(), O_RDONLY | O_CLOEXEC, 0);
    int fb = os::sys().open(b.c_str(), O_RDONLY | O_CLOEXEC, 0);
    bool same = fa >= 0 && fb >= 0;
    std::vector<char> pa(65536), pb(65536);
    while (same) {
        ssize_t na = os::readFull(fa, pa.data(), pa.size());
        ssize_t nb = os::readFull(fb, pb.data(), pb.size());
        same = na >= 0 && na == nb && std::equal(pa.begin(), pa.begin() + na, pb.begin());
        if (na <= 0) break;
    }
    if (fa < 0 || fb < 0) throw Failure("cannot read " + (fa < 0 ? a : b) + ": " + systemText());
    os::closeQuietly(fa);
    os::closeQuietly(fb);
    return same;
}

// Runs a program and waits for it; its exit status, or -1 when it could not run.
int runAndWait(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout);
    return os::runAndWait(argv.data());
}

int runDiff(const DiffArgs& a, const Context& ctx) {
    Session s(a.archive);
    int64_t now = currentTime();
    s.load(now);
    int64_t from = now, to = now;
    if (!a.range.empty()) {
        std::tie(from, to) = s.range(a.range, now);
    }
    Node* node = s.findNode(a.path);
    Restorer r(s);
    // The older side: the version stored before the range; the newer one: the working file
    // when the range ends now, else the version at the range's end.
    const Version* old = from > 0 ? storedFile(node, from - 1) : nullptr;
    if (!old) throw Failure("no stored version of " + a.path + " before the range");
    std::string newer, newerLabel;
    if (to == now && s.hasFolder()) {
        newer = workingFile(s, node);
        if (newer.empty()) throw Failure(a.path + " is not in the watched folder");
        newerLabel = a.path + " (working file)";
    } else {
        const Version* v = storedFile(node, to);
        if (!v) throw Failure("no stored version of " + a.path + " at the range's end");
        newer = r.restore(node, v);
        newerLabel = a.path + " (transaction " + std::to_string(s.txnNumber(v->txn->time)) + ")";
    }
    std::string older = r.restore(node, old);
    std::string olderLabel =
        a.path + " (transaction " + std::to_string(s.txnNumber(old->txn->time)) + ")";

    // With --exit-code the status says whether they differ, as diff's and git diff's do.
    const int differ = a.exitCode && !sameContent(older, newer) ? EXIT_FAILED : EXIT_DONE;
    if (a.unified) {
        int rc = runAndWait({"diff", "-u", "--label", escapedName(olderLabel), "--label",
                             escapedName(newerLabel), older, newer});
        r.removeAll();
        if (rc < 0 || rc > 1) throw Failure("diff -u failed");
        return differ;
    }
    ToolConfig& tools = diffToolConfig();
    int i = tools.find(node->name);
    if (i >= 0) {
        // Waited for, so the copies can go: a diff tool reads both files while it runs.
        std::vector<std::string> argv = tools.diffArgv(i, older, newer);
        int rc = runAndWait(argv);
        r.removeAll();
        if (rc < 0) throw Failure("could not run " + argv.at(0));
    } else {
        // Whatever xdg-open starts may outlive it: the copies stay, as for open.
        open(older);
        open(newer);
    }
    note(ctx.quiet, "Comparing " + olderLabel + " with " + newerLabel + " in " +
                        (i >= 0 ? tools.program(i) : std::string("xdg-open")));
    return differ;
}

// ---- tools ----

ToolConfig& configOf(const std::string& kind) {
    return kind == "viewer" ? viewerConfig() : diffToolConfig();
}

struct ToolArgs {
    std::string kind, program, options, ext;
    int number = 0;
};

int runToolsList(const ToolArgs& a) {
    std::string text;
    for (const char* kind : {"viewer", "diff"}) {
        if (!a.kind.empty() && a.kind != kind) continue;
        ToolConfig& c = configOf(kind);
        int n = c.count();
        text += std::string(kind) + " tools" + (n ? ":" : ": none") + "\n";
        for (int i = 0; i < n; ++i) {
            text += "  " + std::to_string(i + 1) + "  " + c.extList(i) + "  \"" + c.program(i) +
                    "\" " + c.options(i) + "\n";
        }
    }
    writeOut(text);
    return EXIT_DONE;
}

// A bare program name is looked up in PATH: the stored entry needs the absolute path.
std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return absolutePath(name);
    const char* env = std::getenv("PATH");
    std::string path = env ? env : "";
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find(':', pos);
        if (end == std::string::npos) end = path.size();
        std::string dir = path.substr(pos, end - pos);
        std::string full = (dir.empty() ? std::string(".") : dir) + "/" + name;
        if (os::isExecutable(full)) return absolutePath(full);
        pos = end + 1;
    }
    return name;
}

int runToolsAdd(const ToolArgs& a, const Context& ctx) {
    ToolConfig& c = configOf(a.kind);
    c.count();  // the list must be read before the overlap check
    std::string program = findProgram(a.program);
    switch (c.checkEntry(program, a.options, a.ext, -1)) {
        case ToolConfig::Field::Program:
            throw Usage("invalid program '" + program +
                        "': it must exist and its absolute path be under 99 characters");
        case ToolConfig::Field::Options:
            throw Usage("invalid options: they must be under 99 characters");
        case ToolConfig::Field::ExtList:
            if (a.ext.size() < 99 && ToolConfig::validList(a.ext))
                throw Usage("an extension of '" + a.ext + "' is served by another " + a.kind +
                            " tool already");
            throw Usage("invalid extension list '" + a.ext +
                        "': extensions of letters and digits separated by commas, under 99 "
                        "characters");
        case ToolConfig::Field::None:
            break;
    }
    c.add(program, a.options, a.ext);
    note(ctx.quiet, "Added " + a.kind + " tool " + std::to_string(c.count()) + ": " + program +
                        " for " + a.ext);
    return EXIT_DONE;
}

int runToolsRemove(const ToolArgs& a, const Context& ctx) {
    ToolConfig& c = configOf(a.kind);
    int n = c.count();
    if (a.number < 1 || a.number > n) {
        throw Usage("no " + a.kind + " tool " + std::to_string(a.number) + " (there are " +
                    std::to_string(n) + ")");
    }
    std::string program = c.program(a.number - 1);
    c.remove(a.number - 1);
    note(ctx.quiet, "Removed " + a.kind + " tool " + std::to_string(a.number) + ": " + program);
    return EXIT_DONE;
}

}  // namespace

void addToolCommands(CLI::App& app, Context& ctx) {
    auto op = std::make_shared<OpenArgs>();
    CLI::App* openCmd =
        addCommand(app, ctx, "open", "Open a file or a stored version in its viewer",
                   [op, &ctx] { return runOpen(*op, ctx); });
    openCmd->footer(
        "Open PATH with the viewer configured for its extension (see tools), or with\n"
        "xdg-open. Without --at the working file in the watched folder is opened; with --at\n"
        "the stored version is restored into a temporary file first, in a folder of its own\n"
        "under $XDG_RUNTIME_DIR (else $TMPDIR or /tmp); it stays for the viewer, and a later\n"
        "run removes it once it is a minute old and this run has ended.");
    ArchiveWords::add(*openCmd, ctx, op->archive, {{"PATH", &op->path, true, PATH_HELP}});
    openCmd->add_option("--at", op->at, "The version valid after a transaction (number or time)")
        ->check(nonEmpty());

    auto df = std::make_shared<DiffArgs>();
    CLI::App* diff = addCommand(app, ctx, "diff", "Compare two versions of a file", [df, &ctx] {
        if (df->exitCode) ctx.failed = EXIT_USAGE;
        return runDiff(*df, ctx);
    });
    diff->footer(
        "Compare the version of PATH stored before the range with its state at the range's\n"
        "end, in the diff tool configured for its extension (see tools) or with xdg-open.\n"
        "Without --range: the newest stored version against the working file.\n"
        "--range A..B, as in git: the version at transaction A against the one at B (or the\n"
        "working file when B is left out). A configured tool is waited for, and the restored "
        "copies\n"
        "are removed when it ends; a tool that returns at once needs its own wait option.");
    ArchiveWords::add(*diff, ctx, df->archive, {{"PATH", &df->path, true, PATH_HELP}});
    diff->add_option("--range", df->range,
                     "A..B: from transaction A to B (numbers or times; either may be left out)")
        ->check(nonEmpty());
    diff->add_flag("-u,--unified", df->unified, "Print `diff -u` of the two versions instead");
    diff->add_flag("--exit-code", df->exitCode,
                   "Exit with 1 when the versions differ, 0 when they are the same (errors: 2 "
                   "and above)");

    CLI::App* tools = app.add_subcommand("tools", "List and edit the viewer and diff tools");
    tools->footer(
        "The programs open and diff start, chosen by file extension: the first tool whose\n"
        "extension list holds a file's extension serves it. The desktop program shares the\n"
        "lists. In OPTIONS, %1 stands for the file (the older file for a diff) and %2 for the\n"
        "newer file; a missing placeholder gets its file appended.");
    tools->require_subcommand(1);
    auto kinds = CLI::IsMember({"viewer", "diff"});

    auto ls = std::make_shared<ToolArgs>();
    CLI::App* list =
        addCommand(*tools, ctx, "list", "List the tools", [ls] { return runToolsList(*ls); });
    list->add_option("KIND", ls->kind, "viewer or diff (default: both)")->check(kinds);

    auto ad = std::make_shared<ToolArgs>();
    CLI::App* add = addCommand(*tools, ctx, "add", "Add a tool at the end of a list",
                               [ad, &ctx] { return runToolsAdd(*ad, ctx); });
    add->add_option("KIND", ad->kind, "viewer or diff")->required()->check(kinds);
    add->add_option("PROGRAM", ad->program, "The program (looked up in PATH without a /)")
        ->required();
    add->add_option("-e,--ext", ad->ext, "Extensions it serves, e.g. txt,log")->required();
    add->add_option("-o,--options", ad->options, "Its options, e.g. \"-n %1\"");

    auto rm = std::make_shared<ToolArgs>();
    CLI::App* remove = addCommand(*tools, ctx, "remove", "Remove a tool from a list",
                                  [rm, &ctx] { return runToolsRemove(*rm, ctx); });
    remove->add_option("KIND", rm->kind, "viewer or diff")->required()->check(kinds);
    remove->add_option("NUMBER", rm->number, "Its number as list shows it")->required();
}

}  // namespace cli
