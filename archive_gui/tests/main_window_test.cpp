// The main window driven as a user drives it: menus, keys and the dialogs they open, over a
// real archive on disk, with the engine's clock in the test's hand.
#include "archive_gui/app/TresmoApp.h"
#include "archive_gui/dialogs/MsgListDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/frame/MainFrame.h"
#include "archive_gui/frame/MainStatusBar.h"
#include "archive_gui/util/UiStrings.h"
#include "gui_test_util.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/tstamp.h"

#include <QAction>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTest>
#include <QUrl>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

constexpr int64_t T0 = 1764000000;  // a Monday afternoon, 2025-11-24 16:00 UTC

// The engine's clock, set by the test; sleeping moves it on at once. Writes can be slowed
// down so that a save lasts long enough to be cancelled.
class ClockOs : public os::Os {
  public:
    explicit ClockOs(int64_t t) : _t(t) { _previous = os::install(this); }
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
    // A file or folder that may not be deleted, as one held open elsewhere or one the user
    // lacks the rights to (the tests run as root, which ignores permissions).
    int unlink(const char* path) override { return _locked ? deny() : os::Os::unlink(path); }
    int unlinkat(int dirfd, const char* path, int flags) override {
        return _locked ? deny() : os::Os::unlinkat(dirfd, path, flags);
    }
    int rmdir(const char* path) override { return _locked ? deny() : os::Os::rmdir(path); }

    std::atomic<int64_t> _t;
    std::atomic<bool> _slow{false};
    bool _locked = false;

  private:
    static int deny() {
        errno = EACCES;
        return -1;
    }
    os::Os* _previous;
};

// Writes data to rel with the modification time mtime.
void writeAt(const TempStore& store, const QString& rel, const QByteArray& data, int64_t mtime) {
    store.write(rel, 0);
    QFile f(QString::fromStdString(store.path(rel)));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
    f.flush();
    QVERIFY(f.setFileTime(QDateTime::fromSecsSinceEpoch(mtime), QFileDevice::FileModificationTime));
}

QByteArray readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Answers the next message list dialog; returns the codes it showed (outermost first).
std::shared_ptr<QStringList> answerMsgList() {
    auto codes = std::make_shared<QStringList>();
    whenModal<MsgListDlg>([codes](MsgListDlg* dlg) {
        for (int i = 0; i < dlg->scrollBar()->maximum() + 1; ++i) {
            dlg->showMsg(i);
            *codes << dlg->windowTitle();
        }
        dlg->accept();
    });
    return codes;
}

// Answers the next file dialog with path.
void answerFileDialog(const std::string& path, QString* proposed = nullptr) {
    whenModal<QFileDialog>([path, proposed](QFileDialog* dlg) {
        if (proposed)
            *proposed = dlg->directory().filePath(
                dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text());
        dlg->selectFile(QString::fromStdString(path));
        // The user has already agreed to replace an existing file.
        dlg->setOption(QFileDialog::DontConfirmOverwrite);
        static_cast<QDialog*>(dlg)->accept();
    });
}

// Starts a new document watching folder, as New and Select Files would.
void watchNew(ArchiveDoc& doc, const std::string& folder) {
    doc.newDocument();
    FileSel sel;
    sel.setFolder(folder);
    doc.applySelection(sel);
}

// Selects the node at rel ("" for the root folder) as the views would.
void select(ArchiveDoc& doc, const char* file) {
    Tresmo& t = doc.archive();
    t.clearSelection();
    if (!file) {
        t.selectFolder(t.root());
    } else {
        Node* n = nullptr;
        QVERIFY(t.findChild(file, t.root(), n));
        t.selectFolder(t.root());
        t.clearSelection();
        t.selectFile(n, true);
    }
    t.updateSelectionInfo();
    doc.updateViews(HINT_SELECTION);
}

bool enabled(const MainFrame& f, MainFrame::Command c) {
    return f.action(c)->isEnabled();
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        installPresenter(&_presenter);
        registerUiMsgs();
    }
    void cleanupTestCase() { installPresenter(nullptr); }

  public slots:
    void openedUrl(const QUrl& url) { _urls << url; }

  private slots:

    void firstUseSaveEditRefreshRecentChangesAndExport() {
        TempStore store;
        ClockOs clock(T0 + 3600);
        writeAt(store, "w/a.txt", "first a", T0);
        writeAt(store, "w/sub/b.txt", QByteArray(70000, 'b'), T0);
        ArchiveDoc doc;
        MainFrame frame(doc);
        frame.show();
        doc.newDocument();
        QCOMPARE(frame.windowTitle(), QString("Untitled - Tresmo"));
        QVERIFY(enabled(frame, MainFrame::CMD_SELECT_FILES));
        for (auto c : {MainFrame::CMD_SAVE, MainFrame::CMD_REFRESH, MainFrame::CMD_TODAY,
                       MainFrame::CMD_EXPORT})
            QVERIFY(!enabled(frame, c));

        // Select Files on the folder: every file is pending, nothing is written yet.
        whenModal<SelectFilesDlg>([&](SelectFilesDlg* dlg) {
            dlg->folderField()->setText(QString::fromStdString(store.path("w")));
            dlg->okButton()->click();
        });
        frame.action(MainFrame::CMD_SELECT_FILES)->trigger();
        QCOMPARE(doc.archive().root()->info->pending, 2);
        QVERIFY(enabled(frame, MainFrame::CMD_SAVE));
        QVERIFY(enabled(frame, MainFrame::CMD_REFRESH));
        QVERIFY(!QFile::exists(QString::fromStdString(store.path("w.sel"))));
        select(doc, nullptr);
        QCOMPARE(frame.mainStatusBar()->partText(0), QString("2 files"));
        QCOMPARE(frame.mainStatusBar()->partText(1), QString("2 changes"));
        QVERIFY(enabled(frame, MainFrame::CMD_EXPORT));

        // Save proposes the folder's name beside it and writes the archive and its selection.
        QString proposed;
        answerFileDialog(store.path("w.trsm"), &proposed);
        frame.action(MainFrame::CMD_SAVE)->trigger();
        QCOMPARE(proposed, QString::fromStdString(store.path("w.trsm")));
        QVERIFY(QFile::exists(QString::fromStdString(store.path("w.sel"))));
        QCOMPARE(frame.windowTitle(), QString("w - Tresmo"));
        QCOMPARE(frame.recentFiles(), QStringList{QString::fromStdString(store.path("w.trsm"))});
        QVERIFY(doc.valid());
        QVERIFY(!enabled(frame, MainFrame::CMD_SAVE));
        QCOMPARE(doc.archive().txns()->older, nullptr);

        // An edit on disk, an hour later, shows after F5.
        clock._t = T0 + 3 * 3600;
        writeAt(store, "w/a.txt", "second a", T0 + 2 * 3600);
        frame.action(MainFrame::CMD_REFRESH)->trigger();
        QCOMPARE(doc.archive().root()->info->pending, 1);
        QVERIFY(enabled(frame, MainFrame::CMD_SAVE));
        QCOMPARE(doc.archive().now(), T0 + 3 * 3600);

        // Today shows the day's changes; Save waits for the Current range.
        frame.action(MainFrame::CMD_TODAY)->trigger();
        QCOMPARE(doc.archive().from(), startOfDay(T0 + 3 * 3600));
        QCOMPARE(doc.archive().to(), doc.archive().now());
        QVERIFY(!enabled(frame, MainFrame::CMD_SAVE));
        frame.action(MainFrame::CMD_CURRENT)->trigger();
        QVERIFY(enabled(frame, MainFrame::CMD_SAVE));

        // Export of a file writes its stored version; a second export asks before it deletes,
        // and No leaves the first one alone.
        select(doc, "a.txt");
        std::string out = store.path("out");
        QDir().mkpath(QString::fromStdString(out));
        answerFileDialog(out);
        frame.action(MainFrame::CMD_EXPORT)->trigger();
        QCOMPARE(readAll(out + "/a.txt"), QByteArray("first a"));
        char remembered[300];
        QVERIFY(readRegString("ArchiveDoc.OnExport.dir", remembered, sizeof remembered));
        QCOMPARE(std::string(remembered), out);
        writeAt(store, "out/a.txt", "mine", T0);
        answerFileDialog(out);
        QString asked;
        whenModal<QMessageBox>([&](QMessageBox* box) {
            asked = box->text();
            box->button(QMessageBox::No)->click();
        });
        frame.action(MainFrame::CMD_EXPORT)->trigger();
        QCOMPARE(asked, "Delete existing file " + QString::fromStdString(out) + "/a.txt?");
        QCOMPARE(readAll(out + "/a.txt"), QByteArray("mine"));

        // The placement and pane sizes come back in the next window.
        frame.outerSplitter()->setSizes({123, 300});
        frame.setGeometry(40, 50, 640, 480);
        QRect placed = frame.normalGeometry();
        int w1 = frame.outerSplitter()->sizes()[0];
        int h1 = frame.innerSplitter()->sizes()[0];
        QVERIFY(frame.close());
        MainFrame again(doc);
        again.show();
        QCOMPARE(again.geometry(), placed);
        QCOMPARE(again.outerSplitter()->sizes()[0], w1);
        QCOMPARE(again.innerSplitter()->sizes()[0], h1);
        QCOMPARE(again.recentFiles(), frame.recentFiles());

        // F6 and Shift+F6 walk the panes: tree, file list, version list.
        again.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&again));
        again.pane(MainFrame::TREE_PANE)->setFocus();
        QTest::keyClick(&again, Qt::Key_F6);
        QCOMPARE(again.activePane(), int(MainFrame::FILE_LIST_PANE));
        QTest::keyClick(&again, Qt::Key_F6);
        QCOMPARE(again.activePane(), int(MainFrame::VERS_LIST_PANE));
        QTest::keyClick(&again, Qt::Key_F6);
        QCOMPARE(again.activePane(), int(MainFrame::TREE_PANE));
        QTest::keyClick(&again, Qt::Key_F6, Qt::ShiftModifier);
        QCOMPARE(again.activePane(), int(MainFrame::VERS_LIST_PANE));
    }

    void damagedOpenFailedRefreshAndCommandLine() {
        TempStore store;
        ClockOs clock(T0 + 3600);
        writeAt(store, "w/a.txt", "a", T0);
        ArchiveDoc doc;
        MainFrame frame(doc);
        frame.show();
        watchNew(doc, store.path("w"));
        answerFileDialog(store.path("w.trsm"));
        QVERIFY(doc.save());

        // The command line opens a document; its window shows it.
        {
            TresmoApp app;
            QVERIFY(app.initInstance({QString::fromStdString(store.path("w.trsm"))}));
            QCOMPARE(app.frame().windowTitle(), QString("w - Tresmo"));
            QCOMPARE(app.doc().selection().folder(), store.path("w"));
            QVERIFY(app.doc().archive().root());
        }

        // A folder is no document: refused before anything is cleared.
        auto box = answerNextBox();
        QVERIFY(!frame.openDocument(QString::fromStdString(store.path("w"))));
        QCOMPARE(box->text, "Invalid path: " + QString::fromStdString(store.path("w")));
        QCOMPARE(box->icon, QMessageBox::Critical);
        QCOMPARE(doc.pathName(), store.path("w.trsm"));

        // A damaged archive shows the chain of its failure and leaves a new, empty document.
        QByteArray bytes = readAll(store.path("w.trsm"));
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x55);
        writeAt(store, "bad.trsm", bytes, T0);
        auto chain = answerMsgList();
        QVERIFY(!frame.openDocument(QString::fromStdString(store.path("bad.trsm"))));
        QVERIFY(chain->size() >= 2);
        QCOMPARE(chain->first(), QString("Error 2011"));
        QVERIFY(doc.valid());
        QVERIFY(!doc.archive().hasPath());
        QVERIFY(doc.selection().folder().empty());
        QCOMPARE(frame.windowTitle(), QString("Untitled - Tresmo"));

        // A refresh whose folder has gone disables everything but New, Open and the setups.
        QVERIFY(frame.openDocument(QString::fromStdString(store.path("w.trsm"))));
        QVERIFY(QDir().rename(QString::fromStdString(store.path("w")),
                              QString::fromStdString(store.path("gone"))));
        chain = answerMsgList();
        frame.action(MainFrame::CMD_REFRESH)->trigger();
        QCOMPARE(chain->value(0), QString("Error 2013"));
        QVERIFY(!doc.valid());
        for (auto c : {MainFrame::CMD_SAVE, MainFrame::CMD_SELECT_FILES, MainFrame::CMD_EXPORT,
                       MainFrame::CMD_REFRESH, MainFrame::CMD_CURRENT, MainFrame::CMD_THIS_YEAR})
            QVERIFY2(!enabled(frame, c), qPrintable(frame.action(c)->text()));
        for (auto c : {MainFrame::CMD_NEW, MainFrame::CMD_OPEN, MainFrame::CMD_VIEWER_SETUP})
            QVERIFY(enabled(frame, c));
        frame.action(MainFrame::CMD_NEW)->trigger();
        QVERIFY(doc.valid());
        QVERIFY(enabled(frame, MainFrame::CMD_SELECT_FILES));
    }

    void cancelledSaveLeavesTheArchiveAsBefore() {
        TempStore store;
        ClockOs clock(T0 + 3600);
        writeAt(store, "w/a.txt", "a", T0);
        ArchiveDoc doc;
        MainFrame frame(doc);
        frame.show();
        watchNew(doc, store.path("w"));
        answerFileDialog(store.path("w.trsm"));
        bool saved = doc.save();
        QVERIFY2(saved, doc.archive().path().c_str());
        QByteArray before = readAll(store.path("w.trsm"));

        for (int i = 0; i < 40; ++i) {
            QByteArray data(40000, 0);
            for (int j = 0; j < data.size(); ++j)
                data[j] = char((j * 7919 + i * 104729) >> 3);
            writeAt(store, QString("w/big%1.bin").arg(i), data, T0 + 60);
        }
        clock._t = T0 + 7200;
        frame.action(MainFrame::CMD_REFRESH)->trigger();
        QCOMPARE(doc.archive().root()->info->pending, 40);

        clock._slow = true;
        doc.setProgressDelay(0);
        bool boxShown = false;
        whenModal<QProgressDialog>([&](QProgressDialog* box) {
            boxShown = true;
            QVERIFY(doc.busy());
            // Input to the window waits while the worker owns the archive.
            QVERIFY(!enabled(frame, MainFrame::CMD_NEW));
            box->cancel();
        });
        auto chain = answerMsgList();
        QVERIFY(!doc.save());
        clock._slow = false;
        QVERIFY(boxShown);
        QVERIFY(chain->contains("Error 2032"));
        QCOMPARE(readAll(store.path("w.trsm")), before);
        // The reload after the failed save shows the same changes pending again.
        QVERIFY(doc.valid());
        QCOMPARE(doc.archive().root()->info->pending, 40);
        QVERIFY(enabled(frame, MainFrame::CMD_SAVE));
    }

    void targetsThatCannotBeDeleted() {
        TempStore store;
        ClockOs clock(T0 + 3600);
        writeAt(store, "w/a.txt", "a", T0);
        writeAt(store, "w.trsm", "not an archive", T0);
        ArchiveDoc doc;
        MainFrame frame(doc);
        frame.show();
        watchNew(doc, store.path("w"));

        // Save as a file that is there and stays: 1000 on top of the system's reason, and
        // nothing is written over it.
        clock._locked = true;
        answerFileDialog(store.path("w.trsm"));
        auto chain = answerMsgList();
        QVERIFY(!doc.save());
        QCOMPARE(chain->value(0), QString("Error 1000"));
        QVERIFY(chain->size() >= 2);
        QCOMPARE(readAll(store.path("w.trsm")), QByteArray("not an archive"));
        QVERIFY(!doc.archive().hasPath());

        clock._locked = false;
        answerFileDialog(store.path("w2.trsm"));
        QVERIFY(doc.save());

        // Export over a folder that cannot be removed: 1001, and the folder is left.
        select(doc, nullptr);
        writeAt(store, "out/w/mine.txt", "mine", T0);
        clock._locked = true;
        answerFileDialog(store.path("out"));
        whenModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
        chain = answerMsgList();
        QVERIFY(!doc.exportSelected());
        QCOMPARE(chain->value(0), QString("Error 1001"));
        QCOMPARE(readAll(store.path("out/w/mine.txt")), QByteArray("mine"));
        clock._locked = false;
    }

    void helpOpensThePagesBesideTheProgram() {
        // The build tree holds the pages where an installation would: ../share/doc/tresmo.
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openedUrl");
        ArchiveDoc doc;
        MainFrame frame(doc);
        frame.action(MainFrame::CMD_HELP_TOPICS)->trigger();
        frame.action(MainFrame::CMD_HELP)->trigger();
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(_urls.size(), 2);
        QFile page(_urls[0].toLocalFile());
        QVERIFY(page.open(QIODevice::ReadOnly));
        QVERIFY(page.readAll().contains("<title>Tresmo Help</title>"));
        QVERIFY(!_urls[0].hasFragment());
    }

    void statusBarTexts() {
        NodeStats s;
        s.files = 1;
        s.changes = 3;
        s.storedBytes = 70000;
        QCOMPARE(MainStatusBar::filesText(s), QString("1 file"));
        QCOMPARE(MainStatusBar::changesText(s), QString("3 changes"));
        QCOMPARE(MainStatusBar::sizeText(s), QString("68 KB"));
        s.storedBytes = 65535;
        QCOMPARE(MainStatusBar::sizeText(s), QString("65535 bytes"));
        s.storedBytes = 67108864;
        QCOMPARE(MainStatusBar::sizeText(s), QString("64 MB"));
        s = NodeStats{};
        QCOMPARE(MainStatusBar::filesText(s) + MainStatusBar::sizeText(s), QString());
    }

  private:
    MsgListPresenter _presenter;
    QList<QUrl> _urls;
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
