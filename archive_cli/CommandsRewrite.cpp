// rewrite: an archive committed anew, whole, from a cut on, or as far as it is intact.
#include "archive_cli/Cli.h"
#include "archive_cli/CliProgress.h"
#include "archive_cli/Output.h"
#include "archive_cli/Session.h"

#include "archive/ops/Rewrite.h"
#include "archive/os/os.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <sys/stat.h>

namespace cli {

namespace {

struct RewriteArgs {
    std::string oldArchive, newArchive, since;
    int32_t keepLast = 0;
    bool replace = false, force = false, json = false;
};

int runRewrite(const RewriteArgs& a, const Context& ctx) {
    RewriteOptions o;
    o.keepLast = a.keepLast;
    if (!a.since.empty()) o.keepSince = parseTime(a.since);
    o.force = a.force;
    o.replace = a.replace;
    Session s(a.oldArchive);
    o.folder = s.selection().folder();
    const std::string newPath = absolutePath(a.newArchive);
    RewriteReport r;
    CancelScope cancel;
    CliProgress progress(ctx.quiet, "rewriting");
    bool ok = rewriteArchive(s.path(), newPath, o, r, &progress);
    progress.done();
    if (!ok && CancelScope::signal()) {
        std::fprintf(stderr, "tresmo-cli: interrupted; nothing was written and %s is as it was\n",
                     escapedName(s.path()).c_str());
        return EXIT_SIGNALLED + CancelScope::signal();
    }
    if (!ok) throw Shown{};
    // The new archive watches the old one's folder; a replaced one keeps its selection file,
    // and the copy set aside gets a copy of it.
    const std::string selOf = a.replace ? beforeRewritePath(s.path()) : newPath;
    if (s.hasFolder()) {
        FileSel sel = s.selection();
        sel.setFile(selectionPathFor(selOf));
        if (!sel.write()) throw Shown{};
    }
    if (a.json) {
        nlohmann::json lost = nlohmann::json::array();
        for (const RewriteReport::Lost& l : r.lost)
            lost.push_back({{"path", l.path}, {"time", l.time}});
        printJson({{"archive", a.replace ? s.path() : newPath},
                   {"transactions_before", r.txnsBefore},
                   {"transactions_kept", r.txnsKept},
                   {"versions_kept", r.versionsKept},
                   {"versions_lost", lost},
                   {"damaged_at", r.damagedAt},
                   {"transactions_damaged", r.txnsDamaged},
                   {"transactions_unread", r.txnsUnread},
                   {"records_skipped", r.recordsSkipped},
                   {"bytes_before", r.bytesBefore},
                   {"bytes_after", r.bytesAfter}});
    } else if (!ctx.quiet) {
        writeOut(escapedName("Rewrote " + s.path() + " into " + (a.replace ? s.path() : newPath)) +
                 ": " + std::to_string(r.txnsKept) + " of " + counted(r.txnsBefore, "transaction") +
                 ", " + counted(r.versionsKept, "version") + " kept, " +
                 std::to_string(r.lost.size()) + " lost; " +
                 humanBytes(static_cast<double>(r.bytesBefore)) + " before, " +
                 humanBytes(static_cast<double>(r.bytesAfter)) + " after" +
                 (a.replace ? escapedName("; the old archive is " + beforeRewritePath(s.path()))
                            : std::string()) +
                 "\n");
    }
    return r.lost.empty() && r.damagedAt == 0 ? EXIT_DONE : EXIT_PARTIAL;
}

}  // namespace

void addRewriteCommand(CLI::App& app, Context& ctx) {
    auto rw = std::make_shared<RewriteArgs>();
    CLI::App* cmd = addCommand(app, ctx, "rewrite", "Commit an archive's states into a new one",
                               [rw, &ctx] { return runRewrite(*rw, ctx); });
    cmd->footer(
        "Replay OLD's transactions, oldest first, and save each state into NEW at its own\n"
        "time, contents restored from OLD with their CRCs checked. OLD is never changed.\n"
        "--keep-last and --keep-since drop the transactions before the first kept one, which\n"
        "then stores the complete state of its time. A damaged OLD is rewritten as far as it\n"
        "is intact; versions that cannot be restored are left out and listed (exit status 3).\n"
        "NEW gets a selection file naming OLD's folder. With --replace, NEW takes OLD's place\n"
        "once complete and verified, OLD stays beside it as OLD.before-rewrite, and no save\n"
        "goes into OLD meanwhile. Ctrl+C leaves OLD as it was and no NEW.");
    cmd->add_option("OLD", rw->oldArchive, "The archive to rewrite")->required();
    cmd->add_option("NEW", rw->newArchive, "The new archive")->required();
    CLI::Option* last =
        cmd->add_option("--keep-last", rw->keepLast, "Keep the newest N transactions")
            ->check(CLI::Range(1, 1 << 30));
    cmd->add_option("--keep-since", rw->since, "Keep the transactions at or after DATE")
        ->excludes(last);
    cmd->add_flag("--replace", rw->replace, "Put NEW in OLD's place once complete");
    cmd->add_flag("-f,--force", rw->force, "Replace an existing NEW");
    addJsonFlag(*cmd, rw->json,
                "{archive, transactions_before, transactions_kept, versions_kept,\n"
                "  versions_lost: [{path, time}], damaged_at (0: intact),\n"
                "  transactions_damaged, transactions_unread, records_skipped,\n"
                "  bytes_before, bytes_after}");
}

}  // namespace cli
