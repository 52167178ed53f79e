// One archive as a command opens it: the storage file, its selection file paired by name, and
// the Tresmo that replays them.
//
// The pairing is the desktop program's: "work.trsm" keeps its selection in "work.sel" beside
// it (settings "ArchiveDoc.trsmExt" and "ArchiveDoc.selExt"); any other name gets ".sel"
// appended. Engine failures are shown by the engine and end the command through Shown;
// what the command line itself finds wrong (no such archive, no such path in it) is a Failure.
#pragma once

#include "archive_cli/TimeArg.h"

#include "archive/objects/FileSel.h"
#include "archive/ops/Tresmo.h"

#include <string>
#include <utility>
#include <vector>

class Progress;

namespace cli {

std::string selectionPathFor(const std::string& archivePath);
// The archive's title when it has the archive extension, else its file name.
std::string displayNameFor(const std::string& archivePath);
// Whether the name has the archive's or the selection file's extension.
bool namesArchive(const std::string& path);
// The archive that watches folder or the nearest folder above it, "" if none: D is watched
// when D.trsm and D.sel lie beside it and the .sel names D.
std::string archiveWatching(const std::string& folder);
// path made absolute against the current folder, "." and ".." resolved by text and the
// folder part resolved through symbolic links; the last component need not exist.
std::string absolutePath(const std::string& path);

class Session {
  public:
    // An existing archive: its path is checked, the selection file read if there is one. Only a
    // writer (save, repair) may give an empty file its header; for every other command the
    // archive file stays as it was, byte for byte.
    explicit Session(const std::string& archiveArg, bool writer = false);

    Tresmo& archive() { return _archive; }
    const FileSel& selection() const { return _sel; }
    const std::string& path() const { return _path; }
    bool hasFolder() const { return !_sel.folder().empty(); }

    // Replays the storage file at time now without scanning the folder: the archive as
    // stored, in the Current range.
    void load(int64_t now, Progress* progress = nullptr);
    // Replays and scans the watched folder at time now, as the desktop program's Refresh:
    // pending changes are marked and, if there are any, a pending transaction at now.
    void refresh(int64_t now, Progress* progress = nullptr);

    // Committed transactions, oldest first: index + 1 is the number `log` prints.
    std::vector<const Txn*> transactions() const;
    const Txn* newestTransaction() const;
    // The time a point stands for: a transaction's time, or the time given.
    int64_t resolve(const Point& point) const;
    // "as last stored" without --at, else "as it was at <t> (transaction N)", saying so when
    // t lies before the first transaction.
    std::string whenText(const std::string& at, int64_t t) const;
    // The number of the committed transaction at time t, 0 if none.
    int32_t txnNumber(int64_t t) const;

    // The times of "A..B" as git reads it: the changes after A up to B. A left out is the
    // start of the history, B left out now. Throws Usage when B lies before A.
    std::pair<int64_t, int64_t> range(const std::string& text, int64_t now) const;
    // Sets the view range and recomputes the range bits and folder statistics.
    void setRange(int64_t from, int64_t to);

    // The node of a path relative to the watched folder ("" or "." for the folder itself); an
    // absolute path inside the watched folder is taken as well. Throws Failure.
    Node* findNode(const std::string& path) const;
    // The node's path relative to the watched folder; "." for the root.
    std::string relPath(const Node* node) const;

  private:
    std::string _path;
    FileSel _sel;
    Tresmo _archive;
};

}  // namespace cli
