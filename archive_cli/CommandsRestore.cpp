// cat, export and verify: stored versions brought back, to stdout, to disk, or only checked.
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/Output.h"
#include "archive_cli/Session.h"

#include "archive/TempFileList.h"
#include "archive/paths.h"
#include "archive/tstamp.h"

#include <CLI/CLI.hpp>

namespace cli {

namespace {

// The time --at names, or the present (the newest state) without it.
int64_t atTime(const Session& s, const std::string& at, int64_t now) {
    return at.empty() ? now : s.resolve(parsePoint(at));
}

std::string whenText(const Session& s, const std::string& at, int64_t t) {
    if (at.empty()) return "as last stored";
    int32_t n = s.txnNumber(t);
    return "as it was at " + localTimeText(t) +
           (n ? " (transaction " + std::to_string(n) + ")" : std::string());
}

// ---- cat ----

struct CatArgs {
    std::string archive, path, at;
};

int runCat(const CatArgs& a) {
    Session s(a.archive);
    int64_t now = currentTime();
    s.load(now);
    int64_t t = atTime(s, a.at, now);
    Node* node = s.findNode(a.path);
    const Version* v = Tresmo::versionAt(node, t);
    if (!v || v->kind() != NodeKind::File || !v->content()) {
        if (v && v->kind() == NodeKind::Folder) throw Failure(a.path + " is a folder");
        throw Failure("no file " + a.path + " in the archive " + whenText(s, a.at, t));
    }
    writeOut(s.archive().restore(*v->content()));
    return EXIT_DONE;
}

// ---- export ----

struct ExportArgs {
    std::vector<std::string> args;  // ARCHIVE [PATH] DEST
    std::string at;
    bool force = false;
};

int runExport(const ExportArgs& a, const Context& ctx) {
    const std::string& path = a.args.size() == 3 ? a.args[1] : std::string();
    std::string dest = absolutePath(a.args.back());
    Session s(a.args[0]);
    int64_t now = currentTime();
    s.load(now);
    int64_t t = atTime(s, a.at, now);
    s.setRange(t, t);
    Node* node = s.findNode(path);
    bool folder = node->flags & Node::FOLDER_AT_TO;
    if (!folder && !(node->flags & Node::FILE_AT_TO))
        throw Failure("no " + (path.empty() ? "files" : path) + " in the archive " +
                      whenText(s, a.at, t));
    if (!isDirectory(dest.c_str())) throw Failure("no folder " + dest + " to export into");
    char target[MAX_PATH];
    if (!buildFilePath(target, sizeof target, dest.c_str(), node->name))
        throw Failure("the path in " + dest + " would be too long");
    if (pathExists(target)) {
        if (!a.force) {
            throw Failure(std::string(target) + " already exists; use --force to replace it");
        }
        if (isDirectory(target))
            delDir(target);
        else
            delFile(target);
    }
    if (folder)
        s.archive().selectFolder(node);
    else
        s.archive().selectFile(node, true);
    CliProgress progress(ctx.quiet, "exporting");
    if (!s.archive().exportSelected(dest, "", &progress)) throw Shown{};
    progress.done();
    if (!ctx.quiet) {
        writeOut("Exported " + (path.empty() ? std::string("the archive") : s.relPath(node)) + " " +
                 whenText(s, a.at, t) + " to " + target + "\n");
    }
    return EXIT_DONE;
}

// ---- verify ----

struct VerifyArgs {
    std::string archive;
    bool json = false;
};

struct Verifier {
    Session& s;
    CliProgress& progress;
    int64_t versions = 0, files = 0, bytes = 0;
    nlohmann::json failed = nlohmann::json::array();

    void walk(const Node* node) {
        for (const Node* n = node; n; n = n->next) {
            bool isFile = false;
            for (const Version* v = n->versions; v; v = v->older) {
                const ContentInfo* ci = v->committed() ? v->content() : nullptr;
                if (!ci) continue;
                isFile = true;
                try {
                    std::string data = s.archive().restore(*ci);
                    bytes += static_cast<int64_t>(data.size());
                } catch (const Error& e) {
                    std::fprintf(stderr, "%s, transaction %d:\n", s.relPath(n).c_str(),
                                 s.txnNumber(v->txn->time));
                    CliPresenter::print(e);
                    failed.push_back({{"path", s.relPath(n)},
                                      {"number", s.txnNumber(v->txn->time)},
                                      {"error", e.chainText()}});
                }
                ++versions;
                progress.advance(1, ci->size);
            }
            if (isFile) ++files;
            walk(n->firstChild);
        }
    }
};

int runVerify(const VerifyArgs& a, const Context& ctx) {
    Session s(a.archive);
    CliProgress progress(ctx.quiet, "verifying");
    s.load(currentTime(), &progress);
    Verifier v{s, progress};
    v.walk(s.archive().root());
    progress.done();
    size_t txns = s.transactions().size();
    if (a.json) {
        printJson({{"archive", s.path()},
                   {"transactions", txns},
                   {"files", v.files},
                   {"versions", v.versions},
                   {"bytes", v.bytes},
                   {"failed", v.failed},
                   {"ok", v.failed.empty()}});
    } else if (v.failed.empty()) {
        if (!ctx.quiet) {
            writeOut("OK: " + std::to_string(txns) + " transactions, " +
                     std::to_string(v.versions) + " versions of " + std::to_string(v.files) +
                     " files restored (" + humanBytes(static_cast<double>(v.bytes)) +
                     "), every CRC matches\n");
        }
    } else {
        writeOut("FAILED: " + std::to_string(v.failed.size()) + " of " +
                 std::to_string(v.versions) + " versions could not be restored\n");
    }
    return v.failed.empty() ? EXIT_DONE : EXIT_FAILED;
}

}  // namespace

void addRestoreCommands(CLI::App& app, Context& ctx) {
    auto ct = std::make_shared<CatArgs>();
    CLI::App* cat = app.add_subcommand("cat", "Write a stored version of a file to stdout");
    cat->footer(
        "Write the newest stored version of PATH, or the one valid at --at, to standard\n"
        "output. The restored bytes are checked against the version's CRC-32 first.");
    cat->add_option("ARCHIVE", ct->archive, "The archive file")->required();
    cat->add_option("PATH", ct->path, "A file, relative to the watched folder")->required();
    cat->add_option("--at", ct->at, "The version valid after a transaction (number or time)");
    cat->callback([ct, &ctx] { ctx.run = [ct] { return runCat(*ct); }; });

    auto ex = std::make_shared<ExportArgs>();
    CLI::App* exp = app.add_subcommand("export", "Restore a folder or file as it was");
    exp->footer(
        "Restore PATH (default: the whole watched folder) as it was at --at (default: as last\n"
        "stored) into the folder DEST, under its own name: DEST/NAME. An existing DEST/NAME is\n"
        "refused unless --force, which removes it first. Files keep their modification times.");
    exp->add_option("ARCHIVE [PATH] DEST", ex->args, "The archive, what to export, and where to")
        ->expected(2, 3)
        ->required();
    exp->add_option("--at", ex->at, "The state after a transaction (number or time)");
    exp->add_flag("-f,--force", ex->force, "Replace an existing DEST/NAME");
    exp->callback([ex, &ctx] { ctx.run = [ex, &ctx] { return runExport(*ex, ctx); }; });

    auto vf = std::make_shared<VerifyArgs>();
    CLI::App* verify = app.add_subcommand("verify", "Check that every version restores");
    verify->footer(
        "Replay the archive and restore every stored version of every file in memory,\n"
        "checking each against its CRC-32. Exit status 1 when anything fails.");
    verify->add_option("ARCHIVE", vf->archive, "The archive file")->required();
    addJsonFlag(
        *verify, vf->json,
        "{archive, transactions, files, versions, bytes, failed: [{path, number, error}], ok}");
    verify->callback([vf, &ctx] { ctx.run = [vf, &ctx] { return runVerify(*vf, ctx); }; });
}

}  // namespace cli
