// cat, export, verify and repair: stored versions brought back, to stdout, to disk, or only
// checked; and the cut of a save that did not finish.
#include "archive_cli/ArchiveWords.h"
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/Output.h"
#include "archive_cli/Session.h"

#include "archive/ops/Verify.h"
#include "archive/os/os.h"
#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace cli {

namespace {

// The time --at names, or the present (the newest state) without it.
int64_t atTime(const Session& s, const std::string& at, int64_t now) {
    return at.empty() ? now : s.resolve(parsePoint(at));
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
        throw Failure("no file " + a.path + " in the archive " + s.whenText(a.at, t));
    }
    // Streamed: the CRC is known only after the last byte has gone out, so a mismatch still
    // fails the command (exit 1) with what was written before it.
    s.archive().restore(*v->content(), s.relPath(node), [](std::span<const uint8_t> bytes) {
        writeOut({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    });
    return EXIT_DONE;
}

// ---- export ----

struct ExportArgs {
    std::string archive, where, to;  // ARCHIVE DEST, or ARCHIVE PATH --to DEST
    std::string at;
    bool force = false, json = false;
};

int runExport(const ExportArgs& a, const Context& ctx) {
    const std::string path = a.to.empty() ? std::string() : a.where;
    std::string dest = absolutePath(a.to.empty() ? a.where : a.to);
    Session s(a.archive);
    int64_t now = currentTime();
    s.load(now);
    int64_t t = atTime(s, a.at, now);
    s.setRange(t, t);
    Node* node = s.findNode(path);
    bool folder = node->flags & Node::FOLDER_AT_TO;
    if (!folder && !(node->flags & Node::FILE_AT_TO))
        throw Failure("no " + (path.empty() ? "files" : path) + " in the archive " +
                      s.whenText(a.at, t));
    // A missing DEST is made, as cp -r and tar -C users expect of a target folder.
    if (!makeFolders(dest, 0777))
        throw Failure("cannot make the folder " + dest +
                      " to export into: " + std::strerror(errno));
    char target[MAX_PATH];
    if (!buildFilePath(target, sizeof target, dest.c_str(), node->name))
        throw Failure("the path in " + dest + " would be too long");
    if (pathExists(target) && !a.force)
        throw Failure(std::string(target) + " already exists; use --force to replace it");
    if (folder)
        s.archive().selectFolder(node);
    else
        s.archive().selectFile(node, true);
    CliProgress progress(ctx.quiet, "exporting");
    if (!s.archive().exportSelected(dest, "", &progress, a.force)) throw Shown{};
    progress.done();
    const Tresmo::ExportTotal w = Tresmo::exportTotal(node, t);
    if (a.json) {
        printJson({{"archive", s.path()},
                   {"path", s.relPath(node)},
                   {"time", t},
                   {"target", target},
                   {"files", w.files},
                   {"folders", w.folders},
                   {"bytes", w.bytes}});
    } else if (!ctx.quiet) {
        writeOut(escapedName("Exported " +
                             (path.empty() ? std::string("the archive") : s.relPath(node)) + " " +
                             s.whenText(a.at, t) + " to " + target) +
                 " (" + counted(w.files, "file") + ", " + humanBytes(static_cast<double>(w.bytes)) +
                 ")\n");
    }
    return EXIT_DONE;
}

// ---- verify and repair ----

struct CheckArgs {
    std::string archive;
    bool json = false;
};

// An error chain as verify found it ("3214 Id: text" per line) in the presenter's form.
void printChain(const std::string& chain) {
    std::string out;
    for (size_t pos = 0; pos < chain.size();) {
        size_t end = chain.find('\n', pos);
        if (end == std::string::npos) end = chain.size();
        std::string line = chain.substr(pos, end - pos);
        size_t space = line.find(' '), colon = line.find(": ");
        if (space != std::string::npos && colon != std::string::npos && colon > space)
            line = line.substr(0, space) + line.substr(colon);
        out += "tresmo-cli: Error " + escapedName(line) + "\n";
        pos = end + 1;
    }
    std::fputs(out.c_str(), stderr);
}

std::string repairHint(const std::string& archive) {
    return "Run 'tresmo-cli repair " + archive + "' to move it aside (the next save does too).";
}

int runVerify(const CheckArgs& a, const Context& ctx) {
    Session s(a.archive);
    CliProgress progress(ctx.quiet, "verifying");
    VerifyReport r;
    bool checked = s.archive().verify(&progress, r);
    progress.done();
    if (!checked) throw Shown{};
    nlohmann::json damaged = nlohmann::json::array(), failed = nlohmann::json::array();
    for (const VerifyReport::Problem& p : r.damagedTxns) {
        std::fprintf(stderr, "tresmo-cli: %s: transaction %d%s, link at byte %llu, is damaged:\n",
                     escapedName(s.path()).c_str(), p.txn,
                     p.time ? (" (" + localTimeText(p.time) + ")").c_str() : "",
                     static_cast<unsigned long long>(p.offset));
        printChain(p.text);
        damaged.push_back(
            {{"number", p.txn}, {"time", p.time}, {"offset", p.offset}, {"error", p.text}});
    }
    for (const VerifyReport::Problem& p : r.badVersions) {
        std::string where = "item at byte " + std::to_string(p.offset);
        if (p.base)
            where = "delta at byte " + std::to_string(p.offset) + " on the item at byte " +
                    std::to_string(p.base);
        std::fprintf(stderr, "tresmo-cli: %s, transaction %d, %s:\n", escapedName(p.path).c_str(),
                     p.txn, where.c_str());
        printChain(p.text);
        failed.push_back({{"path", p.path},
                          {"number", p.txn},
                          {"offset", p.offset},
                          {"base", p.base ? nlohmann::json(p.base) : nullptr},
                          {"error", p.text}});
    }
    if (a.json) {
        printJson({{"archive", s.path()},
                   {"transactions", r.transactions},
                   {"files", r.files},
                   {"versions", r.versions},
                   {"bytes", r.bytes},
                   {"damaged", damaged},
                   {"failed", failed},
                   {"tail_bytes", r.tailBytes},
                   {"side_files", r.sideFiles},
                   {"ahead_of_clock", r.aheadTime >= 0 ? nlohmann::json(r.aheadTime) : nullptr},
                   {"ok", r.clean()}});
        return r.clean() ? EXIT_DONE : EXIT_FAILED;
    }
    std::string text;
    if (!r.damagedTxns.empty() || !r.badVersions.empty()) {
        text = "FAILED: " + std::to_string(r.damagedTxns.size()) + " of " +
               counted(r.transactions + (r.chainBroken ? 1 : 0), "transaction") + " damaged, " +
               std::to_string(r.badVersions.size()) + " of " + counted(r.versions, "version") +
               " could not be restored\n";
    } else if (!ctx.quiet || r.tailBytes) {
        text = "OK: " + counted(r.transactions, "transaction") + ", " +
               counted(r.versions, "version") + " of " + counted(r.files, "file") + " restored (" +
               humanBytes(static_cast<double>(r.bytes)) + "), every CRC matches\n";
    }
    if (r.tailBytes) {
        text += "INCOMPLETE: " + std::to_string(r.tailBytes) +
                " bytes after the last complete transaction (a save that did not finish)\n";
        if (r.damagedTxns.empty()) text += escapedName(repairHint(s.path())) + "\n";
    }
    if (r.aheadTime >= 0)
        text += "AHEAD OF THE CLOCK: the newest transaction is at " + localTimeText(r.aheadTime) +
                "; nothing is saved into the archive until the clock has passed it\n";
    for (const std::string& side : r.sideFiles)
        text += "SET ASIDE: " + escapedName(side) +
                " holds what an unfinished save had written; remove it once you no longer need "
                "it\n";
    writeOut(text);
    return r.clean() ? EXIT_DONE : EXIT_FAILED;
}

int runRepair(const CheckArgs& a, const Context& ctx) {
    Session s(a.archive, true);
    std::string side;
    CancelScope cancel;
    CliProgress progress(ctx.quiet, "repairing");
    presenter().capture(true);
    bool ok = s.archive().repair(&side, &progress);
    presenter().capture(false);
    progress.done();
    std::vector<Error> errors = presenter().takeCaptured();
    if (!ok && CancelScope::signal()) {
        std::fprintf(stderr, "tresmo-cli: interrupted; nothing was changed\n");
        return EXIT_SIGNALLED + CancelScope::signal();
    }
    for (const Error& e : errors)
        CliPresenter::print(e);
    if (!ok) {
        // A load that failed without a system error met damage; anything else (a lock, a
        // failing disk, a side file that could not be written) is shown as it is.
        bool damaged = !errors.empty() && ((errors[0].code == 2011 && !errors[0].hasCode(9000)) ||
                                           errors[0].hasCode(2034));
        if (!damaged) throw Shown{};
        throw Failure("nothing was changed: " + s.path() +
                      " is damaged, which repair does not mend (it only cuts an incomplete "
                      "transaction off the end); run 'tresmo-cli verify " +
                      s.path() + "' to see which transactions and versions are affected");
    }
    int64_t cut = 0;
    if (!side.empty()) {
        struct stat st;
        if (os::sys().stat(side.c_str(), &st) == 0) cut = st.st_size;
    }
    int32_t txns = 0;
    for (const Txn* t = s.archive().txns(); t; t = t->older)
        ++txns;
    if (a.json) {
        printJson({{"archive", s.path()},
                   {"transactions", txns},
                   {"cut_bytes", cut},
                   {"side_file", side}});
    } else if (side.empty()) {
        note(ctx.quiet, "Nothing to repair: " + s.path() +
                            " ends with its last complete "
                            "transaction (" +
                            counted(txns, "transaction") + ").");
    } else if (!ctx.quiet) {
        writeOut(escapedName("Moved the incomplete transaction (" + std::to_string(cut) +
                             " bytes) to " + side + "; the archive ends after transaction " +
                             std::to_string(txns)) +
                 "\n");
    }
    return EXIT_DONE;
}

}  // namespace

void addRestoreCommands(CLI::App& app, Context& ctx) {
    auto ct = std::make_shared<CatArgs>();
    CLI::App* cat = addCommand(app, ctx, "cat", "Write a stored version of a file to stdout",
                               [ct] { return runCat(*ct); });
    cat->footer(
        "Write the newest stored version of PATH, or the one valid at --at, to standard\n"
        "output, as it is restored. Its CRC-32 is checked after the last byte: a mismatch\n"
        "is reported, naming the file, with exit status 1. A symbolic link prints its\n"
        "target.");
    ArchiveWords::add(*cat, ctx, ct->archive, {{"PATH", &ct->path, true, PATH_HELP}});
    cat->add_option("--at", ct->at, "The version valid after a transaction (number or time)")
        ->check(nonEmpty());

    auto ex = std::make_shared<ExportArgs>();
    CLI::App* exp = addCommand(app, ctx, "export", "Restore a folder or file as it was",
                               [ex, &ctx] { return runExport(*ex, ctx); });
    exp->footer(
        "export ARCHIVE DEST restores the whole watched folder, export ARCHIVE PATH --to DEST\n"
        "one folder or file of it, as it was at --at (default: as last stored) into the\n"
        "folder DEST (made if missing), under its own name: DEST/NAME. An existing\n"
        "DEST/NAME is refused unless --force, which replaces it once the new copy is\n"
        "complete. The watched folder, what lies in it and what holds it or the archive are\n"
        "never replaced. Files keep their modification times. In an archive that keeps\n"
        "permissions, files and folders get their stored bits (folders' once their content\n"
        "is in), empty folders come back, and symbolic links are made as stored, wherever\n"
        "they point; a link met in DEST is replaced, never followed.");
    ArchiveWords::add(*exp, ctx, ex->archive,
                      {{"DEST", &ex->where, true,
                        "The folder to export into; with --to, the PATH to export instead"}});
    exp->add_option("--to", ex->to, "The folder to export PATH into")->check(nonEmpty());
    exp->add_option("--at", ex->at, "The state after a transaction (number or time)")
        ->check(nonEmpty());
    exp->add_flag("-f,--force", ex->force, "Replace an existing DEST/NAME");
    addJsonFlag(*exp, ex->json,
                "{archive, path, time, target, files, folders, bytes}: what was\n"
                "  written, the folder exported counted among the folders.");

    auto vf = std::make_shared<CheckArgs>();
    CLI::App* verify = addCommand(app, ctx, "verify", "Check every transaction and every version",
                                  [vf, &ctx] { return runVerify(*vf, ctx); });
    verify->footer(
        "Check the CRC of every transaction's records, replay them, and restore every stored\n"
        "version of every file, block by block, against its CRC-32. Damaged transactions and\n"
        "versions that cannot be restored are named on stderr. An incomplete transaction at\n"
        "the end (a save that did not finish) is reported too; see repair. Copies that repair\n"
        "or a save set aside (ARCHIVE.tail-*) are named until you remove them. The archive is\n"
        "never changed. Exit status 1 when anything is wrong or incomplete.");
    ArchiveWords::add(*verify, ctx, vf->archive, {});
    addJsonFlag(*verify, vf->json,
                "{archive, transactions, files, versions, bytes, damaged: [{number,\n"
                "  time, error}], failed: [{path, number, error}], tail_bytes, side_files,\n"
                "  ahead_of_clock (the newest transaction's time when the clock has not\n"
                "  passed it, else null), ok}");

    auto rp = std::make_shared<CheckArgs>();
    CLI::App* repair =
        addCommand(app, ctx, "repair", "Cut an incomplete transaction off the archive's end",
                   [rp, &ctx] { return runRepair(*rp, ctx); });
    repair->footer(
        "A save that did not finish (a crash, a power loss) can leave an incomplete\n"
        "transaction at the end of the archive. repair copies those bytes to\n"
        "ARCHIVE.tail-<UTC time> beside it and cuts them off, as the next save would.\n"
        "Every complete transaction must check first: a damaged archive is left as it is\n"
        "(exit status 1). Nothing to repair is not an error.");
    ArchiveWords::add(*repair, ctx, rp->archive, {});
    addJsonFlag(*repair, rp->json,
                "{archive, transactions, cut_bytes, side_file}; side_file is empty when\n"
                "  there was nothing to cut.");
}

}  // namespace cli
