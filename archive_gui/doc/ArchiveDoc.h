// The document: one archive (Tresmo) and its file selection, and every command that concerns
// the archive as a whole (New, Open, Save, Select Files, Export, Refresh, Recent Changes).
//
// The document file the user opens and saves is the archive's storage file; the selection
// lives in a companion file beside it, paired by name (work.trsm with work.sel). A new
// document has neither until its first Save.
//
// Long work (load, scan, save, export) runs on a worker thread under a modal progress box
// with Cancel; busy() is true meanwhile. Before a reload frees the tree, treeAboutToGo() is
// emitted so every view lets go of it; before work starts, workAboutToStart(). The window
// shows the views' picture from that moment until the work has ended. Commands show their own
// failures (through the installed presenter or a message box) and return whether they succeeded;
// nothing throws.
//
// Another program may save into the archive meanwhile: when the application becomes active
// again, and whenever the file changes on disk, the document reloads it (the range kept) if it
// grew or another file took its name, unless work or a dialog is under way.
//
// While a valid document shows a folder, the folder is watched: what changes on disk is marked
// without a Refresh. The folders that changed are looked at alone, on another thread, once the
// notices have been quiet for 200 ms or a second after the first; folders past the user's
// watch limit are looked at every few seconds instead. Nothing is looked at while work runs
// or a dialog is open, and a reload drops a look under way (the reload saw it all). Refresh
// stays the full check.
//
// valid() turns false when reading the archive, scanning the folder or storing the selection
// fails; the views then show nothing and the can*() checks refuse all but New, Open and the
// tool setups until the next New or Open.
#pragma once

#include "archive_gui/doc/ViewDoc.h"

#include "archive/objects/FileSel.h"
#include "archive/ops/FolderRescan.h"
#include "archive/ops/LiveWatch.h"
#include "archive/ops/Rewrite.h"
#include "archive/ops/Tresmo.h"

#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class QThread;
class QWidget;

class ArchiveDoc : public ViewDoc {
    Q_OBJECT

  public:
    // Paths of 250 characters or more are refused for a document.
    static constexpr size_t MAX_DOC_PATH = 250;

    enum class Period { Current, Today, ThisWeek, ThisMonth, ThisYear };

    explicit ArchiveDoc(QObject* parent = nullptr);
    ~ArchiveDoc() override;

    Tresmo& archive() override { return _archive; }
    bool valid() const override { return _valid; }
    bool busy() const override { return _busy; }

    const FileSel& selection() const { return _sel; }
    // The path the document was opened from or saved to; empty for a new document.
    const std::string& pathName() const { return _pathName; }
    // The storage file's title when it has the archive extension, else its file name; empty
    // without a storage file.
    std::string displayName() const;
    // The selection file that pairs with an archive path: the title with the selection
    // extension when the path has the archive extension (any case), else path + ".sel".
    static std::string selectionPathFor(const std::string& archivePath);

    // The window that owns the document's dialogs and progress box.
    void setWindow(QWidget* window) { _window = window; }
    // Cancels the long work that runs now, as its Cancel button does (a save rolls back).
    void cancelWork() { _stopWork = true; }
    // How long work runs before its progress box appears (tests set 0).
    void setProgressDelay(int ms) { _progressDelayMs = ms; }

    // New: an empty document without paths and with an empty selection.
    void newDocument();
    // Open, as the framework does it: an invalid path is refused with "Invalid path: %s" and
    // the document stays as it was; a later failure leaves a new, empty document.
    bool openDocument(const std::string& path);
    // Save; asks for the path (the file dialog) when the archive has none yet.
    bool save();
    // The save-as dialog of the first Save, starting at proposal; empty on Cancel.
    std::string askSavePath(const std::string& proposal);
    // Select Files: the frame shows the dialog on the document's selection and hands its
    // result here. Adopts sel (unless it is the document's own, unchanged) and reloads.
    void applySelection(const FileSel& sel);
    // Export of the one selected item into a folder the user picks.
    bool exportSelected();
    // Rewrites the archive into newPath (see rewriteArchive; the folder is the selection's),
    // gives the new archive or, with replace, the old one set aside a copy of the selection,
    // shows what was kept and lost, and reads the archive again when it was replaced.
    bool rewrite(const std::string& newPath, RewriteOptions options);
    bool canRewrite() const { return !_busy && _archive.hasPath(); }
    void refresh() { setRange(_archive.now(), _archive.now()); }
    void recentChanges(Period period);
    // Where the range of period begins when the present is now (now itself for Current).
    static int64_t periodStart(Period period, int64_t now);
    // Reloads with the range from..to (0 keeps a bound) and updates the views.
    void setRange(int64_t from, int64_t to);
    // Empties the archive, re-reads the storage file and rescans the folder (at the present
    // time); false (valid() false) when either fails.
    bool loadArchive();
    // After a load: the range pass, the selection kept where it still shows, the views.
    void showLoaded();
    // Reloads when another program changed the storage file (see above).
    void reloadIfChanged();

    bool canSave() const;
    bool canSelectFiles() const { return !_busy && _valid; }
    bool canExport() const;
    bool canRefresh() const;
    bool canRecentChanges() const;

  signals:
    // The document's path changed (New, Open, first Save).
    void pathChanged();
    // A path to put first in the recently used files.
    void recentFile(const QString& path);
    // A line for the status bar: how a command ended when that is not an error.
    void message(const QString& text);
    // Long work is about to start: the views may still read the tree for the last time.
    void workAboutToStart();
    // The archive just opened is damaged: it is shown read-only, and a rewrite would keep what
    // is intact in a new one.
    void openedDamaged();
    // The views show what a look at the folders that changed on disk found.
    void liveUpdated();

  private:
    // What a save is about to store: the files added, changed and removed.
    struct Pending {
        int64_t added = 0;
        int64_t changed = 0;
        int64_t removed = 0;
    };
    Pending listPending() const;
    // The status bar line after a save: its transaction and what it stored.
    void tellSaved(const SaveStats& stats, const Pending& pending);
    void deleteContents();
    // The path checks of Open and Save: shorter than MAX_DOC_PATH, valid; with mustBeFile it
    // must also exist and not be a folder. Shows "Invalid path: %s" on failure.
    bool checkPath(const std::string& path, bool mustBeFile);
    void setStoragePath(const std::string& path);
    // Asks before a new archive takes the place of the file at path, saying how much history
    // it holds (transactions, first and last); true for Yes. Cancel is the default.
    bool confirmReplace(const std::string& path);
    // Runs work on the worker thread with its progress box; busy() meanwhile. With cancelled
    // given, a cancel is not shown as an error; *cancelled tells whether there was one.
    bool runWork(const QString& label, const std::function<bool(Progress&)>& work,
                 bool* cancelled = nullptr);
    void redrawWindow();
    // After a load: watches the selection's folder (a new watch only for another selection,
    // made by the load's own work) or stops watching.
    void adoptWatch(std::unique_ptr<LiveWatch> fresh);
    void stopWatching();
    // Adds changed folders (each once) and times the look at them.
    void noteChanges(const std::vector<FolderChange>& changes);
    // Starts the look at the changed folders on another thread, or tries again later.
    void lookAtChanges();
    // The look's listings are in: merged into the tree and shown.
    void changesListed(const std::shared_ptr<FolderRescan>& rescan,
                       const std::vector<FolderChange>& changes, bool failed, int generation);
    // Watches the storage file under its name (again after a rename put another file there).
    void watchFile();

    Tresmo _archive;
    QFileSystemWatcher _watcher;
    FileSel _sel;
    bool _valid = true;
    bool _busy = false;
    bool _stopWork = false;
    // Set while Open replaces the contents: a failure then leaves a new document.
    bool _modified = false;
    std::string _pathName;
    QWidget* _window = nullptr;
    int _progressDelayMs = 400;

    std::unique_ptr<LiveWatch> _live;
    std::unique_ptr<QSocketNotifier> _liveNotice;
    QTimer _liveQuiet;      // the notices have been quiet long enough
    QTimer _liveUnwatched;  // time to look at the folders without a watch
    QElapsedTimer _liveFirst;
    std::vector<FolderChange> _liveChanged;
    std::unique_ptr<QThread> _lister;
    int _generation = 0;  // one more for every reload: a look begun before it is dropped
};
