// The archive: the tree of TresmoData plus its storage file, and the operations that read,
// extend and restore it.
//
// The storage file is open only for the length of one operation. The top-level operations
// (read, findChanges, save, exportSelected, exportTempFile) catch every Error, show its chain
// through the installed presenter and return a success flag; the content operations
// (importFile, importDiff, exportFile) throw and are wrapped by their callers.
//
// A failed save rolls the storage file back to its last committed length, never below what
// the file held when the save opened it: what was committed before, by this program or
// another, is never touched, and the in-memory tree is then not to be trusted until the next
// refresh (which the document does anyway). A save that finds transactions another program
// appended since the load reads them first and scans the folder again, then commits what
// still differs on top of them. A save that succeeds returns only once the clock
// has passed the transaction's time, so a reload right after it never meets a transaction at
// the load time.
#pragma once

#include "archive/objects/FileSel.h"
#include "archive/support/TempFileList.h"
#include "archive/support/msg.h"
#include "archive/tree/TresmoData.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class DeltaAhead;
class ListingPool;

class ContentSource;
struct MetaEntry;
class Progress;
class StgFile;
struct VerifyReport;

// What one save stored, for reports.
struct SaveStats {
    int32_t files = 0;        // file versions written (empty files included)
    int32_t deltas = 0;       // of them stored as deltas
    int32_t removed = 0;      // delete records
    int32_t leftOut = 0;      // files that could not be read whole, still pending (warned)
    int64_t bytesRead = 0;    // bytes of the files read
    int64_t bytesStored = 0;  // bytes of the storage file the transaction added
};

class Tresmo : public TresmoData {
  public:
    Tresmo();
    ~Tresmo();

    // Names the storage file (nothing is opened); empty leaves the archive without one.
    void setPath(const std::string& path);
    const std::string& path() const { return _path; }
    bool hasPath() const { return !_path.empty(); }

    // Whether the storage file now differs from what the last read or save left: another
    // program appended to it, or another file was put under its name. A missing file is no
    // change (it may be on its way to a new name); nothing is opened or locked.
    bool changedOnDisk() const;
    // The last read met damage or failed: what was read is shown, nothing is saved into it.
    // Also while the archive holds a transaction the clock has not passed yet.
    bool readOnly() const { return _readFailed || aheadOfClock(); }
    // The archive holds a transaction at or after the present time (the clock was ahead when
    // it was saved, or is behind now): it is read, but nothing is saved until the clock passes.
    bool aheadOfClock() const;
    // Whether a pending file was written in the second of now: a save leaves such a file out,
    // as it may still be changing.
    bool hasRecentChanges() const;
    // After a scan at the present time that met such a file: waits until the clock has passed
    // the scan's second (at most a second) and gives true, so that the caller scans once more
    // at the new time and the user's last edit is saved; false when there was none.
    bool waitForRecentChanges() const;
    // Replays the storage file as it is now, whatever was read before, into the (empty, named)
    // tree; a new file is created. Shows
    // 2011/2012 with the failing chain and returns false; the replayed part stays. A file that
    // ends with an incomplete transaction (a save that crashed) loads its complete ones with
    // the warning 3016; the next save copies that tail to "NAME.tail-<UTC time>" beside the
    // archive and cuts it off before it appends. A storage file the caller opened stays open.
    bool read(Progress* progress = nullptr);
    // A reader never creates or writes the storage file: read() fails with 2011 (3000 for a
    // missing file, 3011 for an empty one) where it would otherwise make a new archive. Commands
    // that only look at an archive set it, so pointing one at the wrong file changes nothing.
    void setReader(bool on) { _reader = on; }
    // After a read and scan, when the storage file has grown since (changedOnDisk): replays only
    // the transactions another program appended into the tree as it is, so nodes (and what is
    // selected) stay, at now moved on to the present, for findChanges to scan again. False,
    // nothing shown, when the file must be read whole: replaced or cut, the new part damaged,
    // or the last read failed.
    bool readNew();
    // Scans the selection's folder and marks what differs from the stored state; shows the
    // scan's warnings, and 2013 when the folder cannot be scanned. crawled, when given, is a
    // pool that FileFinder::crawl started on the same selection.
    bool findChanges(const FileSel& sel, Progress* progress = nullptr,
                     ListingPool* crawled = nullptr);
    // What the last scan skipped (name twins, too big, paths too long, unreadable): paths below
    // the watched folder, a folder's with a trailing '/'. A save does not store them.
    const std::vector<std::string>& skipped() const { return _skipped; }
    // Commits the marked changes as one transaction at now(); 2015/2016 on failure, with the
    // storage file rolled back; 2034 when the last read stopped before the end. stats, when given,
    // receives what was stored. When another program saved since the load, now() moves on to the
    // clock and the folder of the last findChanges is scanned again first (2033 when there was
    // none).
    bool save(Progress* progress = nullptr, SaveStats* stats = nullptr);

    // One refresh as the document does it: setNow(t), the name from the selection's folder
    // (or displayName when there is none), read, findChanges, updateFolderInfo and the
    // selection updates. False when read or findChanges failed (both already shown).
    bool refresh(const FileSel& sel, int64_t t, const std::string& displayName = "",
                 Progress* progress = nullptr);

    // Exports the one selected item (a folder or a file) as it was at the end of the range
    // into target, under name or its own name when name is empty. 2020/2021 on failure. The
    // copy is built under a temporary name and renamed into place once complete (a failure
    // removes it). An existing target/name is refused, or with replace swapped for the new
    // copy and then deleted (a deletion that fails is a warning: the export is complete).
    // Refused (2035) where it would replace or lie inside the watched folder, or replace the
    // archive or a folder holding it; 2031 for a name that would leave target.
    // What an export of item as it was at t writes: the folder's whole content at t, or the
    // file. The progress of an export expects these.
    struct ExportTotal {
        int64_t files = 0, folders = 0, bytes = 0;
    };
    static ExportTotal exportTotal(const Node* item, int64_t t);
    bool exportSelected(const std::string& target, const std::string& name = "",
                        Progress* progress = nullptr, bool replace = false);
    // Checks the whole storage file without changing it (see Verify.h): every transaction's
    // records and every version of every file. False, with the error shown, only when the file
    // cannot be checked at all (missing, not a storage file, unreadable, cancelled); what it
    // found is in report either way.
    bool verify(Progress* progress, VerifyReport& report);
    // Cuts an incomplete transaction off the end of the storage file, as the next save would:
    // the file must load (every complete transaction checks; damage is shown and nothing is
    // changed), the tail is copied to "NAME.tail-<UTC time>" first. sidePath receives that
    // file's path, empty when there was no tail. False with the error shown on failure, also
    // when progress is cancelled before the cut (nothing is then changed).
    bool repair(std::string* sidePath = nullptr, Progress* progress = nullptr);

    // Restores a version into a new temporary file named after name; null on failure (shown
    // as 2029/2030). The file is removed by clear() or the destructor.
    const char* exportTempFile(const char* name, const ContentInfo& content);

    // Where saves read the contents they store; null (the default) reads the watched folder.
    // The source must outlive the saves.
    void setContentSource(ContentSource* source);
    ContentSource& contentSource() const { return *_source; }

    // Stores node's file (at path) whole into the open storage file; content.mtime on entry is
    // the scanned time (0: no check). Throws 2023 (2022 for a concurrent modification).
    void importFile(const Node* node, const char* path, ContentInfo& content,
                    Progress* progress = nullptr);
    // Stores the file as a delta against the full version content.pos/content.size, indexed
    // by bases; false (nothing referenced, content unchanged) when a delta does not pay.
    // Throws 2025 (2024).
    bool importDiff(const Node* node, const char* path, ContentInfo& content, DeltaAhead& bases,
                    Progress* progress = nullptr);
    // Restores a version to path (replacing a file there) with its CRC checked; throws 2028.
    // With dirFd, the file is created as the new file tempName inside that open folder, never
    // through a symbolic link; path only names it in messages (the export walks its target
    // this way, renames the file into place, and removes what failed). With dirFd and no
    // tempName, path's last part names a file already made in that folder (a temporary copy).
    void exportFile(const char* path, const ContentInfo& content, int dirFd = -1,
                    const char* tempName = nullptr);
    // Restores a version chunk by chunk into out (cat, open and diff), opening the storage file
    // for the time of the call when it is closed, and checks its CRC-32 after the last chunk:
    // memory stays bounded whatever size the version has or claims. Throws 2028 naming name
    // (the file as the caller shows it), also when out has already received bytes.
    void restore(const ContentInfo& content, const std::string& name,
                 const std::function<void(std::span<const uint8_t>)>& out);
    // Restores a version chunk by chunk into out; the storage file must be open. Throws the
    // storage and coder errors unwrapped. The caller checks the CRC-32 where the bytes go (the
    // file writer computes it anyway), so each restored byte is summed once.
    void restoreTo(const ContentInfo& content,
                   const std::function<void(std::span<const uint8_t>)>& out);

    // Open File and Show Diff on the one selected file.
    bool canOpenFile(bool diff) const;
    // False when no program could be started for it: none is set up for its type, and the
    // desktop's opener (xdg-open) cannot run either, or the one set up cannot.
    bool openFile(bool diff);

    // Empties everything (tree, range, selection), forgets the storage file and removes the
    // temporary files.
    void clear();

    // The newest stored version of node whose transaction is not after t (null if none).
    static const Version* versionAt(const Node* node, int64_t t);
    // Whether path is a file that begins with an archive's header (of any version).
    static bool isArchiveFile(const std::string& path);

    StgFile* storage() { return _stg.get(); }
    TempFileList& tempFiles() { return _temp; }

    // Puts the permission bits listed by the transaction whose link is at link on the versions
    // of the newest transaction, which a salvage has just replayed from that link.
    void applySalvagedMeta(uint64_t link) {
        if (txns()) applyMeta({link}, txns()->seq);
    }

  private:
    class Save;
    class Export;
    // Closes the storage file; a failure is shown wrapped as failureId and gives false.
    bool closeStorage(const char* failureId);
    // After damage met in a read: finds the damaged transaction (links: those the chain found,
    // brokenAt: the link that broke it, or 0; begun: transactions the replay had begun),
    // replays the ones before it again and says so.
    void readBeforeDamage(const std::vector<uint64_t>& links, uint64_t brokenAt, int begun);
    // Shows the open failure of a missing storage file (whose open would create it).
    bool storageExists();
    // Where a cut tail is copied: "NAME.tail-YYYYMMDD-HHMMSS" beside the archive, in UTC.
    std::string tailPath() const;
    // With the storage file open and grown: replays the new transactions into the tree and
    // scans the folder again, at a now later than all of them.
    void catchUp(Progress* progress);
    // With the storage file open and grown: replays the new transactions into the tree (whose
    // pending transaction the caller dropped, at a now after them); throws 2011 on damage.
    void replayNew();
    // Warns (2041) when the newest transaction is at or after the clock, and remembers it.
    void noteAhead();
    // Puts the permission bits that the transactions with these links (numbered from
    // firstSeq) list on their versions; the first transaction decides whether the archive
    // keeps them at all.
    void applyMeta(const std::vector<uint64_t>& links, int32_t firstSeq);
    // Puts one entry's bits on the version of txn it names; why it cannot (a path below a
    // file, a kind the version does not have), or null, also when txn stores nothing there.
    const char* placeMeta(const MetaEntry& e, const Txn* txn);
    // The refusal to save on top of a transaction the clock has not passed.
    Error aheadError() const;

    std::string _path;
    std::unique_ptr<StgFile> _stg;
    FileSel _scanned;                   // what the last findChanges scanned
    std::vector<std::string> _skipped;  // what it skipped
    bool _readFailed = false;           // the last read stopped before the end (failed, or damage)
    int64_t _aheadTime = -1;            // a transaction time the clock had not reached at the read
    bool _reader = false;               // see setReader
    TempFileList _temp;
    ContentSource* _source;
};
