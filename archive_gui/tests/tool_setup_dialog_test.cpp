#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/util/FileBrowsers.h"
#include "archive_gui/util/UiStrings.h"
#include "gui_test_util.h"

#include "archive/objects/ToolConfig.h"
#include "archive/support/cfg.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

namespace {

void fill(ToolSetupDlg& dlg, const std::string& program, const QString& options,
          const QString& extList) {
    dlg.programField()->setText(QString::fromStdString(program));
    dlg.optionsField()->setText(options);
    dlg.extListField()->setText(extList);
}

QStringList rowTexts(const QTreeWidget* list, int row) {
    const QTreeWidgetItem* item = list->topLevelItem(row);
    return {item->text(0), item->text(1), item->text(2)};
}

void selectRow(QTreeWidget* list, int row) {
    QRect r = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
}

}  // namespace

class ToolSetupDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void entriesAreAddedLoadedUpdatedAndDeleted() {
        TempStore store;
        std::string viewer = store.write("bin/viewer", 1);
        std::string editor = store.write("bin/editor", 1);
        ToolConfig config("TestViewers");
        ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Viewer Setup"));
        QCOMPARE(dlg.list()->topLevelItemCount(), 0);
        QVERIFY(!dlg.updateButton()->isEnabled());
        QVERIFY(!dlg.deleteButton()->isEnabled());

        fill(dlg, viewer, "-r %1", "txt, log");
        QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
        fill(dlg, editor, "", "c,H");
        QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
        QCOMPARE(dlg.list()->topLevelItemCount(), 2);
        QCOMPARE(rowTexts(dlg.list(), 0), QStringList({"viewer", "-r %1", "txt, log"}));
        QCOMPARE(rowTexts(dlg.list(), 1), QStringList({"editor", "", "c,H"}));
        QCOMPARE(dlg.loadedRow(), 1);
        QVERIFY(dlg.updateButton()->isEnabled());
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(dlg.programField()));
        QCOMPARE(dlg.programField()->selectedText(), QString::fromStdString(editor));

        // Choosing another row leaves it unloaded until Enter.
        selectRow(dlg.list(), 0);
        QVERIFY(!dlg.updateButton()->isEnabled());
        QVERIFY(dlg.deleteButton()->isEnabled());
        QTest::keyClick(dlg.list(), Qt::Key_Return);
        QCOMPARE(dlg.loadedRow(), 0);
        QVERIFY(dlg.updateButton()->isEnabled());
        QCOMPARE(dlg.programField()->text(), QString::fromStdString(viewer));
        QCOMPARE(dlg.optionsField()->text(), QString("-r %1"));
        QCOMPARE(dlg.extListField()->text(), QString("txt, log"));

        // Its own extensions do not count as taken when the entry itself is updated.
        dlg.optionsField()->setText("-x %1");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rowTexts(dlg.list(), 0), QStringList({"viewer", "-x %1", "txt, log"}));

        ToolConfig stored("TestViewers");
        QCOMPARE(stored.count(), 2);
        QCOMPARE(stored.options(0), std::string("-x %1"));
        QCOMPARE(stored.program(1), editor);
        QCOMPARE(stored.extList(1), std::string("c,H"));

        selectRow(dlg.list(), 0);
        QTest::mouseClick(dlg.deleteButton(), Qt::LeftButton);
        QCOMPARE(dlg.list()->topLevelItemCount(), 1);
        QCOMPARE(rowTexts(dlg.list(), 0), QStringList({"editor", "", "c,H"}));
        QVERIFY(!dlg.updateButton()->isEnabled());
        ToolConfig afterDelete("TestViewers");
        QCOMPARE(afterDelete.count(), 1);
        QCOMPARE(afterDelete.program(0), editor);
    }

    void storedEntriesAreListedAndDoubleClickLoadsOne() {
        TempStore store;
        std::string tool = store.write("meld", 1);
        ToolConfig config("TestDiffs");
        config.add(tool, "%1 %2", "cpp,h");
        config.add(tool, "-b %1 %2", "txt");
        ToolConfig reread("TestDiffs");
        ToolSetupDlg dlg(IDS_DIFF_TOOL_SETUP, reread);
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Diff Tool Setup"));
        QCOMPARE(rowTexts(dlg.list(), 1), QStringList({"meld", "-b %1 %2", "txt"}));
        QCOMPARE(dlg.list()->headerItem()->text(2), QString("Ext List"));

        QRect r = dlg.list()->visualItemRect(dlg.list()->topLevelItem(1));
        QTest::mouseClick(dlg.list()->viewport(), Qt::LeftButton, {}, r.center());
        QTest::mouseDClick(dlg.list()->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(dlg.loadedRow(), 1);
        QCOMPARE(dlg.optionsField()->text(), QString("-b %1 %2"));
    }

    void invalidFieldsAreRefusedAndNothingIsStored_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("extList");
        QTest::addColumn<int>("field");  // 0 program, 1 options, 2 extension list
        QTest::newRow("extension of another entry, other case") << ""
                                                                << ""
                                                                << "TXT" << 2;
        QTest::newRow("extension list syntax") << ""
                                               << ""
                                               << "c;h" << 2;
        QTest::newRow("empty extension list") << ""
                                              << ""
                                              << "" << 2;
        QStringList many;  // 25 valid extensions of three letters: 99 characters
        for (int i = 0; i < 25; ++i)
            many << QString("b%1").arg(i, 2, 10, QChar('0'));
        QTest::newRow("extension list of 99") << ""
                                              << "" << many.join(',') << 2;
        QTest::newRow("missing program") << "/no/such/tool"
                                         << ""
                                         << "c" << 0;
        QTest::newRow("relative program") << "bin/tool"
                                          << ""
                                          << "c" << 0;
        QTest::newRow("existing program of 99") << "long"
                                                << ""
                                                << "c" << 0;
        QTest::newRow("options of 99") << "" << QString(99, 'o') << "c" << 1;
    }

    void invalidFieldsAreRefusedAndNothingIsStored() {
        QFETCH(QString, program);
        QFETCH(QString, options);
        QFETCH(QString, extList);
        QFETCH(int, field);
        TempStore store;
        std::string tool = store.write("tool", 1);
        ToolConfig config("TestViewers");
        config.add(tool, "", "txt");
        ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
        dlg.show();
        if (program == "long") {
            std::string base = store.path() + "/";
            program = QString::fromStdString(
                store.write(QString(99 - static_cast<int>(base.size()), 'p'), 1));
            QCOMPARE(program.size(), 99);
        }
        fill(dlg, program.isEmpty() ? tool : program.toStdString(), options, extList);

        std::shared_ptr<BoxSeen> box = answerNextBox();
        QTest::mouseClick(dlg.addButton(), Qt::LeftButton);
        QVERIFY(box->shown);
        QCOMPARE(box->text, QString("Invalid input"));
        QCOMPARE(box->title, QString());
        QCOMPARE(box->icon, QMessageBox::Critical);
        QLineEdit* fields[] = {dlg.programField(), dlg.optionsField(), dlg.extListField()};
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(fields[field]));
        QCOMPARE(fields[field]->selectedText(), fields[field]->text());
        QCOMPARE(dlg.list()->topLevelItemCount(), 1);
        QCOMPARE(ToolConfig("TestViewers").count(), 1);
    }

    void enterNeverClosesButEscapeDoes() {
        TempStore store;
        ToolConfig config("TestViewers");
        ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
        dlg.show();
        fill(dlg, store.write("tool", 1), "", "c");
        QTest::keyClick(dlg.programField(), Qt::Key_Return);
        QTest::keyClick(dlg.extListField(), Qt::Key_Enter);
        QVERIFY(dlg.isVisible());
        QCOMPARE(config.count(), 0);
        QTest::keyClick(dlg.programField(), Qt::Key_Escape);
        QVERIFY(!dlg.isVisible());
    }

    void browseButtonPutsTheChosenFileIntoTheProgramField() {
        TempStore store;
        std::string tool = store.write("tools/view", 1);
        ToolConfig config("TestViewers");
        ToolSetupDlg dlg(IDS_VIEWER_SETUP, config);
        dlg.show();
        dlg.programField()->setText(QString::fromStdString(store.path("tools")));
        QString title, filter;
        whenModal<QFileDialog>([&](QFileDialog* picker) {
            title = picker->windowTitle();
            filter = picker->selectedNameFilter();
            picker->selectFile(QString::fromStdString(tool));
            static_cast<QDialog*>(picker)->accept();
        });
        QTest::mouseClick(dlg.browseButton(), Qt::LeftButton);
        QCOMPARE(title, QString("Browse for File"));
        QCOMPARE(filter, QString("All Files (*)"));
        QCOMPARE(dlg.programField()->text(), QString::fromStdString(tool));
        QCOMPARE(dlg.programField()->selectedText(), QString::fromStdString(tool));
    }

    void fileFilterPairsBecomeDialogFilters() {
        QCOMPARE(FileBrowser::dialogFilter("All Files (*.*)\n*.*\n"), QString("All Files (*)"));
        QCOMPARE(FileBrowser::dialogFilter("Programs\n*.sh\nAll Files (*.*)\n*.*\n"),
                 QString("Programs (*.sh);;All Files (*)"));
    }

    void folderBrowserStartsAtTheFolderChosenLastTime() {
        TempStore store;
        store.write("first/x", 1);
        store.write("second/x", 1);
        QString first = QString::fromStdString(store.path("first"));
        QString startedAt;
        whenModal<QFileDialog>([&](QFileDialog* picker) {
            picker->selectFile(first);
            static_cast<QDialog*>(picker)->accept();
        });
        FolderBrowser browser(nullptr, nullptr, "Test.exportDir");
        QVERIFY(browser.browseFolder());
        QCOMPARE(QString(browser.chosen()), first);

        // A new browser (a new run of the program) reads the remembered folder.
        whenModal<QFileDialog>([&](QFileDialog* picker) {
            startedAt = picker->directory().absolutePath();
            picker->reject();
        });
        FolderBrowser again(nullptr, nullptr, "Test.exportDir");
        QVERIFY(!again.browseFolder());
        QCOMPARE(startedAt, first);
        char value[MAX_PATH];
        QVERIFY(readRegString("Test.exportDir", value, sizeof value));
        QCOMPARE(QString(value), first);
    }
};

QTEST_MAIN(ToolSetupDialogTest)
#include "tool_setup_dialog_test.moc"
