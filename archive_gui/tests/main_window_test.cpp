// The main window driven through its commands and the dialogs they open, over a real archive.
#include "archive_gui/app/TresmoApp.h"
#include "archive_gui/dialogs/MsgListDlg.h"
#include "archive_gui/dialogs/RewriteDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/frame/EmptyPage.h"
#include "archive_gui/frame/MainFrame.h"
#include "archive_gui/frame/MainStatusBar.h"
#include "archive_gui/frame/ViewingBar.h"
#include "archive_gui/util/HelpWindow.h"
#include "archive_gui/util/ProgressDlg.h"
#include "archive_gui/util/UiStrings.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListModel.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/VersListModel.h"
#include "archive_gui/views/VersListView.h"
#include "gui_test_util.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/tstamp.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QTest>
#include <QTextBrowser>
#include <QToolBar>
#include <QTreeView>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr int64_t T0 = 1764000000;  // a Monday afternoon, 2025-11-24 16:00 UTC

// The engine's clock in the test's hand; writes can be slowed down for a save to be cancelled.
class ClockOs : public os::Os {
  public:
    explicit ClockOs(int64_t t) : _t(t) {}
    ~ClockOs() override { os::install(_previous); }
    int64_t time() override { return _t; }
    void sleepMs(int) override { ++_t; }
    ssize_t pwrite(int fd, const void* b, size_t n, off_t o) override {
        if (_slow) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        return os::Os::pwrite(fd, b, n, o);
    }
    ssize_t write(int fd, const void* b, size_t n) override {
        if (_slow) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        return os::Os::write(fd, b, n);
    }
    std::atomic<int64_t> _t;
    std::atomic<bool> _slow{false};
    os::Os* _previous = os::install(this);  // last: the clock is set before it is installed
};

QByteArray readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Answers the next message list dialog; returns the codes it showed (outermost first), then
// its headline.
std::shared_ptr<QStringList> answerMsgList() {
    auto codes = std::make_shared<QStringList>();
    whenModal<MsgListDlg>([codes](MsgListDlg* dlg) {
        for (int i = 0; i < dlg->scrollBar()->maximum() + 1; ++i) {
            dlg->showMsg(i);
            *codes << dlg->windowTitle();
        }
        *codes << dlg->headline()->text();
        dlg->accept();
    });
    return codes;
}

QString timeString(int64_t t) {
    return QString::fromStdString(timeText(t));
}

// A window over w/a.txt an hour after it was written.
struct Window {
    TempStore store;
    ClockOs clock{T0 + 3600};
    ArchiveDoc doc;
    MainFrame frame{doc};

    Window() {
        store.write("w/a.txt", "a", T0);
        frame.show();
    }
    QString path(const QString& rel) const { return QString::fromStdString(store.path(rel)); }
    void trigger(MainFrame::Command c) { frame.action(c)->trigger(); }
    bool enabled(MainFrame::Command c) const { return frame.action(c)->isEnabled(); }
    QString said() const { return frame.statusBar()->currentMessage(); }
    QImage panes() { return frame.grab(frame.centralWidget()->geometry()).toImage(); }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        installPresenter(&_presenter);
        registerUiMsgs();
    }
    void cleanupTestCase() { installPresenter(nullptr); }

    void firstUseSaveEditRefreshRecentChangesAndExport() {
        Window w;
        auto& [store, clock, doc, frame] = w;
        store.write("w/sub/b.txt", QByteArray(70000, 'b'), T0);
        doc.newDocument();
        QCOMPARE(frame.windowTitle(), QString("Untitled - Tresmo"));
        QVERIFY(!w.enabled(MainFrame::CMD_SAVE));

        // The first window says what to do; its button for a new archive picks the folder:
        // every file is pending.
        QVERIFY(frame.emptyPage()->isVisible() && !frame.viewingBar()->isVisible());
        // A new archive keeps permission bits unless the plain format is checked.
        whenModal<SelectFilesDlg>([&](SelectFilesDlg* dlg) {
            QVERIFY(dlg->plainFormatBox()->isVisible() && !dlg->plainFormatBox()->isChecked());
            dlg->folderField()->setText(w.path("w"));
            dlg->okButton()->click();
        });
        frame.emptyPage()->choices().value(1)->click();
        QVERIFY(!frame.emptyPage()->isVisible() && doc.selection().metaFormat());
        QCOMPARE(doc.archive().root()->info->pending, 2);
        QVERIFY(w.enabled(MainFrame::CMD_SAVE));
        doc.archive().selectFolder(doc.archive().root());  // as the tree view would
        doc.archive().updateSelectionInfo();
        doc.updateViews(HINT_SELECTION);
        QCOMPARE(frame.mainStatusBar()->partText(0), QString("2 files"));
        QCOMPARE(frame.mainStatusBar()->partText(1), QString("2 changes"));
        auto* files = frame.findChild<FileListView*>()->model();
        QCOMPARE(files->index(0, FileListModel::SIZE).data(), QVariant("1 bytes"));  // added
        QVERIFY(w.enabled(MainFrame::CMD_EXPORT));
        // Each size unit counts up to 65535; nothing stored shows nothing.
        const std::pair<double, const char*> sizes[] = {
            {0, ""}, {65535, "65535 bytes"}, {67108863, "65535 KB"}, {67108864, "64 MB"}};
        for (auto [bytes, text] : sizes)
            QCOMPARE(MainStatusBar::sizeText(NodeStats{.storedBytes = bytes}), QString(text));
        // Progress: done of the total by the bytes when known, the time left once the pace is.
        const std::tuple<ProgressDlg::Counts, int, int, const char*> progress[] = {
            {{5, 0, 0, 0}, 0, -1, "5 files"},
            {{3, 12, 0, 0}, 9000, 250, "3 of 12 files, 25%\nAbout 27 seconds left"},
            {{3, 12, 1 << 20, 4 << 20}, 1000, 250, "3 of 12 files, 1.0 MiB of 4.0 MiB, 25%"},
            {{1, 9, 1, 100}, 9000, 10, "1 of 9 files, 1 bytes of 100 bytes, 1%"},
            {{9, 9, 9000, 9000}, 9000, 1000, "9 of 9 files, 8.8 KiB of 8.8 KiB, 100%"},
            {{1, 4, 1, 2},
             200000,
             500,
             "1 of 4 files, 1 bytes of 2 bytes, 50%\nAbout 3 minutes left"}};
        for (auto [c, ms, permille, text] : progress) {
            QCOMPARE(ProgressDlg::permille(c), permille);
            QCOMPARE(ProgressDlg::countsText(c, ms), QString(text));
        }

        // Save proposes the folder's name beside it and writes the archive and its selection.
        auto proposed = answerPicker(store.path("w.trsm"));
        w.trigger(MainFrame::CMD_SAVE);
        QCOMPARE(*proposed, w.path("w.trsm"));
        QVERIFY(QFile::exists(w.path("w.sel")));
        QCOMPARE(frame.windowTitle(), QString("w (Current) - Tresmo"));
        QCOMPARE(w.said(), QString("Saved transaction 1: 2 added"));
        QCOMPARE(frame.recentFiles(), QStringList{w.path("w.trsm")});
        QVERIFY(!w.enabled(MainFrame::CMD_SAVE));

        // Another program saves into the archive: the window takes its transaction in, with the
        // folder the user picked still selected.
        QTreeView* tree = frame.findChild<DirTreeView*>()->treeView();
        tree->setCurrentIndex(tree->model()->index(0, 0, tree->model()->index(0, 0)));
        QCOMPARE(QString(doc.archive().selectedDir()->name), QString("sub"));
        store.write("w/c.txt", "c", T0 + 60);
        {
            Tresmo other;
            other.setPath(store.path("w.trsm"));
            QVERIFY(other.refresh(doc.selection(), clock._t + 10) && other.save());
        }
        QTRY_VERIFY(doc.archive().txns() && doc.archive().txns()->seq == 1);
        QVERIFY(!w.enabled(MainFrame::CMD_SAVE));
        QCOMPARE(QString(doc.archive().selectedDir()->name), QString("sub"));

        // An edit shows after F5 (one in the refresh's own second once the clock has passed
        // it, so that a save takes it); Save waits while Today shows the day's changes.
        clock._t = T0 + 3 * 3600;
        store.write("w/a.txt", "second a", T0 + 3 * 3600);
        w.trigger(MainFrame::CMD_REFRESH);
        QCOMPARE(doc.archive().root()->info->pending, 1);
        QCOMPARE(doc.archive().now(), T0 + 3 * 3600 + 1);
        QVERIFY(w.enabled(MainFrame::CMD_SAVE));
        // Each period is checked alone and named above the views and in the title.
        const std::pair<MainFrame::Command, const char*> periods[] = {
            {MainFrame::CMD_TODAY, "Today: 4 changes"},
            {MainFrame::CMD_THIS_WEEK, "This week: 4 changes"},
            {MainFrame::CMD_THIS_YEAR, "This year: 4 changes"},
            {MainFrame::CMD_CURRENT, "Current"}};
        for (auto [c, text] : periods) {
            w.trigger(c);
            for (auto p : {MainFrame::CMD_CURRENT, MainFrame::CMD_TODAY, MainFrame::CMD_THIS_WEEK,
                           MainFrame::CMD_THIS_MONTH, MainFrame::CMD_THIS_YEAR})
                QCOMPARE(frame.action(p)->isChecked(), p == c);
            QCOMPARE(frame.viewingBar()->text(), QString(text));
            QCOMPARE(frame.windowTitle(), QString("w (%1) - Tresmo").arg(text));
            QCOMPARE(w.enabled(MainFrame::CMD_SAVE), c == MainFrame::CMD_CURRENT);
        }
        QCOMPARE(doc.archive().from(), doc.archive().now());
        // A version picked in the list: no period is, the time is named, its row stands out.
        auto* vers = frame.findChild<VersListView*>();
        vers->listView()->setCurrentIndex(vers->model()->index(2, 0));
        vers->viewVersionAction()->trigger();
        QVERIFY(!frame.action(MainFrame::CMD_CURRENT)->isChecked());
        QCOMPARE(frame.viewingBar()->text(), QString("Viewing as of Monday 11/24/25 17:00"));
        for (int row : {0, 1, 2})
            QCOMPARE(vers->model()->index(row, 0).data(Qt::BackgroundRole).isValid(), row == 2);
        w.trigger(MainFrame::CMD_CURRENT);

        // Export writes the stored versions of the selected folder; the panes look the same after.
        tree->setCurrentIndex(tree->model()->index(0, 0));
        QDir().mkpath(w.path("out"));
        QImage before = w.panes();
        answerPicker(store.path("out"));
        w.trigger(MainFrame::CMD_EXPORT);
        QCOMPARE(readAll(store.path("out/w/a.txt")), QByteArray("a"));
        QVERIFY(w.panes() == before);
        QCOMPARE(w.said(), "Exported 3 files (68.4 KiB) to " + w.path("out"));
        // Again: Enter keeps what is there (No is the default), Yes replaces it.
        store.write("out/w/mine.txt", "kept");
        for (auto key : {Qt::Key_Return, Qt::Key_Y}) {
            answerPicker(store.path("out"));
            whenModal<QMessageBox>([key](QMessageBox* box) { QTest::keyClick(box, key); });
            w.trigger(MainFrame::CMD_EXPORT);
            QCOMPARE(QFile::exists(w.path("out/w/mine.txt")), key == Qt::Key_Return);
        }

        // Rewrite keeping the last transaction, in the archive's place: the window shows the
        // new archive, the old one (with its selection) stays beside it, the result is told.
        whenModal<RewriteDlg>([](RewriteDlg* dlg) {
            dlg->keepLastButton()->click();
            dlg->lastField()->setValue(1);
            dlg->okButton()->click();
        });
        auto told = answerNextBox();
        w.trigger(MainFrame::CMD_REWRITE);
        QVERIFY2(told->contains("1 of 2 transactions"), qPrintable(*told));
        QVERIFY(QFile::exists(w.path("w.trsm.before-rewrite.sel")));
        QCOMPARE(doc.archive().txns()->older->older, nullptr);  // the pending one, then one
    }

    void changesOnDiskShowWithoutARefresh() {
        Window w;
        auto& [store, clock, doc, frame] = w;
        FileSel sel;
        sel.setFolder(store.path("w"));
        doc.applySelection(sel);
        answerPicker(store.path("w.trsm"));
        w.trigger(MainFrame::CMD_SAVE);
        QCOMPARE(doc.archive().root()->info->pending, 0);
        // Each change on disk, and the files then pending.
        const std::pair<std::function<void()>, int> steps[] = {
            {[&] { store.write("w/n/m/new.txt", "n", T0); }, 1},
            {[&] { store.write("w/a.txt", "a2", T0 + 60); }, 2},
            {[&] { QFile::remove(w.path("w/a.txt")); }, 2},
            {[&] { QDir(w.path("w/n")).removeRecursively(); }, 1},
        };
        for (const auto& [change, pending] : steps) {
            change();
            QTRY_COMPARE(doc.archive().root()->info->pending, pending);
        }
        QVERIFY(doc.archive().root()->firstChild->flags & Node::CHANGED);  // a.txt, gone
        // Nothing moves under an open dialog: the change shows once it is closed.
        int underDialog = -1;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            store.write("w/b.txt", "b", T0);
            QTest::qWait(600);
            underDialog = doc.archive().root()->info->pending;
            box->accept();
        });
        QMessageBox(QMessageBox::Information, {}, {}, QMessageBox::Ok, &frame).exec();
        QCOMPARE(underDialog, 1);
        QTRY_COMPARE(doc.archive().root()->info->pending, 2);
    }

    void failuresLeaveAUsableDocument() {
        Window w;
        auto& [store, clock, doc, frame] = w;
        doc.newDocument();
        FileSel sel;
        sel.setFolder(store.path("w"));
        doc.applySelection(sel);
        answerPicker(store.path("w.trsm"));
        QVERIFY(doc.save());

        // Without a viewer set up and without the desktop's opener, Open File says so about
        // the file and offers the setup.
        doc.archive().selectFolder(doc.archive().root());
        doc.updateViews(HINT_SELECTION);
        auto* files = frame.findChild<FileListView*>();
        files->listView()->setCurrentIndex(files->model()->index(0, 0));
        QByteArray path = qgetenv("PATH");
        qputenv("PATH", store.path().c_str());
        auto setupOffer = answerNextBox(Qt::Key_Y);
        auto setup = std::make_shared<QString>();
        whenModal<ToolSetupDlg>([setup](ToolSetupDlg* dlg) {
            *setup = dlg->windowTitle();
            dlg->reject();
        });
        w.trigger(MainFrame::CMD_OPEN_FILE);
        qputenv("PATH", path);
        QVERIFY2(setupOffer->contains("to open a.txt"), qPrintable(*setupOffer));
        QTRY_COMPARE(*setup, QString("Viewer Setup"));

        // A cancelled save leaves the archive as before, with the same changes pending.
        QByteArray before = readAll(store.path("w.trsm"));
        for (int i = 0; i < 40; ++i) {
            QByteArray data(40000, 0);
            for (int j = 0; j < data.size(); ++j)
                data[j] = char((j * 7919 + i * 104729) >> 3);
            store.write(QString("w/big%1.bin").arg(i), data, T0 + 60);
        }
        clock._t = T0 + 7200;
        w.trigger(MainFrame::CMD_REFRESH);
        QCOMPARE(doc.archive().root()->info->pending, 40);

        // Closing the window cancels the same way; it closes once the save has rolled back. A
        // cancel is no error: the status bar says so.
        doc.setProgressDelay(0);
        for (bool close : {false, true}) {
            clock._slow = true;
            QImage panes = w.panes(), during;
            QString counts;
            whenModal<QProgressDialog>([&](QProgressDialog* box) {
                during = w.panes();
                counts = box->labelText();
                QCOMPARE(box->maximum(), 1000);
                QVERIFY(doc.busy());  // input to the window waits while the worker runs
                QVERIFY(!w.enabled(MainFrame::CMD_NEW));
                close ? void(frame.close()) : box->cancel();
            });
            QVERIFY(!doc.save());
            clock._slow = false;
            QCOMPARE(_presenter.cancels, 0);
            QVERIFY2(counts.contains(" of 40 files, ") && counts.contains(" of 1.5 MiB, "),
                     qPrintable(counts));
            QVERIFY(during == panes);  // the panes keep showing the archive
            QVERIFY(w.panes() == panes);
            QCOMPARE(frame.statusBar()->currentMessage(),
                     QString("Save cancelled; nothing was written"));
            QVERIFY(readAll(store.path("w.trsm")) == before);
            QCOMPARE(doc.archive().root()->info->pending, 40);
            QVERIFY(w.enabled(MainFrame::CMD_SAVE));
            QTRY_COMPARE(frame.isVisible(), !close);
        }
        frame.show();

        // A new document saved over the archive: the prompt tells the history that would go.
        // Enter keeps it (Cancel is the default), Yes replaces it.
        QVERIFY(doc.save());
        for (auto key : {Qt::Key_Return, Qt::Key_Y}) {
            QByteArray kept = readAll(store.path("w.trsm"));
            doc.newDocument();
            doc.applySelection(sel);
            answerPicker(store.path("w.trsm"));
            auto ask = answerNextBox(key);
            QCOMPARE(doc.save(), key == Qt::Key_Y);
            QVERIFY2(ask->startsWith("Replace Archive|" + w.path("w.trsm") +
                                     " already holds 2 transactions, saved from " +
                                     timeString(T0 + 3600) + " to " + timeString(T0 + 7200)),
                     qPrintable(*ask));
            QCOMPARE(readAll(store.path("w.trsm")) == kept, key == Qt::Key_Return);
        }

        // A refresh whose folder has gone disables everything but New, Open and the setups.
        const int pending = doc.archive().root()->info->pending;
        QVERIFY(QDir().rename(w.path("w"), w.path("gone")));
        store.write("gone/since.txt", "new while away");
        auto chain = answerMsgList();
        w.trigger(MainFrame::CMD_REFRESH);
        QCOMPARE(chain->value(0), QString("Error 2013"));
        QVERIFY2(
            chain->last().startsWith("Search for modified files in " + w.path("w") + " failed: "),
            qPrintable(chain->last()));
        QVERIFY(!doc.valid());
        QVERIFY(frame.emptyPage()->isVisible());
        QVERIFY(frame.emptyPage()->message().contains(w.path("w") + " is missing"));
        for (auto c : {MainFrame::CMD_SAVE, MainFrame::CMD_SELECT_FILES, MainFrame::CMD_EXPORT,
                       MainFrame::CMD_REFRESH, MainFrame::CMD_CURRENT, MainFrame::CMD_THIS_YEAR})
            QVERIFY2(!w.enabled(c), qPrintable(frame.action(c)->text()));
        for (auto c : {MainFrame::CMD_NEW, MainFrame::CMD_OPEN, MainFrame::CMD_VIEWER_SETUP})
            QVERIFY(w.enabled(c));
        // Where it went is chosen on the page: the archive opens over it again.
        answerPicker(store.path("gone"));
        frame.emptyPage()->choices().value(1)->click();
        QVERIFY(doc.valid() && !frame.emptyPage()->isVisible());
        QCOMPARE(doc.archive().root()->info->pending, pending + 1);
        w.trigger(MainFrame::CMD_NEW);
        QVERIFY(doc.valid());
        QVERIFY(w.enabled(MainFrame::CMD_SELECT_FILES));
        // A file that is no archive is named.
        auto notArchive = answerMsgList();
        QVERIFY(!doc.openDocument(store.write("notes.txt", "some notes")));
        QVERIFY2(notArchive->last().startsWith("Could not read Tresmo file " + w.path("notes.txt")),
                 qPrintable(notArchive->last()));

        // An archive damaged in its newest transaction opens read-only, says so and offers the
        // rewrite.
        QByteArray bytes = readAll(store.path("w.trsm"));
        bytes[bytes.size() - 2] = char(bytes[bytes.size() - 2] ^ 1);
        store.write("w.trsm", bytes);
        auto warned = answerMsgList();
        auto offer = answerNextBox();
        QVERIFY(doc.openDocument(store.path("w.trsm")));
        QTRY_VERIFY(offer->contains("is damaged"));
        QVERIFY(doc.archive().readOnly() && warned->value(0) == "Warning 2038");
    }

    void startUpOnAMissingDocumentFitsTheWindowAndKnowsItsKeys() {
        // Placed last on a larger screen; the document named on the command line is gone.
        TempStore store;
        for (auto [name, value] : {std::pair{"MainFrame.x1", "-300"},
                                   {"MainFrame.x2", "5000"},
                                   {"MainFrame.y1", "900"},
                                   {"MainFrame.y2", "4000"}})
            writeRegString(name, value);
        TresmoApp app;
        auto box = answerNextBox();
        app.initInstance({QString::fromStdString(store.path("gone.trsm"))});
        QVERIFY(box->contains(QString::fromStdString(store.path("gone.trsm"))));
        QVERIFY(app.frame().isVisible());
        QVERIFY(app.doc().valid() && app.doc().pathName().empty());
        QRect avail = app.frame().screen()->availableGeometry();
        QString seen;
        QDebug(&seen) << avail << app.frame().frameGeometry();
        QVERIFY2(avail.contains(app.frame().frameGeometry()), qPrintable(seen));

        // Ctrl+F goes to the file filter, Ctrl+Q quits; Save's prompt names no selection.
        QVERIFY(!app.frame().action(MainFrame::CMD_SAVE)->statusTip().contains("selected"));
        app.frame().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&app.frame()));
        QTest::keyClick(&app.frame(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(app.frame().findChild<FileListView*>()->filterBox()->hasFocus());
        // Refresh is on the toolbar; tool tips name the keys.
        QAction* refresh = app.frame().action(MainFrame::CMD_REFRESH);
        QVERIFY(app.frame().findChild<QToolBar*>()->actions().contains(refresh));
        QCOMPARE(refresh->toolTip(), QString("Refresh (F5)"));

        // F1 shows the built-in help in a window of the program; its links lead within it.
        QTest::keyClick(&app.frame(), Qt::Key_F1);
        auto* help = app.frame().findChild<HelpWindow*>();
        QVERIFY(help && help->isVisible());
        QCOMPARE(help->browser()->documentTitle(), QString("Tresmo Help"));
        QTest::keyClick(help->browser(), Qt::Key_Tab);
        QTest::keyClick(help->browser(), Qt::Key_Return);
        QCOMPARE(help->browser()->source().fragment(), QString("start"));
        QVERIFY(help->browser()->verticalScrollBar()->value() > 0);
        help->close();
        app.frame().activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&app.frame()));
        QTest::keyClick(&app.frame(), Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!app.frame().isVisible());
    }

  private:
    // Counts the cancels that reach the user instead of waiting on their box.
    struct : MsgListPresenter {
        void showError(const Error& e) override {
            e.hasCode(2032) ? void(++cancels) : MsgListPresenter::showError(e);
        }
        int cancels = 0;
    } _presenter;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
