// Tool setup, message list and file selection driven with keys and clicks.
#include "archive_gui/dialogs/MsgListDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/util/UiStrings.h"
#include "gui_test_util.h"

#include "archive/objects/FileSel.h"
#include "archive/objects/ToolConfig.h"
#include "archive/support/msg.h"

#include <QCheckBox>
#include <QClipboard>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include <cerrno>
#include <cstring>

namespace {

QStringList rowTexts(const QTreeWidget* list) {
    QStringList out;
    for (const QTreeWidgetItem* r = list->topLevelItem(0); r; r = list->itemBelow(r))
        out << QStringList{r->text(0), r->text(1), r->text(2)}.join('|');
    return out;
}

void fill(ToolSetupDlg& dlg, const std::string& program, const QString& options,
          const QString& extList) {
    dlg.programField()->setText(QString::fromStdString(program));
    dlg.optionsField()->setText(options);
    dlg.extListField()->setText(extList);
}

// The refused field has the focus with its text selected, after an "Invalid input" box that
// names it and says why.
void checkRefused(QWidget* dlg, QLineEdit* field, const QString& box, const QString& why) {
    QCOMPARE(box, "Invalid input|" + why);
    QCOMPARE(dlg->focusWidget(), static_cast<QWidget*>(field));
    QCOMPARE(field->selectedText(), field->text());
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

  private slots:
    void toolSetupRefusesInvalidFieldsThenAddsLoadsUpdatesAndDeletes() {
        TempStore store;
        std::string viewer = store.write("bin/viewer", "x"),
                    editor = store.write("bin/editor", "x");
        std::string long99 =
            store.write(QString(98 - static_cast<int>(store.path().size()), 'p'), "x");
        QStringList many;  // 25 valid extensions of three letters: 99 characters
        for (int i = 0; i < 25; ++i)
            many << QString("b%1").arg(i, 2, 10, QChar('0'));
        ToolConfig("TestViewers").add(viewer, "-r %1", "txt, log");
        ToolConfig config("TestViewers");
        ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
        dlg.show();
        const QString tooLong = "must be shorter than 99 characters.";
        const struct {
            std::string program;
            QString options, extList;
            int field;  // 0 program, 1 options, 2 extension list
            QString why;
        } cases[] = {{editor, "", many.join(','), 2, "Ext List: " + tooLong},
                     {editor, "", "txt", 2,
                      "Ext List: give extensions separated by commas, none "
                      "of them set up for another program."},
                     {"/no/such/tool", "", "c", 0, "Program: /no/such/tool does not exist."},
                     {"bin/editor", "", "c", 0, "Program: bin/editor is not a full path."},
                     {long99, "", "c", 0, "Program: " + tooLong},
                     {editor, QString(99, 'o'), "c", 1, "Options: " + tooLong}};
        QLineEdit* fields[] = {dlg.programField(), dlg.optionsField(), dlg.extListField()};
        for (const auto& c : cases) {
            fill(dlg, c.program, c.options, c.extList);
            auto box = answerNextBox();
            QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
            checkRefused(&dlg, fields[c.field], *box, c.why);
            QCOMPARE(ToolConfig("TestViewers").count(), 1);
        }

        // An added entry is loaded and Update is on.
        fill(dlg, editor, "", "c,H");
        QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.list()), QStringList({"viewer|-r %1|txt, log", "editor||c,H"}));
        QCOMPARE(dlg.loadedRow(), 1);
        QVERIFY(dlg.updateButton()->isEnabled());

        // Another row stays unloaded until Enter; Enter in the fields never closes the dialog.
        QTest::mouseClick(dlg.list()->viewport(), Qt::LeftButton, {},
                          dlg.list()->visualItemRect(dlg.list()->topLevelItem(0)).center());
        QVERIFY(!dlg.updateButton()->isEnabled());
        QTest::keyClick(dlg.list(), Qt::Key_Return);
        QCOMPARE(dlg.loadedRow(), 0);
        QCOMPARE(dlg.programField()->text(), QString::fromStdString(viewer));
        QTest::keyClick(dlg.extListField(), Qt::Key_Enter);
        QVERIFY(dlg.isVisible());

        // Its own extensions do not count as taken when the entry itself is updated.
        dlg.optionsField()->setText("-x %1");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        ToolConfig stored("TestViewers");  // count() reads the store
        QCOMPARE(stored.count(), 2);
        QCOMPARE(stored.options(0), std::string("-x %1"));

        QTest::mouseClick(dlg.deleteButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.list()), QStringList({"editor||c,H"}));
        ToolConfig after("TestViewers");
        QCOMPARE(after.count(), 1);
        QCOMPARE(after.program(0), editor);
    }

    void msgListPagesTheChainAndBreaksLinesAtTheBestPositionWithinTheBuffer() {
        // Outermost first: 2011, 3000, then the system's 9000.
        Error e = makeError(makeError(systemError(ENOENT), "StgFile.open.1"), "Tresmo.read.1",
                            "/d/f.trsm", 0, 0);
        MsgListDlg dlg(MsgListDlg::Kind::Error, MsgListDlg::chainOf(e));
        dlg.show();
        QVERIFY(dlg.textBox()->toPlainText().contains("Could not read Tresmo file"));
        // One sentence from the file to the system's words above; Copy takes the whole chain.
        QCOMPARE(dlg.headline()->text(),
                 "Could not read Tresmo file /d/f.trsm: " + QString(std::strerror(ENOENT)) + ".");
        dlg.copyButton()->click();
        QStringList copied = QGuiApplication::clipboard()->text().split('\n');
        QCOMPARE(copied.size(), 3);
        QCOMPARE(copied[0], "Error 2011: Could not read Tresmo file /d/f.trsm");
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
            QCOMPARE(dlg.position()->text(), QString("%1 of 3").arg(k.current + 1));
        }

        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(12);
        QFontMetrics fm(font);
        // Line breaks; widths in characters (0: half of one), 10 fit and 8 the shortest line.
        const struct {
            const char* text;
            int chars;
            size_t capacity;
            const char* lines;
        } cases[] = {
            {"alpha beta gamma delta epsilon", 12, 1000, "alpha beta |gamma delta |epsilon"},
            {"ABCDEFGabCDEFGH", 10, 1000, "ABCDEFGab|CDEFGH"},    // lower case over upper
            {"abcdefg-1bcdefgh", 10, 1000, "abcdefg-|1bcdefgh"},  // signs over digits
            {"abcdefgh1bcdefgh", 10, 1000, "abcdefgh1|bcdefgh"},  // digits over letters
            {"ABCDEFGHIJKLM", 10, 1000, "ABCDEFGHIJ|KLM"},        // else the latest
            {"abc", 0, 1000, nullptr},
            {"aaaa bbbb cccc", 5, 19, "aaaa |bbbb |cccc"},  // two line ends and the NUL
            {"aaaa bbbb cccc", 5, 18, nullptr},
        };
        for (const auto& c : cases) {
            int width = c.chars ? fm.horizontalAdvance(QString(c.chars, 'x'))
                                : fm.horizontalAdvance("x") / 2;
            QString s;
            QCOMPARE(printLines(s, c.capacity, c.text, width, 0.8, fm), c.lines != nullptr);
            if (c.lines) QCOMPARE(s, QString(c.lines).replace('|', "\r\n"));
        }
    }

    void selectFilesListsTypesRefusesUnusableFieldsKeepsChecksAndOkAdoptsTheFields() {
        TempStore store;
        const std::pair<const char*, int> files[] = {{"a.txt", 1},     {"b.TXT", 1024},
                                                     {"c.log", 1025},  {"README", 10},
                                                     {"sub/d.txt", 5}, {"skip/e.dat", 7}};
        for (auto [rel, size] : files)
            store.write(QString("w/") + rel, QByteArray(size, 'x'));
        FileSel sel;
        sel.setFolder(store.path("w"));
        for (const char* type : {"XYZ", "LOG", "MD"})  // no XYZ files: not shown, stays listed
            sel.setListed(type, true);
        SelectFilesDlg dlg(sel);
        dlg.show();
        auto typeRow = [&](const char* type) {
            return dlg.typeList()->findItems(type, Qt::MatchExactly).value(0);
        };
        // Sizes round up to whole kilobytes: 1 byte and 1024 bytes are 1, 1025 bytes are 2.
        QCOMPARE(rowTexts(dlg.typeList()), QStringList({"|1|1", "DAT|1|1", "LOG|1|2", "TXT|3|2"}));

        // An unusable field empties the list, and OK refuses it.
        const QString folder = QString::fromStdString(sel.folder());
        const struct {
            QString folder, exceptions;
            int field;  // 0 folder, 1 exceptions
            QString why;
        } refused[] = {{"/no/such/folder", "", 0, "Folder: /no/such/folder does not exist."},
                       {"/", "", 0, "Folder: the root folder cannot be watched."},
                       {"w", "", 0, "Folder: w is not a full path."},
                       {folder + "/a.txt", "", 0, "Folder: " + folder + "/a.txt is not a folder."},
                       {folder, QString(99, 'x'), 1,
                        "Subfolder exceptions: must be shorter than 99 characters."}};
        QLineEdit* fields[] = {dlg.folderField(), dlg.exceptionsField()};
        for (const auto& c : refused) {
            dlg.folderField()->setText(c.folder);
            dlg.exceptionsField()->setText(c.exceptions);
            QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
            QCOMPARE(dlg.typeList()->topLevelItemCount(), 0);
            auto box = answerNextBox();
            QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
            checkRefused(&dlg, fields[c.field], *box, c.why);
        }
        dlg.folderField()->setText(folder);
        dlg.exceptionsField()->setText("sub, skip");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.typeList()), QStringList({"|1|1", "LOG|1|2", "TXT|2|2"}));

        // Check boxes survive an update; new types take the selection's listing.
        typeRow("TXT")->setCheckState(0, Qt::Checked);
        typeRow("LOG")->setCheckState(0, Qt::Unchecked);
        store.write("w/notes.md", "x");
        store.write("w/tool.sh", "x");
        dlg.exceptionsField()->setText("skip");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.typeList()),
                 QStringList({"|1|1", "LOG|1|2", "MD|1|1", "SH|1|1", "TXT|3|2"}));
        QList<Qt::CheckState> checks;
        for (const char* type : {"TXT", "LOG", "MD", "SH"})
            checks << typeRow(type)->checkState(0);
        QCOMPARE(checks, QList({Qt::Checked, Qt::Unchecked, Qt::Checked, Qt::Unchecked}));

        dlg.includeButton()->click();
        dlg.subfoldersBox()->click();
        dlg.resize(dlg.size() + QSize(50, 40));
        QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
        QCOMPARE(SelectFilesDlg(sel).size(), dlg.size());  // the next one opens at its size
        FileSel back = dlg.selection();
        // Once the archive has a transaction its format is settled: no box, the choice kept.
        QVERIFY(!dlg.plainFormatBox()->isVisibleTo(&dlg) && !back.metaFormat());
        SelectFilesDlg fresh(back, nullptr, true);
        fresh.plainFormatBox()->click();
        QTest::mouseClick(fresh.okButton(), Qt::LeftButton);
        QVERIFY(fresh.selection().metaFormat());
        QVERIFY(!back.sharesWith(sel));
        QCOMPARE(sel.types(), std::vector<std::string>({"XYZ", "LOG", "MD"}));
        QCOMPARE(back.exceptions(), std::string("skip"));
        QCOMPARE(QList({back.includeSubfolders(), back.excludeTypes(), back.isListed("XYZ"),
                        back.isListed("TXT"), back.isListed("LOG")}),
                 QList({false, false, true, true, false}));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
