// log, ls and history: the stored history, read without scanning the watched folder.
#include "archive_cli/ArchiveWords.h"
#include "archive_cli/Cli.h"
#include "archive_cli/FileMeta.h"
#include "archive_cli/JsonList.h"
#include "archive_cli/Output.h"
#include "archive_cli/Session.h"

#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

namespace cli {

namespace {

// How a file version's content is kept: whole, as a delta, or the content of the version
// before it named again (a change of bits alone), which stores nothing new.
const char* storedHow(const Version* v) {
    const ContentInfo* c = v->content();
    if (c->pos != 0 && ownStoredSize(v) == 0) return "same";
    return c->diffPos ? "delta" : "full";
}

// What a version did to its file: added (a file where none was), modified, removed, or
// nothing a file list counts (folder versions).
NodeState versionState(const Version* v) {
    bool isFile = v->kind() == NodeKind::File;
    bool wasFile = v->older && v->older->kind() == NodeKind::File;
    if (isFile) return wasFile ? NodeState::Modified : NodeState::Added;
    return wasFile ? NodeState::Removed : NodeState::None;
}

// ---- log ----

struct TxnCounts {
    int32_t added = 0, modified = 0, removed = 0;
    double stored = 0;
    bool touched = false;  // any version at all, folders' too
};

// What each transaction did to top and what lies beneath it, by its place (Txn::seq): one
// walk over every version there.
std::vector<TxnCounts> countVersions(const Tresmo& archive, const Node* top) {
    std::vector<TxnCounts> counts(archive.txns() ? static_cast<size_t>(archive.txns()->seq) + 1
                                                 : 0);
    for (const Node* n = top; n; n = nextInTree(n, top)) {
        for (const Version* v = n->versions; v; v = v->older) {
            if (!v->committed()) continue;
            TxnCounts& c = counts[static_cast<size_t>(v->txn->seq)];
            c.touched = true;
            switch (versionState(v)) {
                case NodeState::Added:
                    ++c.added;
                    break;
                case NodeState::Modified:
                    ++c.modified;
                    break;
                case NodeState::Removed:
                    ++c.removed;
                    break;
                default:
                    break;
            }
            c.stored += ownStoredSize(v);
        }
    }
    return counts;
}

struct LogArgs {
    std::string archive, path;
    int32_t count = 0;  // the newest this many; 0 for all
    bool json = false;
};

int runLog(const LogArgs& a) {
    Session s(a.archive);
    s.load(currentTime());
    const Node* top = a.path.empty() ? s.archive().root() : s.findNode(a.path);
    const std::vector<TxnCounts> counts = countVersions(s.archive(), top);
    std::optional<JsonList> list;
    if (a.json) {
        nlohmann::json head{{"archive", s.path()}};
        if (!a.path.empty()) head["path"] = s.relPath(top);
        list.emplace(std::move(head), "transactions");
    }
    // Committed transactions, newest first; a place in the chain is its number less one.
    int32_t shown = 0;
    for (const Txn* t = s.newestTransaction(); t && (!a.count || shown < a.count); t = t->older) {
        const TxnCounts& c = counts[static_cast<size_t>(t->seq)];
        if (!a.path.empty() && !c.touched) continue;
        ++shown;
        const int32_t number = t->seq + 1;
        if (list) {
            list->add({{"number", number},
                       {"time", t->time},
                       {"local_time", localTimeText(t->time)},
                       {"added", c.added},
                       {"modified", c.modified},
                       {"removed", c.removed},
                       {"stored_bytes", static_cast<int64_t>(c.stored)}});
            continue;
        }
        char line[200];
        std::snprintf(line, sizeof line, "%4d  %s  %5d added  %5d modified  %5d removed  %10s\n",
                      number, localTimeText(t->time).c_str(), c.added, c.modified, c.removed,
                      humanBytes(c.stored).c_str());
        writeOut(line);
    }
    if (list) list->finish();
    return EXIT_DONE;
}

// ---- ls ----

struct LsArgs {
    std::string archive, path, at, changed, range;
    bool recursive = false, json = false;
};

// The newest file version not after t, looking past a deletion: what a removed file was.
const Version* lastFileVersion(const Node* node, int64_t t) {
    for (const Version* v = Tresmo::versionAt(node, t); v; v = v->older)
        if (v->kind() == NodeKind::File && v->content()) return v;
    return nullptr;
}

// Lines or JSON entries written as the walk meets them.
struct Lister {
    Session& s;
    const LsArgs& a;
    bool onlyChanged;
    std::optional<JsonList> json;

    bool present(const Node* n) const { return n->flags & (Node::WAS_FOLDER | Node::WAS_FILE); }
    bool isFolderInRange(const Node* n) const {
        // A name that was a folder at the end of the range, or (when it is gone by then) last.
        if (n->flags & Node::FOLDER_AT_TO) return true;
        if (n->flags & Node::FILE_AT_TO) return false;
        return (n->flags & Node::WAS_FOLDER) && !(n->flags & Node::WAS_FILE);
    }
    bool changedBeneath(const Node* n) const { return n->info && n->info->changes > 0; }
    const Node* firstPresent(const Node* n) const {
        while (n && !present(n))
            n = n->next;
        return n;
    }

    void entry(const Node* n, const std::string& rel) {
        NodeState st = s.archive().changeState(n);
        bool folder = isFolderInRange(n);
        bool show = !onlyChanged || st != NodeState::Unchanged || (folder && changedBeneath(n));
        if (!show) return;
        const Version* v = folder ? nullptr : lastFileVersion(n, s.archive().to());
        const ContentInfo* ci = v ? v->content() : nullptr;
        std::string target, mode;
        if (const Version* m = folder ? Tresmo::versionAt(n, s.archive().to()) : v;
            m && s.archive().metaFormat()) {
            target = storedTarget(s, n, m);
            if (target.empty()) mode = modeText(m->perm(), m->kind());
        }
        if (json) {
            nlohmann::json e = {{"path", rel},
                                {"name", n->name},
                                {"kind", folder           ? "folder"
                                         : target.empty() ? "file"
                                                          : "link"},
                                {"state", stateName(st)}};
            if (!target.empty()) e["target"] = target;
            if (!mode.empty()) e["mode"] = mode;
            if (ci) {
                e["size"] = ci->size;
                e["mtime"] = ci->mtime;
                e["stored"] = storedHow(v);
                e["stored_size"] = ownStoredSize(v);
            }
            json->add(e);
            return;
        }
        char line[120];
        if (ci)
            std::snprintf(line, sizeof line, "%10d  %s  ", ci->size,
                          localTimeText(ci->mtime).c_str());
        else
            std::snprintf(line, sizeof line, "%10s  %19s  ", "-", "");
        writeOut(colouredState(st) + "  " + line + escapedName(rel) + (folder ? "/" : "") +
                 metaSuffix(target, mode) + "\n");
    }

    // The entries of dir, and with -r all beneath them, paths relative to dir. One path is
    // kept and cut back on the way up: nothing per level of nesting.
    void children(const Node* dir) {
        std::string rel;
        const Node* n = firstPresent(dir->firstChild);
        if (n) rel = n->name;
        while (n) {
            entry(n, rel);
            const Node* c =
                a.recursive && isFolderInRange(n) ? firstPresent(n->firstChild) : nullptr;
            if (c) {
                (rel += '/') += c->name;
                n = c;
                continue;
            }
            for (;;) {
                rel.resize(rel.size() - std::char_traits<char>::length(n->name));
                if (const Node* next = firstPresent(n->next)) {
                    rel += next->name;
                    n = next;
                    break;
                }
                n = n->parent;
                if (n == dir) return;
                rel.pop_back();  // the '/' before the finished folder's entries
            }
        }
    }
};

int runLs(const LsArgs& a) {
    Session s(a.archive);
    int64_t now = currentTime();
    s.load(now);
    int64_t from = now, to = now;
    if (!a.at.empty()) {
        from = to = s.resolve(parsePoint(a.at));
    } else if (!a.changed.empty()) {
        from = periodStart(a.changed, now);
    } else if (!a.range.empty()) {
        std::tie(from, to) = s.range(a.range, now);
    } else if (const Txn* newest = s.newestTransaction()) {
        // The newest transaction, whose changes the letters then show.
        from = to = newest->time;
    }
    s.setRange(from, to);
    // "." is the current folder inside the watched folder, else the watched folder itself.
    Node* node = s.findNode(a.path.empty() ? "." : a.path);
    Lister lister{s, a, !a.changed.empty() || !a.range.empty(), {}};
    if (const std::vector<const Txn*> list = s.transactions();
        !a.at.empty() && (list.empty() || from < list.front()->time))
        throw Failure("nothing in the archive " + s.whenText(a.at, from));
    if (node->parent && !lister.present(node))
        throw Failure("no " + s.relPath(node) + " in the archive " +
                      (a.at.empty() ? std::string("in that range") : s.whenText(a.at, from)));
    if (a.json)
        lister.json.emplace(
            nlohmann::json{
                {"archive", s.path()}, {"path", s.relPath(node)}, {"from", from}, {"to", to}},
            "entries");
    if (node->parent && !lister.isFolderInRange(node))
        lister.entry(node, s.relPath(node));
    else
        lister.children(node);
    if (lister.json) lister.json->finish();
    return EXIT_DONE;
}

// ---- history ----

struct HistoryArgs {
    std::string archive, path;
    bool json = false;
};

int runHistory(const HistoryArgs& a) {
    Session s(a.archive);
    s.load(currentTime());
    Node* node = s.findNode(a.path);
    nlohmann::json list = nlohmann::json::array();
    std::string text;
    for (const Version* v = node->versions; v; v = v->older) {
        if (!v->committed()) continue;
        int32_t number = v->txn->seq + 1;
        const ContentInfo* ci = v->content();
        NodeState st = versionState(v);
        const char* kind = v->kind() == NodeKind::File     ? (v->isLink() ? "link" : "file")
                           : v->kind() == NodeKind::Folder ? "folder"
                                                           : "absent";
        std::string target, mode;
        if (s.archive().metaFormat()) {
            target = storedTarget(s, node, v);
            // Bits back to the default are shown too: the version changed them.
            const bool changed = v->older && v->older->kind() == v->kind() &&
                                 v->older->perm() != v->perm() && v->kind() != NodeKind::Absent;
            if (target.empty()) mode = modeText(v->perm(), v->kind(), changed);
        }
        if (a.json) {
            nlohmann::json e = {
                {"number", number},
                {"time", v->txn->time},
                {"local_time", localTimeText(v->txn->time)},
                {"kind", kind},
                {"state",
                 v->kind() == NodeKind::Folder
                     ? (v->older && v->older->kind() == NodeKind::Folder ? "unchanged" : "added")
                     : stateName(st)}};
            if (v->kind() == NodeKind::Absent) e["state"] = "removed";
            if (!target.empty()) e["target"] = target;
            if (!mode.empty()) e["mode"] = mode;
            if (ci) {
                e["size"] = ci->size;
                e["mtime"] = ci->mtime;
                e["stored"] = storedHow(v);
                e["stored_size"] = ownStoredSize(v);
                e["crc"] = ci->crc;
            }
            list.push_back(e);
            continue;
        }
        char line[200];
        if (ci) {
            std::snprintf(line, sizeof line, "%4d  %s  %-8s  %10d B  %-5s  %10d B stored\n", number,
                          localTimeText(v->txn->time).c_str(), stateName(st), ci->size,
                          storedHow(v), ownStoredSize(v));
        } else {
            std::snprintf(line, sizeof line, "%4d  %s  %s\n", number,
                          localTimeText(v->txn->time).c_str(),
                          v->kind() == NodeKind::Folder ? "folder" : "removed");
        }
        // The line's end: the suffix goes before it.
        text.append(line, std::strlen(line) - 1);
        text += metaSuffix(target, mode) + "\n";
    }
    if (a.json)
        printJson({{"archive", s.path()}, {"path", s.relPath(node)}, {"versions", list}});
    else
        writeOut(text);
    return EXIT_DONE;
}

}  // namespace

void addBrowseCommands(CLI::App& app, Context& ctx) {
    auto lg = std::make_shared<LogArgs>();
    CLI::App* log = addCommand(app, ctx, "log", "List the transactions, newest first",
                               [lg] { return runLog(*lg); });
    log->footer(
        "List the transactions newest first: number (1 is the oldest; use it with --at),\n"
        "local time, files added, modified and removed, and the bytes stored. With PATH,\n"
        "only the transactions that changed it (or, for a folder, anything beneath it),\n"
        "with what they did there.");
    ArchiveWords::add(
        *log, ctx, lg->archive,
        {{"PATH", &lg->path, false, "Only the transactions that changed this file or folder"}});
    log->add_option("-n,--max-count", lg->count, "Only the newest N transactions")
        ->check(CLI::Range(1, INT32_MAX));
    addJsonFlag(*log, lg->json,
                "{archive, transactions: [{number, time, local_time, added,\n"
                "  modified, removed, stored_bytes}]}, newest first; times in Unix seconds.");

    auto ls = std::make_shared<LsArgs>();
    CLI::App* lsCmd = addCommand(app, ctx, "ls", "List a folder of the archive as it was",
                                 [ls] { return runLs(*ls); });
    lsCmd->footer(
        "List the files and folders of PATH as stored (default: the current folder inside\n"
        "the watched folder, else the watched folder itself): change state, size,\n"
        "modification time and name. The state letter tells what happened inside the\n"
        "range: ' ' unchanged, M modified, A added, D removed, ! added and removed again.\n"
        "In an archive that keeps permissions, a symbolic link is shown as \"name -> target\"\n"
        "and bits other than 0644 (files) and 0755 (folders) as \"(mode 0700)\".\n"
        "Without a range option the range is the newest transaction. --range A..B reads as\n"
        "in git: the changes after transaction A up to B. --changed and --range list only\n"
        "what changed in the range (and the folders that hold it), like the desktop\n"
        "program's Recent Changes.");
    ArchiveWords::add(*lsCmd, ctx, ls->archive, {{"PATH", &ls->path, false, PATH_HELP}});
    auto* at = lsCmd
                   ->add_option("--at", ls->at,
                                "The archive as it was after a transaction (number or time)")
                   ->check(nonEmpty());
    auto* changed = lsCmd
                        ->add_option("--changed", ls->changed,
                                     "What changed since the start of: today, week, month, year")
                        ->check(CLI::IsMember({"today", "week", "month", "year"}));
    auto* range = lsCmd
                      ->add_option("--range", ls->range,
                                   "What changed after A up to B: A..B (numbers or times; "
                                   "either may be left out)")
                      ->check(nonEmpty());
    at->excludes(changed)->excludes(range);
    changed->excludes(at)->excludes(range);
    range->excludes(at)->excludes(changed);
    lsCmd->add_flag("-r,--recursive", ls->recursive, "List subfolders too");
    addJsonFlag(
        *lsCmd, ls->json,
        "{archive, path, from, to, entries: [{path, name, kind, state,\n"
        "  size, mtime, stored, stored_size, target, mode}]}; size to stored_size for file\n"
        "  versions only; kind file, folder or link; target and mode as in the listing.");

    auto hs = std::make_shared<HistoryArgs>();
    CLI::App* history = addCommand(app, ctx, "history", "List every stored version of a file",
                                   [hs] { return runHistory(*hs); });
    history->footer(
        "List every stored version of PATH, newest first: transaction number, time, what\n"
        "happened, size, whether it is stored whole (full) or as a delta, and its stored size.\n"
        "In an archive that keeps permissions, a link's versions end with \"-> target\" and\n"
        "bits other than the default with \"(mode 0700)\"; a change of bits alone is a\n"
        "version of its own (M) that names the content before it again (same, 0 B stored).");
    ArchiveWords::add(*history, ctx, hs->archive, {{"PATH", &hs->path, true, PATH_HELP}});
    addJsonFlag(*history, hs->json,
                "{archive, path, versions: [{number, time, local_time, kind,\n"
                "  state, size, mtime, stored, stored_size, crc, target, mode}]}; size to crc for\n"
                "  file versions only; kind file, link, folder or absent.");
}

}  // namespace cli
