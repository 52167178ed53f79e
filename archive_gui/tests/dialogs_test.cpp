// The dialogs driven with keys and clicks: tool setup, message list and file selection, with
// what each stores and what each refuses.
#include "archive_gui/dialogs/MsgListDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/util/FileBrowsers.h"
#include "archive_gui/util/UiStrings.h"
#include "gui_test_util.h"

#include "archive/objects/FileSel.h"
#include "archive/objects/ToolConfig.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTreeWidget>

#include <cerrno>
#include <cstring>

namespace {

QStringList rowTexts(const QTreeWidget* list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* r = list->topLevelItem(i);
        out << QStringList{r->text(0), r->text(1), r->text(2)}.join('|');
    }
    return out;
}

void clickRow(QTreeWidget* list, int row, bool twice = false) {
    QPoint at = list->visualItemRect(list->topLevelItem(row)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    if (twice) QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

void fill(ToolSetupDlg& dlg, const std::string& program, const QString& options,
          const QString& extList) {
    dlg.programField()->setText(QString::fromStdString(program));
    dlg.optionsField()->setText(options);
    dlg.extListField()->setText(extList);
}

// The refused field has the focus with its text selected, after an "Invalid input" box.
void checkRefused(QWidget* dlg, QLineEdit* field, const BoxSeen& box) {
    QVERIFY(box.shown);
    QCOMPARE(box.text, QString("Invalid input"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(dlg->focusWidget(), static_cast<QWidget*>(field));
    QCOMPARE(field->selectedText(), field->text());
}

// Outermost first: 2011 "Could not read Tresmo file", 3000, then the system's 9000.
Error threeErrorChain() {
    return makeError(makeError(systemError(ENOENT), "StgFile.open.1"), "Tresmo.read.1");
}

class HelpRecorder : public MsgListDlg {
  public:
    using MsgListDlg::MsgListDlg;
    std::vector<int> topics;

  protected:
    void openHelp(int topic) override { topics.push_back(topic); }
};

QImage iconImage(QStyle::StandardPixmap which, const QWidget* w) {
    int size = w->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, w);
    return w->style()->standardIcon(which, nullptr, w).pixmap(size, size).toImage();
}

QTreeWidgetItem* typeRow(const SelectFilesDlg& dlg, const std::string& type) {
    for (int i = 0; i < dlg.typeList()->topLevelItemCount(); ++i)
        if (SelectFilesDlg::typeOf(dlg.typeList()->topLevelItem(i)) == type)
            return dlg.typeList()->topLevelItem(i);
    return nullptr;
}

// A watched folder: a.txt 1 byte, b.TXT 1024, c.log 1025, README 10, sub/d.txt 5, skip/e.dat 7.
std::string makeFolder(const TempStore& store) {
    for (auto [rel, size] : {std::pair{"a.txt", 1},
                             {"b.TXT", 1024},
                             {"c.log", 1025},
                             {"README", 10},
                             {"sub/d.txt", 5},
                             {"skip/e.dat", 7}})
        store.write(QString("w/") + rel, size);
    return store.path("w");
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

  private slots:
    void toolSetupAddsLoadsUpdatesAndDeletesEntries() {
        TempStore store;
        std::string viewer = store.write("bin/viewer", 1), editor = store.write("bin/editor", 1);
        ToolConfig("TestViewers").add(viewer, "-r %1", "txt, log");
        ToolConfig config("TestViewers");
        ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Viewer Setup"));
        QCOMPARE(dlg.list()->headerItem()->text(2), QString("Ext List"));
        QVERIFY(!dlg.updateButton()->isEnabled());
        QVERIFY(!dlg.deleteButton()->isEnabled());

        // An added entry is loaded: Update is on, the program is selected for the next edit.
        fill(dlg, editor, "", "c,H");
        QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.list()), QStringList({"viewer|-r %1|txt, log", "editor||c,H"}));
        QCOMPARE(dlg.loadedRow(), 1);
        QVERIFY(dlg.updateButton()->isEnabled());
        QCOMPARE(dlg.programField()->selectedText(), QString::fromStdString(editor));

        // Choosing another row leaves it unloaded until Enter; Enter in the fields never
        // closes the dialog.
        clickRow(dlg.list(), 0);
        QVERIFY(!dlg.updateButton()->isEnabled());
        QVERIFY(dlg.deleteButton()->isEnabled());
        QTest::keyClick(dlg.list(), Qt::Key_Return);
        QCOMPARE(dlg.loadedRow(), 0);
        QVERIFY(dlg.updateButton()->isEnabled());
        QCOMPARE(dlg.programField()->text(), QString::fromStdString(viewer));
        QCOMPARE(dlg.extListField()->text(), QString("txt, log"));
        QTest::keyClick(dlg.programField(), Qt::Key_Return);
        QTest::keyClick(dlg.extListField(), Qt::Key_Enter);
        QVERIFY(dlg.isVisible());

        // Its own extensions do not count as taken when the entry itself is updated.
        dlg.optionsField()->setText("-x %1");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        ToolConfig stored("TestViewers");
        QCOMPARE(stored.count(), 2);
        QCOMPARE(stored.options(0), std::string("-x %1"));
        QCOMPARE(stored.extList(1), std::string("c,H"));

        clickRow(dlg.list(), 1, true);  // a double click loads too
        QCOMPARE(dlg.loadedRow(), 1);
        QCOMPARE(dlg.programField()->text(), QString::fromStdString(editor));
        clickRow(dlg.list(), 0);
        QTest::mouseClick(dlg.deleteButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.list()), QStringList({"editor||c,H"}));
        QVERIFY(!dlg.updateButton()->isEnabled());
        ToolConfig afterDelete("TestViewers");  // count() reads the store
        QCOMPARE(afterDelete.count(), 1);
        QCOMPARE(afterDelete.program(0), editor);
        QTest::keyClick(dlg.programField(), Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
    }

    void toolSetupRefusesInvalidFieldsAndStoresNothing() {
        TempStore store;
        std::string tool = store.write("tool", 1);
        std::string base = store.path() + "/";
        std::string long99 = store.write(QString(99 - static_cast<int>(base.size()), 'p'), 1);
        QCOMPARE(long99.size(), size_t(99));
        QStringList many;  // 25 valid extensions of three letters: 99 characters
        for (int i = 0; i < 25; ++i)
            many << QString("b%1").arg(i, 2, 10, QChar('0'));
        const struct {
            std::string program;
            QString options, extList;
            int field;                      // 0 program, 1 options, 2 extension list
        } cases[] = {{tool, "", "TXT", 2},  // another entry's extension, other case
                     {tool, "", "c;h", 2},
                     {tool, "", "", 2},
                     {tool, "", many.join(','), 2},
                     {"/no/such/tool", "", "c", 0},
                     {"bin/tool", "", "c", 0},
                     {long99, "", "c", 0},
                     {tool, QString(99, 'o'), "c", 1}};
        ToolConfig("TestViewers").add(tool, "", "txt");
        for (const auto& c : cases) {
            ToolConfig config("TestViewers");
            ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
            dlg.show();
            fill(dlg, c.program, c.options, c.extList);
            auto box = answerNextBox();
            QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
            QLineEdit* fields[] = {dlg.programField(), dlg.optionsField(), dlg.extListField()};
            checkRefused(&dlg, fields[c.field], *box);
            QCOMPARE(box->title, QString());
            QCOMPARE(dlg.list()->topLevelItemCount(), 1);
            QCOMPARE(ToolConfig("TestViewers").count(), 1);
        }
    }

    void pickersTakeTheChosenPathAndRememberFolders() {
        TempStore store;
        std::string tool = store.write("tools/view", 1);
        ToolConfig config("TestDiffs");
        ToolSetupDlg dlg(IDS_DIFF_TOOL_SETUP, config);
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Diff Tool Setup"));
        auto picker = answerPicker(tool);
        QTest::mouseClick(dlg.browseButton(), Qt::LeftButton);
        QCOMPARE(picker->title, QString("Browse for File"));
        QCOMPARE(picker->filter, QString("All Files (*)"));
        QCOMPARE(dlg.programField()->selectedText(), QString::fromStdString(tool));
        QCOMPARE(FileBrowser::dialogFilter("Programs\n*.sh\nAll Files (*.*)\n*.*\n"),
                 QString("Programs (*.sh);;All Files (*)"));

        // A new browser (a new run of the program) starts at the folder chosen last time.
        QString first = QString::fromStdString(store.path("tools"));
        answerPicker(first.toStdString());
        FolderBrowser browser(nullptr, nullptr, "Test.exportDir");
        QVERIFY(browser.browseFolder());
        QCOMPARE(QString(browser.chosen()), first);
        picker = answerPicker({});
        QVERIFY(!FolderBrowser(nullptr, nullptr, "Test.exportDir").browseFolder());
        QCOMPARE(picker->folder, first);
        char value[MAX_PATH];
        QVERIFY(readRegString("Test.exportDir", value, sizeof value));
        QCOMPARE(QString(value), first);
    }

    void msgListPagesTheChainWithKeysAndScrollBar() {
        Error e = threeErrorChain();
        MsgListDlg dlg(MsgListDlg::Kind::Error, MsgListDlg::chainOf(e));
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Error 2011"));
        QVERIFY(dlg.textBox()->toPlainText().contains("Could not read Tresmo file"));
        QCOMPARE(dlg.iconLabel()->pixmap().toImage(),
                 iconImage(QStyle::SP_MessageBoxCritical, &dlg));
        QCOMPARE(dlg.scrollBar()->maximum(), 2);
        // Page keys step, Ctrl with them jumps to an end; the scroll bar follows.
        const struct {
            Qt::Key key;
            Qt::KeyboardModifiers mods;
            int current;
        } keys[] = {{Qt::Key_PageDown, {}, 1}, {Qt::Key_PageDown, Qt::ControlModifier, 2},
                    {Qt::Key_PageDown, {}, 2}, {Qt::Key_PageUp, Qt::ControlModifier, 0},
                    {Qt::Key_PageDown, {}, 1}, {Qt::Key_PageUp, {}, 0},
                    {Qt::Key_PageUp, {}, 0}};
        const char* titles[] = {"Error 2011", "Error 3000", "Error 9000"};
        for (const auto& k : keys) {
            QTest::keyClick(dlg.textBox(), k.key, k.mods);
            QCOMPARE(dlg.windowTitle(), QString(titles[k.current]));
            QCOMPARE(dlg.scrollBar()->value(), k.current);
        }
        QTest::keyClick(dlg.okButton(), Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(dlg.textBox()->toPlainText().simplified(),
                 QString::fromUtf8(std::strerror(ENOENT)).simplified());
        QTest::keyClick(dlg.okButton(), Qt::Key_PageUp, Qt::ControlModifier);
        dlg.scrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(dlg.windowTitle(), QString("Error 3000"));
        dlg.scrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        QCOMPARE(dlg.current(), 0);
        // A dragged thumb changes the message only when it is released.
        dlg.scrollBar()->setSliderDown(true);
        dlg.scrollBar()->setSliderPosition(2);
        QCOMPARE(dlg.current(), 0);
        dlg.scrollBar()->setSliderDown(false);
        QCOMPARE(dlg.windowTitle(), QString("Error 9000"));

        // One long warning cannot be paged and is wrapped to the box.
        Msg msg = makeMsg("FileFinder.4", std::string(40, 'd') + "/deeper/and/deeper/folder",
                          "a file name that goes on for quite a while, longer than any line");
        MsgListDlg one(MsgListDlg::Kind::Warning, {&msg});
        one.show();
        QCOMPARE(one.iconLabel()->pixmap().toImage(),
                 iconImage(QStyle::SP_MessageBoxWarning, &one));
        QVERIFY(!one.scrollBar()->isEnabled());
        QTest::keyClick(one.textBox(), Qt::Key_PageDown);
        QCOMPARE(one.windowTitle(), QString("Warning 3703"));
        QStringList lines = one.textBox()->toPlainText().split('\n');
        QVERIFY(lines.size() > 1);
        QCOMPARE(lines.join(QString()), QString::fromStdString(msg.text));
        QFontMetrics fm(one.textBox()->font());
        for (const QString& line : lines)
            QVERIFY(fm.horizontalAdvance(line) <= one.textBox()->viewport()->width());

        // Help follows each message's flag.
        Msg helped = msg;
        helped.code = 4321;
        helped.hasHelp = true;
        HelpRecorder help(MsgListDlg::Kind::Warning, {&msg, &helped});
        help.show();
        QVERIFY(!help.helpButton()->isEnabled());
        QTest::keyClick(help.textBox(), Qt::Key_PageDown);
        QTest::mouseClick(help.helpButton(), Qt::LeftButton);
        QCOMPARE(help.topics, std::vector<int>{4321});
        QCOMPARE(help.focusWidget(), static_cast<QWidget*>(help.textBox()));
    }

    void printLinesBreaksAtTheBestPositionWithinTheBuffer() {
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(12);
        QFontMetrics fm(font);
        // Widths in characters of the fixed font (0: half a character); "" means it fails.
        // 10 characters fit and about 8 are the shortest line: a window ends at position 9.
        const struct {
            const char* text;
            int chars;
            size_t capacity;
            const char* lines;
        } cases[] = {
            {"short text", 10, 1000, "short text"},
            {"", 1, 1000, ""},
            {"alpha beta gamma delta epsilon", 12, 1000, "alpha beta |gamma delta |epsilon"},
            {"ABCDEFGabCDEFGH", 10, 1000, "ABCDEFGab|CDEFGH"},    // lower case over upper
            {"abcdefg-1bcdefgh", 10, 1000, "abcdefg-|1bcdefgh"},  // signs over digits
            {"abcdefgh1bcdefgh", 10, 1000, "abcdefgh1|bcdefgh"},  // digits over letters
            {"ABCDEFGHIJKLM", 10, 1000, "ABCDEFGHIJ|KLM"},        // else the latest
            {"abc", 0, 1000, nullptr},
            {"aaaa bbbb cccc", 5, 19, "aaaa |bbbb |cccc"},  // two line ends and the NUL
            {"aaaa bbbb cccc", 5, 18, nullptr},
            {"abcdefghijklmn", 100, 14, nullptr},
        };
        for (const auto& c : cases) {
            int width = c.chars ? fm.horizontalAdvance(QString(c.chars, 'x'))
                                : fm.horizontalAdvance("x") / 2;
            QString s;
            QCOMPARE(printLines(s, c.capacity, c.text, width, 0.8, fm), c.lines != nullptr);
            if (c.lines) QCOMPARE(s, QString(c.lines).replace('|', "\r\n"));
        }
    }

    void presenterShowsWarningsFromTheFirst() {
        MsgListPresenter presenter;
        Presenter* old = installPresenter(&presenter);
        // Errors reach it through the main window's commands; a list of warnings opens at
        // the first.
        QStringList titles;
        whenModal<MsgListDlg>([&](MsgListDlg* dlg) {
            titles << dlg->windowTitle();
            dlg->accept();
        });
        showMsgs({makeMsg("FileFinder.5", "x", "y"), makeMsg("FileFinder.4", "x", "y")});
        QCOMPARE(titles, QStringList({"Warning 3704"}));
        installPresenter(old);
    }

    void verificationFailureShowsInternalErrorAndExitsWithOne() {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The process ends inside a call, with the application still alive: its memory is
        // not a leak of this test.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--verify-child"});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        QString out = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(out.startsWith("Internal Error|Verification failed: dialogs_test.cpp("),
                 qPrintable(out));
        QVERIFY2(out.contains("): argc < 0"), qPrintable(out));
    }

    void selectFilesListsTypesAndOkAdoptsTheFields() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        for (const char* type : {"XYZ", "LOG", "MD"})  // no XYZ files: not shown, stays listed
            sel.setListed(type, true);
        SelectFilesDlg dlg(sel);
        dlg.show();
        QCOMPARE(dlg.folderField()->text(), QString::fromStdString(sel.folder()));
        QVERIFY(dlg.subfoldersBox()->isChecked());
        QVERIFY(dlg.excludeButton()->isChecked());
        // Sizes round up to whole kilobytes: 1 byte and 1024 bytes are 1, 1025 bytes are 2.
        QCOMPARE(rowTexts(dlg.typeList()), QStringList({"|1|1", "DAT|1|1", "LOG|1|2", "TXT|3|2"}));
        QCOMPARE(typeRow(dlg, "LOG")->checkState(0), Qt::Checked);
        dlg.exceptionsField()->setText("sub, skip");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.typeList()), QStringList({"|1|1", "LOG|1|2", "TXT|2|2"}));

        // Check boxes survive an update; new types take the selection's listing.
        typeRow(dlg, "TXT")->setCheckState(0, Qt::Checked);
        typeRow(dlg, "LOG")->setCheckState(0, Qt::Unchecked);
        store.write("w/notes.md", 3);
        store.write("w/tool.sh", 3);
        dlg.exceptionsField()->setText("skip");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.typeList()),
                 QStringList({"|1|1", "LOG|1|2", "MD|1|1", "SH|1|1", "TXT|3|2"}));
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(dlg.typeList()));
        QList<Qt::CheckState> checks;
        for (const char* type : {"TXT", "LOG", "MD", "SH"})
            checks << typeRow(dlg, type)->checkState(0);
        QCOMPARE(checks, QList({Qt::Checked, Qt::Unchecked, Qt::Checked, Qt::Unchecked}));

        dlg.includeButton()->click();
        dlg.subfoldersBox()->click();
        QVERIFY(!dlg.exceptionsField()->isEnabled());
        QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        FileSel adopted = dlg.selection();
        QVERIFY(!adopted.sharesWith(sel));
        QCOMPARE(sel.types(), std::vector<std::string>({"XYZ", "LOG", "MD"}));
        adopted.setFile(store.path("doc.sel"));
        QVERIFY(adopted.write());
        FileSel back;
        back.setFile(store.path("doc.sel"));
        QVERIFY(back.read());
        QCOMPARE(back.folder(), sel.folder());
        QVERIFY(!back.includeSubfolders());
        QCOMPARE(back.exceptions(), std::string("skip"));
        QVERIFY(!back.excludeTypes());
        QCOMPARE(QList({back.isListed("XYZ"), back.isListed("TXT"), back.isListed("LOG")}),
                 QList({true, true, false}));

        // OK without a change hands back the same selection.
        SelectFilesDlg same(sel);
        same.show();
        QTest::mouseClick(same.okButton(), Qt::LeftButton);
        QVERIFY(same.selection().sharesWith(sel));
    }

    void selectFilesEmptiesTheListAndRefusesUnusableFields() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        const struct {
            QString folder, exceptions;
            int field;  // 0 folder, 1 exceptions
        } cases[] = {{"/no/such/folder", "", 0},
                     {"/", "", 0},
                     {"w", "", 0},
                     {QString::fromStdString(sel.folder()), QString(99, 'x'), 1}};
        for (const auto& c : cases) {
            SelectFilesDlg dlg(sel);
            dlg.show();
            QVERIFY(dlg.typeList()->topLevelItemCount() > 0);
            dlg.folderField()->setText(c.folder);
            dlg.exceptionsField()->setText(c.exceptions);
            QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
            QCOMPARE(dlg.typeList()->topLevelItemCount(), 0);
            auto box = answerNextBox();
            QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
            QLineEdit* fields[] = {dlg.folderField(), dlg.exceptionsField()};
            checkRefused(&dlg, fields[c.field], *box);
            QVERIFY(dlg.isVisible());
        }
        FileSel gone;
        gone.setFolder("/no/such/folder");
        QCOMPARE(SelectFilesDlg(gone).typeList()->topLevelItemCount(), 0);
    }

    void selectFilesScanCanBeCancelledAndBrowseRescans() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        SelectFilesDlg dlg(sel);
        dlg.show();
        QStringList before = rowTexts(dlg.typeList());
        for (int i = 0; i < 200; ++i)
            store.write(QString("w/many/f%1.new").arg(i), 1);
        dlg.setProgressDelay(0);
        QString label;
        whenModal<QProgressDialog>([&](QProgressDialog* box) {
            label = box->labelText();
            box->cancel();
        });
        QVERIFY(!dlg.updateList());
        QVERIFY(label.startsWith("Scanning " + dlg.folderField()->text()));
        QCOMPARE(rowTexts(dlg.typeList()), before);
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.findChild<QProgressDialog*>());
        QVERIFY(dlg.updateList());
        QCOMPARE(typeRow(dlg, "NEW")->text(1), QString("200"));

        store.write("other/x.pdf", 2048);
        auto picker = answerPicker(store.path("other"));
        QTest::mouseClick(dlg.browseButton(), Qt::LeftButton);
        QCOMPARE(picker->folder, QString::fromStdString(sel.folder()));
        QCOMPARE(dlg.folderField()->text(), QString::fromStdString(store.path("other")));
        QCOMPARE(rowTexts(dlg.typeList()), QStringList({"PDF|1|2"}));
    }
};

namespace {

// The child of the verification test: answers the box by printing what it showed.
int verifyChild(int argc, char** argv) {
    QApplication app(argc, argv);
    MsgListPresenter presenter;
    installPresenter(&presenter);
    whenModal<QMessageBox>([](QMessageBox* box) {
        std::printf("%s|%s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
        std::fflush(stdout);
        box->accept();
    });
    VERIFY(argc < 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--verify-child") == 0) return verifyChild(argc, argv);
    QApplication app(argc, argv);
    DialogsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
