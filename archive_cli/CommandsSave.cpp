// status and save: a refresh of the watched folder, and the commit of what it found.
#include "archive_cli/ArchiveWords.h"
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/FileMeta.h"
#include "archive_cli/JsonList.h"
#include "archive_cli/Output.h"
#include "archive_cli/Session.h"

#include "archive/os/os.h"
#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <CLI/CLI.hpp>

namespace cli {

namespace {

struct Change {
    std::string path;
    NodeState state;
    bool folder;
    // Of a folder that comes or goes: the files that come or go with it; -1 for a folder
    // whose bits alone changed.
    int64_t files = 0;
    std::string target, mode;  // a link's target, bits other than the default
};

// The target and bits the scan saw at c, in an archive that keeps them.
void scannedMeta(Session& s, const Node* c, Change& change) {
    if (!s.archive().metaFormat() || c->kind() == NodeKind::Absent) return;
    change.target = scannedTarget(s, c);
    if (change.target.empty())
        change.mode = modeText(static_cast<uint16_t>(c->mode & 07777), c->kind());
}

// Pending changes in tree order, each passed to out as it is met. Folders appear only when
// they themselves come or go, and then stand for everything beneath them (listing each would
// repeat the folder's path at every level: a deep tree would print its depth squared); a
// folder that is merely "modified" because something beneath it changed is implied.
template <class Out>
void pendingChanges(Session& s, Out out) {
    const Node* root = s.archive().root();
    for (const Node* c = root ? nextInTree(root, root) : nullptr; c;) {
        if (!(c->flags & Node::SUBTREE_CHANGED)) {
            c = nextInTree(c, root, false);
            continue;
        }
        NodeState st = s.archive().changeState(c);
        bool folder = c->kind() == NodeKind::Folder ||
                      (c->kind() == NodeKind::Absent && c->storedKind() == NodeKind::Folder);
        if (c->flags & Node::CHANGED) {
            if (!folder &&
                (st == NodeState::Added || st == NodeState::Modified || st == NodeState::Removed)) {
                Change file{s.relPath(c), st, false, 0, "", ""};
                scannedMeta(s, c, file);
                out(file);
            } else if (folder && st == NodeState::Modified && s.archive().metaFormat() &&
                       c->versions && c->versions->perm() != (c->mode & 07777)) {
                Change bits{s.relPath(c) + "/", st, true, -1, "", ""};
                scannedMeta(s, c, bits);
                bits.mode = bits.mode.empty() ? "0755" : bits.mode;
                out(bits);
            } else if (folder && (st == NodeState::Added || st == NodeState::Removed)) {
                Change whole{s.relPath(c) + "/", st, true, 0, "", ""};
                scannedMeta(s, c, whole);
                for (const Node* n = c->firstChild; n; n = nextInTree(n, c))
                    whole.files += (n->flags & Node::CHANGED) && n->kind() != NodeKind::Folder &&
                                   n->storedKind() != NodeKind::Folder;
                out(whole);
                c = nextInTree(c, root, false);
                continue;
            }
        }
        c = nextInTree(c, root);
    }
}

// The changes as they are met, then what the scan skipped (marked '!'): data that a save
// does not store. Gives the number of changes.
size_t printChanges(Session& s) {
    size_t count = 0;
    pendingChanges(s, [&](const Change& c) {
        std::string files;
        if (c.folder && c.files >= 0) files = " (" + counted(c.files, "file") + ")";
        writeOut(colouredState(c.state) + "  " + escapedName(c.path) + files +
                 metaSuffix(c.target, c.mode) + "\n");
        ++count;
    });
    for (const std::string& path : s.archive().skipped())
        writeOut("!  " + escapedName(path) + "\n");
    return count;
}

int exitFor(Session& s) {
    return s.archive().skipped().empty() ? EXIT_DONE : EXIT_PARTIAL;
}

// What status --json and save --dry-run --json print; extra adds fields.
void printChangesJson(Session& s, int64_t now, nlohmann::json extra) {
    extra.update({{"archive", s.path()},
                  {"folder", s.selection().folder()},
                  {"time", now},
                  {"transactions", s.transactions().size()},
                  {"skipped", s.archive().skipped()}});
    JsonList list(std::move(extra), "changes");
    pendingChanges(s, [&](const Change& c) {
        nlohmann::json change{{"path", c.path},
                              {"state", stateName(c.state)},
                              {"kind", c.folder ? "folder" : "file"}};
        if (c.folder && c.files >= 0) change["files"] = c.files;
        if (!c.target.empty()) change.update({{"kind", "link"}, {"target", c.target}});
        if (!c.mode.empty()) change["mode"] = c.mode;
        list.add(change);
    });
    list.finish();
}

struct StatusArgs {
    std::string archive;
    bool json = false;
};

int runStatus(const StatusArgs& a, const Context& ctx) {
    Session s(a.archive);
    CliProgress progress(ctx.quiet, "scanning");
    int64_t now = currentTime();
    s.refresh(now, &progress);
    progress.done();
    if (a.json) {
        printChangesJson(s, now, {});
        return exitFor(s);
    }
    if (printChanges(s) == 0) note(ctx.quiet, "No changes to save.");
    return exitFor(s);
}

struct SaveArgs {
    std::string archive, time;
    bool dryRun = false, json = false;
};

// What save --json prints: the transaction written (null when none was) and its figures.
void printSaveJson(Session& s, int64_t now, const SaveStats* stats, size_t number) {
    nlohmann::json out{
        {"archive", s.path()}, {"transaction", nullptr}, {"skipped", s.archive().skipped()}};
    if (stats) {
        if (stats->bytesStored > 0) out.update({{"transaction", number}, {"time", now}});
        out.update({{"files", stats->files},
                    {"deltas", stats->deltas},
                    {"removed", stats->removed},
                    {"left_out", stats->leftOut},
                    {"read_bytes", stats->bytesRead},
                    {"stored_bytes", stats->bytesStored}});
    }
    printJson(out);
}

int64_t checkedSaveTime(const SaveArgs& a) {
    int64_t t = parseTime(a.time);
    int64_t cur = currentTime();
    if (t > cur) {
        throw Failure("--time " + a.time + " (" + localTimeText(t) +
                      ") is in the future; it is now " + localTimeText(cur));
    }
    // The transaction must follow the newest one; a look at the stored history first, as the
    // replay at t itself would refuse a transaction at or after t with a bare format error.
    Session pre(a.archive);
    pre.load(cur);
    if (const Txn* newest = pre.newestTransaction(); newest && t <= newest->time) {
        throw Failure("--time " + a.time + " (" + localTimeText(t) +
                      ") is not later than the newest transaction " +
                      std::to_string(pre.transactions().size()) + " at " +
                      localTimeText(newest->time));
    }
    return t;
}

int runSave(const SaveArgs& a, const Context& ctx) {
    bool fixedTime = !a.time.empty();
    int64_t now = fixedTime ? checkedSaveTime(a) : currentTime();
    Session s(a.archive, true);
    CancelScope cancel;
    for (int attempt = 0;; ++attempt) {
        CliProgress progress(ctx.quiet, "saving");
        try {
            s.refresh(now, &progress);
        } catch (...) {  // a signal ends the refresh as a failure
            if (CancelScope::signal()) break;
            throw;
        }
        // A file written within the refresh's own second may still be changing and would be
        // left out. Once the clock has moved on it is older than a new refresh, unless it is
        // still being written: so one more refresh, a second later.
        if (!fixedTime && attempt == 0 && s.archive().waitForRecentChanges()) {
            now = currentTime();
            continue;
        }
        size_t number = s.transactions().size() + 1;
        if (a.json && a.dryRun) {
            printChangesJson(s, now, {{"transaction", number}});
            return exitFor(s);
        }
        if (!s.archive().hasPendingChanges()) {
            if (a.json) printSaveJson(s, now, nullptr, number);
            note(ctx.quiet || a.json, "Nothing to save: no changes since the last transaction.");
            return exitFor(s);
        }
        if (a.dryRun) {
            const size_t count = printChanges(s);
            note(ctx.quiet, "Would save " + counted(static_cast<int64_t>(count), "change") +
                                " as transaction " + std::to_string(number) + ".");
            return exitFor(s);
        }
        SaveStats stats;
        presenter().capture(true);
        bool ok = s.archive().save(&progress, &stats);
        presenter().capture(false);
        std::vector<Error> errors = presenter().takeCaptured();
        progress.done();
        if (ok && a.json) {
            printSaveJson(s, now, &stats, number);
            return stats.leftOut ? EXIT_PARTIAL : exitFor(s);
        }
        if (ok) {
            const size_t skipped = s.archive().skipped().size();
            std::string left = stats.leftOut ? "; " + counted(stats.leftOut, "file") +
                                                   " left out (see the warnings), still pending"
                                             : "";
            if (skipped) left += "; " + std::to_string(skipped) + " skipped (see the warnings)";
            if (stats.bytesStored == 0) {
                // Every change was a file left out: no transaction was written.
                note(ctx.quiet, "Nothing saved" + left + ".");
            } else if (!ctx.quiet) {
                writeOut("Saved transaction " + std::to_string(number) + " at " +
                         localTimeText(now) + ": " + counted(stats.files, "file") + " (" +
                         std::to_string(stats.deltas) + " as deltas), " +
                         std::to_string(stats.removed) + " removed; read " +
                         humanBytes(static_cast<double>(stats.bytesRead)) + ", stored " +
                         humanBytes(static_cast<double>(stats.bytesStored)) + left + "\n");
            }
            return stats.leftOut ? EXIT_PARTIAL : exitFor(s);
        }
        if (CancelScope::signal()) break;
        for (const Error& e : errors)
            CliPresenter::print(e);
        throw Shown{};
    }
    std::fprintf(stderr,
                 "tresmo-cli: interrupted; nothing was saved and the archive is as it "
                 "was\n");
    return EXIT_SIGNALLED + CancelScope::signal();
}

}  // namespace

void addSaveCommands(CLI::App& app, Context& ctx) {
    auto st = std::make_shared<StatusArgs>();
    CLI::App* status = addCommand(app, ctx, "status", "List the changes a save would store",
                                  [st, &ctx] { return runStatus(*st, ctx); });
    status->footer(
        "Scan the watched folder and list what differs from the newest transaction, one line\n"
        "per change: A added, M modified, D removed, and the path in the watched folder.\n"
        "Folders appear (with a trailing /) only when they themselves were added or removed.\n"
        "What the scan skipped, and a save would not store, is marked ! (the warnings on\n"
        "stderr say why, even with -q); the exit status is then 3.\n"
        "In an archive that keeps permissions, a symbolic link is shown as \"path -> target\"\n"
        "(a new target is a modification), bits other than 0644 (files) and 0755 (folders)\n"
        "as \"(mode 0700)\", a change of bits alone as M, and an empty folder as a folder.");
    ArchiveWords::add(*status, ctx, st->archive, {});
    addJsonFlag(*status, st->json,
                "{archive, folder, time, transactions, changes: [{path, state,\n"
                "  kind, target, mode}], skipped: [path]}; state is added, modified or removed,\n"
                "  kind file, folder or link, target a link's, mode octal bits other than the\n"
                "  default; a skipped folder's path ends with /.");

    auto sv = std::make_shared<SaveArgs>();
    CLI::App* save = addCommand(app, ctx, "save", "Store the changes as one transaction",
                                [sv, &ctx] { return runSave(*sv, ctx); });
    save->footer(
        "Scan the watched folder and store every new, modified and removed file as one\n"
        "transaction; prints how many files were stored (and how many as deltas), the bytes\n"
        "read and the bytes the archive grew by. Nothing to save is not an error. Ctrl+C,\n"
        "SIGTERM and SIGHUP stop the save and leave the archive as it was (exit status 128\n"
        "plus the signal's number: 130, 143, 129).\n"
        "A file modified in the very second of the save is taken a second later. A file\n"
        "that cannot be read or keeps changing is left out with a warning and stays\n"
        "pending; what the scan skipped is named in a warning too (even with -q). The\n"
        "exit status is then 3: the rest was saved.");
    ArchiveWords::add(*save, ctx, sv->archive, {});
    save->add_option("--time", sv->time,
                     "Transaction time (Unix seconds or ISO 8601): later than the newest "
                     "transaction, not in the future, and later than every file's mtime")
        ->check(nonEmpty());
    save->add_flag("-n,--dry-run", sv->dryRun, "List what would be stored, store nothing");
    addJsonFlag(*save, sv->json,
                "{archive, transaction, time, files, deltas, removed, left_out,\n"
                "  read_bytes, stored_bytes, skipped: [path]}; transaction is null and time\n"
                "  absent when nothing was written. With --dry-run, status's fields and the\n"
                "  number the transaction would get.");
}

}  // namespace cli
