#include "archive_gui/doc/ArchiveDoc.h"

#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/FileBrowsers.h"
#include "archive_gui/util/UiStrings.h"
#include "archive_gui/util/WorkTally.h"
#include "archive_gui/util/WorkerRun.h"

#include "archive/os/os.h"
#include "archive/support/Progress.h"
#include "archive/support/TempFileList.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <QApplication>
#include <QFileDialog>
#include <QLocale>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const std::string* selExt = stringSetting("ArchiveDoc.selExt", "sel");
const std::string* trsmExt = stringSetting("ArchiveDoc.trsmExt", "trsm");

// True when path's extension is the archive's, without regard to case.
bool hasArchiveExt(const char* path) {
    char ext[MAX_PATH];
    return getFileExt(ext, sizeof ext, path) && compareNoCase(ext, trsmExt->c_str()) == 0;
}

// Takes every message while it lives: a look that may fail says so by its result.
class QuietPresenter final : public Presenter {
  public:
    QuietPresenter() : _before(installPresenter(this)) {}
    ~QuietPresenter() override { installPresenter(_before); }
    void showError(const Error&) override {}
    void showMsgs(const MsgList&) override {}
    void verifyFailed(const char* file, int line, const char* expr) override {
        _before->verifyFailed(file, line, expr);
    }

  private:
    Presenter* _before;
};

}  // namespace

ArchiveDoc::ArchiveDoc(QObject* parent) : ViewDoc(parent) {
    // A change comes as several events while another program writes: look once it is quiet.
    connect(&_watcher, &QFileSystemWatcher::fileChanged, this,
            [this] { QTimer::singleShot(200, this, &ArchiveDoc::reloadIfChanged); });
    if (qGuiApp)
        connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
                [this](Qt::ApplicationState state) {
                    if (state == Qt::ApplicationActive) reloadIfChanged();
                });
    connect(this, &ViewDoc::treeAboutToGo, this, [this] { ++_generation; });
    _liveQuiet.setSingleShot(true);
    connect(&_liveQuiet, &QTimer::timeout, this, &ArchiveDoc::lookAtChanges);
    connect(&_liveUnwatched, &QTimer::timeout, this, [this] {
        std::vector<FolderChange> changes;
        if (_live)
            for (const std::string& dir : _live->unwatched())
                changes.push_back({dir, false});
        noteChanges(changes);
    });
}

ArchiveDoc::~ArchiveDoc() {
    // The listing thread reads only the disk and its own data; it ends on its own.
    if (_lister) _lister->wait();
}

void ArchiveDoc::adoptWatch(std::unique_ptr<LiveWatch> fresh) {
    if (!_valid || _sel.folder().empty()) {
        stopWatching();
        return;
    }
    if (!fresh) return;
    stopWatching();
    _live = std::move(fresh);
    if (_live->fd() >= 0) {
        _liveNotice = std::make_unique<QSocketNotifier>(_live->fd(), QSocketNotifier::Read);
        connect(_liveNotice.get(), &QSocketNotifier::activated, this, [this] {
            std::vector<FolderChange> changes;
            _live->read(changes);
            noteChanges(changes);
        });
    }
    if (!_live->unwatched().empty()) _liveUnwatched.start(5000);
}

void ArchiveDoc::stopWatching() {
    _liveNotice.reset();
    _live.reset();
    _liveChanged.clear();
    _liveQuiet.stop();
    _liveUnwatched.stop();
    ++_generation;
}

void ArchiveDoc::noteChanges(const std::vector<FolderChange>& changes) {
    for (const FolderChange& c : changes) {
        auto same = std::find_if(_liveChanged.begin(), _liveChanged.end(),
                                 [&](const FolderChange& o) { return o.dir == c.dir; });
        if (same == _liveChanged.end()) {
            _liveChanged.push_back(c);
        } else {
            same->deep = same->deep || c.deep;
        }
    }
    if (_liveChanged.empty()) return;
    // A writer that never pauses still sees its files marked every second.
    if (!_liveQuiet.isActive()) _liveFirst.start();
    _liveQuiet.start(static_cast<int>(std::clamp<qint64>(1000 - _liveFirst.elapsed(), 0, 200)));
}

void ArchiveDoc::lookAtChanges() {
    if (_liveChanged.empty() || !_live) return;
    if (_busy || _lister || !_valid || QApplication::activeModalWidget()) {
        _liveQuiet.start(200);
        return;
    }
    std::vector<FolderChange> changes;
    changes.swap(_liveChanged);
    auto rescan = std::make_shared<FolderRescan>(_archive, _sel, changes);
    if (rescan->empty()) return;
    auto failed = std::make_shared<bool>(false);
    const int generation = _generation;
    _lister.reset(QThread::create([rescan, failed] {
        try {
            rescan->list();
        } catch (Error&) {
            *failed = true;
        }
    }));
    connect(_lister.get(), &QThread::finished, this, [=, this] {
        _lister.release()->deleteLater();
        changesListed(rescan, changes, *failed, generation);
    });
    _lister->start();
}

void ArchiveDoc::changesListed(const std::shared_ptr<FolderRescan>& rescan,
                               const std::vector<FolderChange>& changes, bool failed,
                               int generation) {
    // A reload since looked at everything.
    if (generation != _generation) return;
    if (_busy || !_valid || QApplication::activeModalWidget()) {
        noteChanges(changes);
        return;
    }
    MsgList warnings;
    std::vector<FolderChange> again;
    if (failed || !rescan->apply(_archive, warnings, again)) {
        // The watched folder itself cannot be looked at: a refresh says why.
        setRange(0, 0);
        return;
    }
    // What a load shows, in two steps with a return to the event loop between them, so that
    // the window answers in between even with a big folder in the file list.
    _archive.updateFolderInfo();
    updateViews(HINT_STRUCTURE);
    QTimer::singleShot(0, this, [this, generation] {
        if (generation != _generation || _busy) return;
        _archive.pruneSelection();
        _archive.updateSelectionInfo();
        _archive.updateVersionMarks();
        updateViews(HINT_SELECTION);
        emit liveUpdated();
    });
    if (!warnings.empty()) emit message(QString::fromStdString(warnings.front().text));
    // A file written in the look's own second may still be written: once more when it is past.
    if (rescan->recent())
        QTimer::singleShot(1100, this, [this, changes, generation] {
            if (generation == _generation) noteChanges(changes);
        });
    noteChanges(again);
}

std::string ArchiveDoc::displayName() const {
    if (!_archive.hasPath()) return {};
    char buf[MAX_PATH];
    const char* path = _archive.path().c_str();
    bool ok = hasArchiveExt(path) ? getFileTitle(buf, sizeof buf, path)
                                  : getFileName(buf, sizeof buf, path);
    return ok ? std::string(buf) : std::string();
}

std::string ArchiveDoc::selectionPathFor(const std::string& archivePath) {
    const char* path = archivePath.c_str();
    char dir[MAX_PATH];
    char title[MAX_PATH];
    char out[MAX_PATH];
    if (hasArchiveExt(path) && getDirPath(dir, sizeof dir, path) &&
        getFileTitle(title, sizeof title, path) &&
        buildFilePath(out, sizeof out, dir, title, selExt->c_str()))
        return out;
    return archivePath + "." + *selExt;
}

void ArchiveDoc::deleteContents() {
    stopWatching();
    emit treeAboutToGo();
    _archive.clear();
    _sel = FileSel();
    _valid = true;
}

void ArchiveDoc::newDocument() {
    if (_busy) return;
    deleteContents();
    // A new archive keeps permission bits unless its selection chooses the plain format.
    _sel.setMetaFormat(true);
    _modified = false;
    _pathName.clear();
    emit pathChanged();
    updateViews(HINT_RESET);
}

bool ArchiveDoc::checkPath(const std::string& path, bool mustBeFile) {
    const char* p = path.c_str();
    bool ok = path.size() < MAX_DOC_PATH && isValidPath(p) &&
              (!mustBeFile || (pathExists(p) && !isDirectory(p)));
    if (!ok) {
        QMessageBox box(QMessageBox::Critical, QString(),
                        uiFormat(IDS_INVALID_PATH, {fromLocalPath(path)}), QMessageBox::Ok,
                        _window);
        box.exec();
    }
    return ok;
}

void ArchiveDoc::setStoragePath(const std::string& path) {
    _archive.setPath(path);
    _sel.setFile(selectionPathFor(path));
    watchFile();
}

void ArchiveDoc::watchFile() {
    if (!_watcher.files().isEmpty()) _watcher.removePaths(_watcher.files());
    if (_archive.hasPath() && pathExists(_archive.path().c_str()))
        _watcher.addPath(fromLocalPath(_archive.path()));
}

void ArchiveDoc::reloadIfChanged() {
    if (!_busy && _valid && !QApplication::activeModalWidget() && _archive.changedOnDisk()) {
        // What another program appended is replayed into the tree as it is; a file replaced
        // or damaged meanwhile is read whole.
        emit treeAboutToGo();
        bool whole = false;
        FileSel sel = _sel;
        bool ok = runWork(QStringLiteral("Loading ") + fromLocalPath(_archive.path()),
                          [this, sel, &whole](Progress& p) {
                              whole = !_archive.readNew();
                              return whole || _archive.findChanges(sel, &p);
                          });
        if (!ok) _valid = false;
        if (whole) {
            setRange(0, 0);
        } else {
            showLoaded();
        }
    }
    watchFile();
}

bool ArchiveDoc::openDocument(const std::string& path) {
    if (_busy || !checkPath(path, true)) return false;
    deleteContents();
    _modified = true;
    setStoragePath(path);
    bool ok = true;
    if (pathExists(_sel.file().c_str()) && !_sel.read()) {
        _valid = false;
        ok = false;
    }
    if (ok && !loadArchive()) ok = false;
    if (ok) {
        _modified = false;
        _archive.setRange(_archive.now(), _archive.now());
        _archive.updateFolderInfo();
        _pathName = path;
        emit recentFile(fromLocalPath(path));
        if (_archive.readOnly() && !_archive.aheadOfClock())
            QTimer::singleShot(0, this, [this] { emit openedDamaged(); });
    } else if (_modified) {
        // What was open is gone and what was asked for did not load: start afresh.
        deleteContents();
        _modified = false;
        _pathName.clear();
    }
    emit pathChanged();
    updateViews(HINT_RESET);
    return ok;
}

std::string ArchiveDoc::askSavePath(const std::string& proposal) {
    QFileDialog dlg(_window, uiString(IDS_SAVE_AS), fromLocalPath(proposal),
                    uiString(IDS_FILE_FILTER));
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setDefaultSuffix(QString::fromStdString(*trsmExt));
    // Replacing an archive loses its history: save() asks with what would be lost.
    dlg.setOption(QFileDialog::DontConfirmOverwrite);
    dlg.selectFile(fromLocalPath(proposal));
    if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return {};
    return toLocalPath(dlg.selectedFiles().first());
}

bool ArchiveDoc::save() {
    if (!canSave()) return false;
    if (!_archive.hasPath()) {
        VERIFY(*_archive.name() && *_archive.base());
        char proposal[MAX_PATH];
        VERIFY(buildFilePath(proposal, sizeof proposal, _archive.base(), _archive.name(),
                             trsmExt->c_str()));
        std::string path = askSavePath(proposal);
        if (path.empty() || !checkPath(path, false)) return false;
        if (pathExists(path.c_str())) {
            if (!confirmReplace(path)) return false;
            try {
                delFile(path.c_str());
            } catch (Error& e) {
                showError(makeError(std::move(e), "ArchiveDoc.OnFileSave.1", path));
                return false;
            }
        }
        setStoragePath(path);
        _pathName = path;
        emit pathChanged();
        emit recentFile(fromLocalPath(path));
    }
    redrawWindow();
    bool cancelled = false;
    SaveStats stats;
    Pending pending;
    bool ok = runWork(
        QStringLiteral("Saving ") + fromLocalPath(_archive.path()),
        [&](Progress& p) {
            pending = listPending();
            return _archive.save(&p, &stats);
        },
        &cancelled);
    watchFile();
    if (ok) {
        if (!_sel.saved() && !_sel.write()) _valid = false;
        _archive.updateFolderInfo();
        _archive.updateSelectionInfo();
        _archive.updateVersionMarks();
        updateViews(HINT_MARKS);
        // Changes this save left unwritten stay pending, shown as they are.
        if (_archive.root() && (_archive.root()->flags & Node::SUBTREE_CHANGED)) {
            tellSaved(stats, pending);
            return true;
        }
    }
    setRange(0, 0);
    // The save rolled back: the storage file is as it was, and the changes are still pending.
    if (cancelled) emit message(uiString(IDS_SAVE_CANCELLED));
    if (ok) tellSaved(stats, pending);
    return ok;
}

bool ArchiveDoc::confirmReplace(const std::string& path) {
    Tresmo old;
    old.setReader(true);
    old.setPath(path);
    old.setNow(currentTime());
    bool read;
    {
        QuietPresenter quiet;
        read = old.read();
    }
    int count = 0;
    const Txn* first = nullptr;
    for (const Txn* t = old.txns(); t; t = t->older, ++count)
        first = t;
    QString shown = fromLocalPath(path);
    QString text = read && first
                       ? uiFormat(IDS_REPLACE_HISTORY,
                                  {shown,
                                   uiFormat(count == 1 ? IDS_TRANSACTION : IDS_TRANSACTIONS,
                                            {QString::number(count)}),
                                   QString::fromLocal8Bit(timeText(first->time).c_str()),
                                   QString::fromLocal8Bit(timeText(old.txns()->time).c_str())})
                       : uiFormat(IDS_REPLACE_UNREADABLE, {shown});
    // Cancel is the default: Enter must not delete a history.
    QMessageBox ask(QMessageBox::Warning, uiString(IDS_REPLACE_TITLE), text,
                    QMessageBox::Yes | QMessageBox::Cancel, _window);
    ask.setDefaultButton(QMessageBox::Cancel);
    return ask.exec() == QMessageBox::Yes;
}

void ArchiveDoc::applySelection(const FileSel& sel) {
    if (_busy || sel.sharesWith(_sel)) return;
    _sel = sel;
    if (!_sel.file().empty() && !_sel.write()) {
        _valid = false;
        emit treeAboutToGo();
        updateViews(HINT_STRUCTURE);
        return;
    }
    loadArchive();
    _archive.updateFolderInfo();
    updateViews(HINT_STRUCTURE);
    _archive.pruneSelection();
    _archive.updateSelectionInfo();
    _archive.updateVersionMarks();
    updateViews(HINT_EXPAND);
}

bool ArchiveDoc::exportSelected() {
    if (!canExport()) return false;
    FolderBrowser browser(_window, nullptr, "ArchiveDoc.OnExport.dir");
    if (!browser.browseFolder()) return false;
    Node* item = _archive.selectedItem();
    char target[MAX_PATH];
    if (!item || !buildFilePath(target, sizeof target, browser.chosen(), item->name)) return false;
    bool replace = pathExists(target);
    if (replace) {
        // No is the default: Enter must not delete anything.
        QMessageBox ask(QMessageBox::Question, QString(),
                        uiFormat(isDirectory(target) ? IDS_DELETE_FOLDER : IDS_DELETE_FILE,
                                 {fromLocalPath(target)}),
                        QMessageBox::Yes | QMessageBox::No, _window);
        ask.setDefaultButton(QMessageBox::No);
        if (ask.exec() != QMessageBox::Yes) return false;
    }
    redrawWindow();
    std::string into = browser.chosen();
    bool cancelled = false;
    int64_t files = 0;
    int64_t bytes = 0;
    bool ok = runWork(
        QStringLiteral("Exporting to ") + fromLocalPath(target),
        [&](Progress& p) {
            WorkTally tally(p);  // the export tells it its totals
            bool done = _archive.exportSelected(into, "", &tally, replace);
            files = tally.files();
            bytes = tally.bytes();
            return done;
        },
        &cancelled);
    QString count = uiFormat(files == 1 ? IDS_FILE : IDS_FILES, {QLocale().toString(files)});
    if (ok)
        emit message(uiFormat(IDS_EXPORTED,
                              {count, QLocale().formattedDataSize(bytes, 1), fromLocalPath(into)}));
    else if (cancelled)
        emit message(uiFormat(IDS_EXPORT_CANCELLED, {count, fromLocalPath(into)}));
    return ok;
}

ArchiveDoc::Pending ArchiveDoc::listPending() const {
    Pending out;
    const Node* root = _archive.root();
    // Only changed subtrees are entered.
    for (const Node* n = root; n; n = nextInTree(n, root, n->flags & Node::SUBTREE_CHANGED)) {
        if (!(n->flags & Node::CHANGED)) continue;
        if (n->kind() != NodeKind::File && n->storedKind() != NodeKind::File) continue;
        NodeState state = _archive.changeState(n);
        out.added += state == NodeState::Added;
        out.changed += state == NodeState::Modified;
        out.removed += state == NodeState::Removed;
    }
    return out;
}

void ArchiveDoc::tellSaved(const SaveStats& stats, const Pending& pending) {
    if (stats.files == 0 && stats.removed == 0) {
        emit message(uiString(IDS_SAVED_NOTHING));
        return;
    }
    // The saved transaction is the newest one before the present.
    int number = 0;
    for (const Txn* t = _archive.txns(); t && !number; t = t->older)
        if (t->time < _archive.now()) number = t->seq + 1;
    QLocale l;
    QStringList parts;
    const std::pair<int, int64_t> counts[] = {{IDS_SAVED_ADDED, pending.added},
                                              {IDS_SAVED_CHANGED, pending.changed},
                                              {IDS_SAVED_REMOVED, pending.removed},
                                              {IDS_SAVED_LEFT_OUT, stats.leftOut}};
    for (auto [id, n] : counts)
        if (n > 0) parts << uiFormat(id, {l.toString(n)});
    emit message(uiFormat(IDS_SAVED, {l.toString(number), parts.join(QStringLiteral(", "))}));
}

bool ArchiveDoc::rewrite(const std::string& newPath, RewriteOptions options) {
    if (!canRewrite()) return false;
    const std::string old = _archive.path();
    options.folder = _sel.folder();
    RewriteReport r;
    redrawWindow();
    bool ok = runWork(QStringLiteral("Rewriting ") + fromLocalPath(old),
                      [&](Progress& p) { return rewriteArchive(old, newPath, options, r, &p); });
    if (ok && !_sel.folder().empty()) {
        FileSel copy = _sel;
        copy.setFile(selectionPathFor(options.replace ? beforeRewritePath(old) : newPath));
        ok = copy.write();
    }
    if (ok) {
        QLocale l;
        QString text =
            QStringLiteral(
                "Rewrote %1 into %2: %3 of %4 transactions and %5 versions "
                "kept, %6 lost; %7 before, %8 after.")
                .arg(fromLocalPath(old), fromLocalPath(options.replace ? old : newPath))
                .arg(r.txnsKept)
                .arg(r.txnsBefore)
                .arg(r.versionsKept)
                .arg(r.lost.size())
                .arg(l.formattedDataSize(r.bytesBefore), l.formattedDataSize(r.bytesAfter));
        if (options.replace)
            text += QStringLiteral("\nThe old archive is %1.")
                        .arg(fromLocalPath(beforeRewritePath(old)));
        for (size_t i = 0; i < r.lost.size() && i < 20; ++i)
            text += QStringLiteral("\nLost: %1").arg(fromLocalPath(r.lost[i].path));
        if (r.lost.size() > 20) text += QStringLiteral("\n...");
        QMessageBox box(
            r.lost.empty() && !r.damagedAt ? QMessageBox::Information : QMessageBox::Warning,
            QStringLiteral("Rewrite Archive"), text, QMessageBox::Ok, _window);
        box.exec();
        emit message(QStringLiteral("Rewrote the archive: %1 versions kept, %2 lost")
                         .arg(r.versionsKept)
                         .arg(r.lost.size()));
    }
    // Another file now has the name: it is read whole.
    if (ok && options.replace) setRange(0, 0);
    return ok;
}

int64_t ArchiveDoc::periodStart(Period period, int64_t now) {
    switch (period) {
        case Period::Current:
            break;
        case Period::Today:
            return startOfDay(now);
        case Period::ThisWeek:
            return startOfWeek(now);
        case Period::ThisMonth:
            return startOfMonth(now);
        case Period::ThisYear:
            return startOfYear(now);
    }
    return now;
}

void ArchiveDoc::recentChanges(Period period) {
    setRange(periodStart(period, _archive.now()), _archive.now());
}

void ArchiveDoc::setRange(int64_t from, int64_t to) {
    if (_busy) return;
    _archive.setRange(from ? from : _archive.from(), to ? to : _archive.to());
    loadArchive();
    showLoaded();
}

void ArchiveDoc::showLoaded() {
    _archive.updateFolderInfo();
    updateViews(HINT_STRUCTURE);
    _archive.pruneSelection();
    _archive.updateSelectionInfo();
    _archive.updateVersionMarks();
    updateViews(HINT_SELECTION);
}

bool ArchiveDoc::loadArchive() {
    emit treeAboutToGo();
    std::string display = displayName();
    FileSel sel = _sel;
    QString what = fromLocalPath(_archive.hasPath() ? _archive.path() : sel.folder());
    // The scan below sees every change made so far; the watch, set before it, every later one.
    _liveChanged.clear();
    const bool watch = !sel.folder().empty() && (!_live || !_live->covers(sel));
    std::unique_ptr<LiveWatch> fresh;
    bool cancelled = false;
    bool ok = runWork(
        QStringLiteral("Loading ") + what,
        [&, this](Progress& work) {
            if (watch) fresh = std::make_unique<LiveWatch>(sel);
            // The read's total is the archive's bytes, which it does not count off as it goes.
            WorkTally p(work, false);
            // A file written in the scan's own second is looked at again once the clock has
            // passed it, so that the user's last edit is not left out of the save.
            for (int attempt = 0;; ++attempt) {
                _archive.setNow(currentTime());
                if (sel.folder().empty()) {
                    if (_archive.hasPath()) _archive.setName(display);
                } else {
                    _archive.setBaseAndName(sel.folder().c_str());
                }
                if (_archive.hasPath() && !_archive.read(&p)) return false;
                if (!_archive.findChanges(sel, &p)) return false;
                if (attempt > 0 || !_archive.waitForRecentChanges()) return true;
            }
        },
        &cancelled);
    if (!ok) _valid = false;
    if (cancelled) emit message(uiFormat(IDS_LOAD_CANCELLED, {what}));
    adoptWatch(std::move(fresh));
    watchFile();
    return ok;
}

bool ArchiveDoc::canSave() const {
    return !_busy && _valid && !_archive.readOnly() && _archive.hasPendingChanges();
}

bool ArchiveDoc::canExport() const {
    return !_busy && _valid && _archive.isSingleSelection();
}

bool ArchiveDoc::canRefresh() const {
    return !_busy && _valid && !_sel.folder().empty();
}

bool ArchiveDoc::canRecentChanges() const {
    return !_busy && _valid && _archive.root();
}

bool ArchiveDoc::runWork(const QString& label, const std::function<bool(Progress&)>& work,
                         bool* cancelled) {
    emit workAboutToStart();
    _busy = true;
    _stopWork = false;
    emit statusChanged();
    WorkerRun run(_window, label, _progressDelayMs, &_stopWork);
    run.setQuietCancel(cancelled != nullptr);
    bool ok = run.run(work);
    if (cancelled) *cancelled = run.cancelled();
    _busy = false;
    emit statusChanged();
    return ok;
}

void ArchiveDoc::redrawWindow() {
    if (_window) _window->repaint();
}
