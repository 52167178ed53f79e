// Takes a picture of every dialog with typical content, for review:
//   tresmo_shots OUTPUT_FOLDER
// `make screenshots` runs it under a virtual X server. It uses its own string store and a
// sample folder in a temporary folder, never the user's.
#include "archive_gui/dialogs/MsgListDlg.h"
#include "archive_gui/dialogs/RewriteDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/frame/MainFrame.h"
#include "archive_gui/shots/ViewShots.h"
#include "archive_gui/util/HelpWindow.h"
#include "archive_gui/util/ProgressDlg.h"
#include "archive_gui/util/UiStrings.h"
#include "archive_gui/views/VersListView.h"

#include "archive/objects/FileSel.h"
#include "archive/objects/ToolConfig.h"
#include "archive/ops/Tresmo.h"
#include "archive/support/msg.h"
#include "archive/support/tstamp.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cerrno>
#include <cstdio>

namespace {

QString outDir;
int failures = 0;

void settle() {
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

void shoot(QWidget* w, const char* name) {
    w->show();
    w->raise();
    settle();
    QString path = QDir(outDir).filePath(QString::fromUtf8(name) + ".png");
    if (w->grab().save(path)) {
        std::printf("%s\n", qPrintable(path));
    } else {
        std::fprintf(stderr, "tresmo_shots: could not write %s\n", qPrintable(path));
        ++failures;
    }
    w->hide();
}

void writeFile(const QString& path, qint64 size) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(QByteArray(size, 'x'));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tresmo_shots OUTPUT_FOLDER\n");
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    QTemporaryDir tmp;
    qputenv("TRESMO_CONFIG_DIR", tmp.path().toUtf8());
    registerUiMsgs();

    Error error = makeError(makeError(systemError(EACCES), "StgFile.open.1"), "Tresmo.read.1",
                            "/home/ann/projects/website.trsm", 0, 0);
    MsgListDlg errorDlg(MsgListDlg::Kind::Error, MsgListDlg::chainOf(error));
    shoot(&errorDlg, "msg-error");
    Error scan = makeError(systemError(ENOENT), "Tresmo.findChanges", "/home/ann/projects/website");
    MsgListDlg scanDlg(MsgListDlg::Kind::Error, MsgListDlg::chainOf(scan));
    shoot(&scanDlg, "msg-error-folder");
    shoot(HelpWindow::showTopic(nullptr, "range"), "help");

    MsgList warnings{makeMsg("FileFinder.4", "/home/ann/projects/website/assets/images/2024/summer",
                             "Holiday-Photo-Overview.JPG"),
                     makeMsg("FileFinder.5", "cache", "/home/ann/projects/website")};
    MsgListDlg warningDlg(MsgListDlg::Kind::Warning, {&warnings[0], &warnings[1]});
    shoot(&warningDlg, "msg-warning");

    QString sample = tmp.filePath("website");
    writeFile(tmp.filePath("bin/less"), 1);
    writeFile(tmp.filePath("bin/gimp"), 1);
    writeFile(tmp.filePath("bin/meld"), 1);
    std::string bin = QFile::encodeName(tmp.filePath("bin/")).toStdString();
    viewerConfig().add(bin + "less", "-N %1", "txt, log, md, css, html");
    viewerConfig().add(bin + "gimp", "", "png, jpg, gif");
    diffToolConfig().add(bin + "meld", "%1 %2", "txt, md, css, html, js");
    ToolSetupDlg viewer(IDS_VIEWER_SETUP, viewerConfig());
    viewer.programField()->setText(QString::fromStdString(bin + "less"));
    viewer.optionsField()->setText("-N %1");
    viewer.extListField()->setText("txt, log, md, css, html");
    shoot(&viewer, "viewer-setup");
    ToolSetupDlg diff(IDS_DIFF_TOOL_SETUP, diffToolConfig());
    shoot(&diff, "diff-tool-setup");

    const char* files[] = {"index.html", "about.html", "style.css", "site.js", "README",
                           "notes.md",   "logo.png",   "a/b.png",   "a/c.jpg", "cache/x.tmp"};
    qint64 size = 700;
    for (const char* f : files) {
        writeFile(sample + "/" + f, size);
        size = size * 3 + 1;
    }
    FileSel sel;
    sel.setFolder(QFile::encodeName(sample).toStdString());
    sel.setExceptions("cache");
    sel.setListed("TMP", true);
    SelectFilesDlg select(sel);
    select.typeList()->topLevelItem(1)->setCheckState(0, Qt::Checked);
    shoot(&select, "select-files");

    RewriteDlg rewrite("/home/ann/projects/website.trsm", 48);
    rewrite.keepLastButton()->click();
    shoot(&rewrite, "rewrite-archive");

    QMessageBox invalid(
        QMessageBox::Critical, uiString(IDS_INVALID_INPUT),
        uiFormat(IDS_FIELD_REFUSED, {uiString(IDS_FIELD_FOLDER),
                                     uiFormat(IDS_NO_SUCH_PATH, {"/home/ann/projects/webiste"})}),
        QMessageBox::Ok);
    shoot(&invalid, "invalid-input");
    QMessageBox replace(
        QMessageBox::Warning, uiString(IDS_REPLACE_TITLE),
        uiFormat(IDS_REPLACE_HISTORY,
                 {"/home/ann/projects/website.trsm", uiFormat(IDS_TRANSACTIONS, {"48"}),
                  QString::fromStdString(timeText(1733130000)),
                  QString::fromStdString(timeText(1765180000))}),
        QMessageBox::Yes | QMessageBox::Cancel);
    replace.setDefaultButton(QMessageBox::Cancel);
    shoot(&replace, "replace-archive");

    select.show();
    {
        ProgressDlg progress(&select, QStringLiteral("Scanning ") + sample, 0);
        progress.advance(1234, 0);
        settle();
        if (progress.box()) shoot(progress.box(), "scan-progress");
    }
    select.hide();

    // The main window on an archive of the sample: one save, then an edit pending.
    std::string archive = QFile::encodeName(tmp.filePath("website.trsm")).toStdString();
    sel.setFile(QFile::encodeName(tmp.filePath("website.sel")).toStdString());
    sel.setMetaFormat(true);  // what a new archive keeps: bits, links and empty folders
    sel.write();
    QFile::link(QStringLiteral("news.html"), sample + "/latest.html");
    {
        Tresmo t;
        t.setPath(archive);
        // The files were written this second; the scan must see them as older than its time.
        if (!t.refresh(sel, currentTime() + 2) || !t.save()) ++failures;
    }
    writeFile(sample + "/style.css", 99);
    writeFile(sample + "/news.html", 1234);
    QEventLoop wait;
    QTimer::singleShot(3100, &wait, &QEventLoop::quit);
    wait.exec();
    ArchiveDoc doc;
    MainFrame frame(doc);
    frame.resize(800, 600);
    shoot(&frame, "main-window-empty");
    if (!doc.openDocument(archive)) ++failures;
    auto selectRoot = [&doc] {
        doc.archive().selectFolder(doc.archive().root());
        doc.archive().updateSelectionInfo();
        doc.updateViews(HINT_SELECTION);
    };
    selectRoot();
    shoot(&frame, "main-window");
    frame.action(MainFrame::CMD_THIS_WEEK)->trigger();
    selectRoot();
    shoot(&frame, "main-window-range");
    auto* versions = frame.findChild<VersListView*>();
    versions->listView()->setCurrentIndex(versions->model()->index(1, 0));
    versions->viewVersionAction()->trigger();
    selectRoot();
    shoot(&frame, "main-window-past");
    frame.action(MainFrame::CMD_CURRENT)->trigger();
    selectRoot();
    frame.show();
    {
        // Part way through a save, once the pace gives the time left.
        ProgressDlg progress(&frame, QStringLiteral("Saving ") + QString::fromStdString(archive),
                             0);
        progress.expect(12, 4718592);
        QTimer::singleShot(2100, &wait, &QEventLoop::quit);
        wait.exec();
        progress.advance(5, 1887436);
        settle();
        if (progress.box()) shoot(progress.box(), "save-progress");
    }
    if (!doc.save()) ++failures;
    shoot(&frame, "main-window-saved");
    shootViews(shoot);
    return failures ? 1 : 0;
}
