#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "gui_test_util.h"

#include "archive/objects/FileSel.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>

namespace {

// Each row as "type count size", in list order.
QStringList rows(const SelectFilesDlg& dlg) {
    QStringList out;
    for (int i = 0; i < dlg.typeList()->topLevelItemCount(); ++i) {
        QTreeWidgetItem* r = dlg.typeList()->topLevelItem(i);
        out << QString("%1 %2 %3").arg(r->text(0), r->text(1), r->text(2));
    }
    return out;
}

QTreeWidgetItem* row(const SelectFilesDlg& dlg, const std::string& type) {
    for (int i = 0; i < dlg.typeList()->topLevelItemCount(); ++i)
        if (SelectFilesDlg::typeOf(dlg.typeList()->topLevelItem(i)) == type)
            return dlg.typeList()->topLevelItem(i);
    return nullptr;
}

// A watched folder: a.txt 1 byte, b.TXT 1024, c.log 1025, README 10, sub/d.txt 5, skip/e.dat 7.
std::string makeFolder(const TempStore& store) {
    store.write("w/a.txt", 1);
    store.write("w/b.TXT", 1024);
    store.write("w/c.log", 1025);
    store.write("w/README", 10);
    store.write("w/sub/d.txt", 5);
    store.write("w/skip/e.dat", 7);
    return store.path("w");
}

}  // namespace

class SelectFilesDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void scanListsEveryTypeWithCountAndSize() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        SelectFilesDlg dlg(sel);
        dlg.show();
        QCOMPARE(dlg.folderField()->text(), QString::fromStdString(sel.folder()));
        QVERIFY(dlg.subfoldersBox()->isChecked());
        QVERIFY(dlg.excludeButton()->isChecked());
        // Sizes round up to whole kilobytes: 1 byte and 1024 bytes are 1, 1025 bytes are 2.
        QCOMPARE(rows(dlg), QStringList({" 1 1", "DAT 1 1", "LOG 1 2", "TXT 3 2"}));

        dlg.exceptionsField()->setText("sub, skip");
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rows(dlg), QStringList({" 1 1", "LOG 1 2", "TXT 2 2"}));
        dlg.subfoldersBox()->click();
        QVERIFY(!dlg.exceptionsField()->isEnabled());
        QCOMPARE(dlg.exceptionsField()->text(), QString("sub, skip"));
    }

    void okWithoutChangeHandsBackTheSameSelection() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        sel.setListed("LOG", true);
        SelectFilesDlg dlg(sel);
        dlg.show();
        QCOMPARE(row(dlg, "LOG")->checkState(0), Qt::Checked);
        QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));
        QVERIFY(dlg.selection().sharesWith(sel));
    }

    void okAdoptsTheFieldsAndTheyAreStoredAndReadBack() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        sel.setListed("XYZ", true);  // no such files: not shown, stays listed
        sel.setListed("DAT", true);
        SelectFilesDlg dlg(sel);
        dlg.show();
        QVERIFY(!row(dlg, "XYZ"));
        row(dlg, "TXT")->setCheckState(0, Qt::Checked);
        row(dlg, "DAT")->setCheckState(0, Qt::Unchecked);
        dlg.includeButton()->click();
        dlg.exceptionsField()->setText("skip");
        dlg.subfoldersBox()->click();
        QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
        QCOMPARE(dlg.result(), int(QDialog::Accepted));

        FileSel adopted = dlg.selection();
        QVERIFY(!adopted.sharesWith(sel));
        QCOMPARE(sel.types(), std::vector<std::string>({"XYZ", "DAT"}));
        adopted.setFile(store.path("doc.sel"));
        QVERIFY(adopted.write());
        FileSel back;
        back.setFile(store.path("doc.sel"));
        QVERIFY(back.read());
        QCOMPARE(back.folder(), sel.folder());
        QVERIFY(!back.includeSubfolders());
        QCOMPARE(back.exceptions(), std::string("skip"));
        QVERIFY(!back.excludeTypes());
        QVERIFY(back.isListed("XYZ"));
        QVERIFY(back.isListed("TXT"));
        QVERIFY(!back.isListed("DAT"));
    }

    void checkBoxesSurviveAnUpdateAndNewTypesTakeTheSelection() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        sel.setListed("MD", true);
        SelectFilesDlg dlg(sel);
        dlg.show();
        row(dlg, "TXT")->setCheckState(0, Qt::Checked);
        store.write("w/notes.md", 3);
        store.write("w/tool.sh", 3);
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(rows(dlg),
                 QStringList({" 1 1", "DAT 1 1", "LOG 1 2", "MD 1 1", "SH 1 1", "TXT 3 2"}));
        QCOMPARE(row(dlg, "TXT")->checkState(0), Qt::Checked);
        QCOMPARE(row(dlg, "MD")->checkState(0), Qt::Checked);
        QCOMPARE(row(dlg, "SH")->checkState(0), Qt::Unchecked);
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(dlg.typeList()));
    }

    void unusableFieldsEmptyTheListAndRefuseOk_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("exceptions");
        QTest::addColumn<int>("field");  // 0 folder, 1 exceptions
        QTest::newRow("missing folder") << "/no/such/folder"
                                        << "" << 0;
        QTest::newRow("root") << "/"
                              << "" << 0;
        QTest::newRow("relative folder") << "w"
                                         << "" << 0;
        QTest::newRow("exceptions of 99") << "" << QString(99, 'x') << 1;
    }

    void unusableFieldsEmptyTheListAndRefuseOk() {
        QFETCH(QString, folder);
        QFETCH(QString, exceptions);
        QFETCH(int, field);
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        SelectFilesDlg dlg(sel);
        dlg.show();
        QVERIFY(dlg.typeList()->topLevelItemCount() > 0);
        if (!folder.isEmpty()) dlg.folderField()->setText(folder);
        dlg.exceptionsField()->setText(exceptions);
        QTest::mouseClick(dlg.updateButton(), Qt::LeftButton);
        QCOMPARE(dlg.typeList()->topLevelItemCount(), 0);

        std::shared_ptr<BoxSeen> box = answerNextBox();
        QTest::mouseClick(dlg.okButton(), Qt::LeftButton);
        QVERIFY(box->shown);
        QCOMPARE(box->text, QString("Invalid input"));
        QCOMPARE(box->icon, QMessageBox::Critical);
        QVERIFY(dlg.isVisible());
        QLineEdit* fields[] = {dlg.folderField(), dlg.exceptionsField()};
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(fields[field]));
        QCOMPARE(fields[field]->selectedText(), fields[field]->text());
    }

    void aSelectionWhoseFolderIsGoneOpensEmpty() {
        FileSel sel;
        sel.setFolder("/no/such/folder");
        SelectFilesDlg dlg(sel);
        QCOMPARE(dlg.typeList()->topLevelItemCount(), 0);
        QCOMPARE(dlg.folderField()->text(), QString("/no/such/folder"));
    }

    void aCancelledScanKeepsTheListAndTheDialog() {
        TempStore store;
        FileSel sel;
        sel.setFolder(makeFolder(store));
        SelectFilesDlg dlg(sel);
        dlg.show();
        QStringList before = rows(dlg);
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
        QCOMPARE(rows(dlg), before);
        QVERIFY(dlg.isVisible());
        QVERIFY(!dlg.findChild<QProgressDialog*>());

        // The next scan runs to its end.
        QVERIFY(dlg.updateList());
        QCOMPARE(row(dlg, "NEW")->text(1), QString("200"));
    }

    void browseSetsTheFolderAndRescans() {
        TempStore store;
        std::string folder = makeFolder(store);
        store.write("other/x.pdf", 2048);
        FileSel sel;
        sel.setFolder(folder);
        SelectFilesDlg dlg(sel);
        dlg.show();
        QString startedAt;
        whenModal<QFileDialog>([&](QFileDialog* picker) {
            startedAt = picker->directory().absolutePath();
            picker->selectFile(QString::fromStdString(store.path("other")));
            static_cast<QDialog*>(picker)->accept();
        });
        QTest::mouseClick(dlg.browseButton(), Qt::LeftButton);
        QCOMPARE(startedAt, QString::fromStdString(folder));
        QCOMPARE(dlg.folderField()->text(), QString::fromStdString(store.path("other")));
        QCOMPARE(rows(dlg), QStringList({"PDF 1 2"}));
    }
};

QTEST_MAIN(SelectFilesDialogTest)
#include "select_files_dialog_test.moc"
