// The three views over histories written through the engine: what each shows for a range and
// how a selection in one reaches the others.
#include "ViewTestDoc.h"
#include "archive_gui/views/ChangeIcons.h"
#include "archive_gui/views/DirTreeModel.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListModel.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/VersListModel.h"
#include "archive_gui/views/VersListView.h"

#include "archive/support/tstamp.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>
#include <QTreeView>

#include <algorithm>
#include <ctime>
#include <numeric>

namespace {

using Tester = QAbstractItemModelTester;
constexpr auto QTEST = QAbstractItemModelTester::FailureReportingMode::QtTest;

// 2020-09-13 12:26:40 UTC; the tests run in UTC.
constexpr int64_t T1 = 1600000000, T2 = T1 + 1000, T3 = T1 + 2000;

// Column 0 of a model's rows under parent: "name:state", or the value of one role.
QStringList rows(const QAbstractItemModel* m, const QModelIndex& parent = {}) {
    QStringList out;
    for (int r = 0; r < m->rowCount(parent); ++r) {
        QModelIndex i = m->index(r, 0, parent);
        out << i.data().toString() + ":" + QString::number(i.data(views::StateRole).toInt());
    }
    return out;
}
QList<qint64> values(const QAbstractItemModel* m, int role) {
    QList<qint64> out;
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->index(r, 0).data(role).toLongLong();
    return out;
}
using O = views::Overlay;
constexpr qint64 CHANGED = qint64(O::Changed), SAME = qint64(O::Same);

// Selects rows of a list as one change.
void select(QAbstractItemView* list, std::initializer_list<int> rows) {
    QItemSelection rowSel;
    for (int r : rows)
        rowSel.select(list->model()->index(r, 0), list->model()->index(r, 0));
    list->selectionModel()->select(rowSel,
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// The three views on one document, connected in the frame's order, each model under a tester.
struct Panes {
    ViewTestDoc& doc;
    DirTreeView tree{doc};
    FileListView files{doc};
    VersListView versions{doc};
    Tester t1{tree.model(), QTEST}, t2{files.model(), QTEST}, t3{versions.model(), QTEST};
    int selectionHints = 0;

    explicit Panes(ViewTestDoc& d) : doc(d) {
        QObject::connect(&doc, &ViewDoc::viewsUpdated, [this](int hint, QObject*) {
            if (hint == HINT_SELECTION) ++selectionHints;
        });
        tree.initialUpdate();
    }

    QModelIndex folder(const std::vector<std::string>& names) const {
        return tree.model()->indexByNames(names);
    }
    void showFolder(const std::vector<std::string>& names) {
        tree.treeView()->selectionModel()->setCurrentIndex(folder(names),
                                                           QItemSelectionModel::ClearAndSelect);
    }
};

}  // namespace

class ViewsTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        qputenv("TZ", "UTC");
        tzset();
    }

    void currentAndPastRangesShowInEveryPane() {
        // a/x.txt, a/y.txt, b/z.txt and top.txt stored at T1; at T2 x.txt changed, c/new.txt came
        // and b went; at T3 top.txt is changed on disk and not yet saved.
        ViewTestDoc doc;
        for (const char* f : {"a/x.txt", "a/y.txt", "b/z.txt", "top.txt"})
            doc.put(f, f, T1 - 10);
        QVERIFY(doc.save(T1));
        doc.put("a/x.txt", "x2 longer", T2 - 10);
        doc.put("c/new.txt", "n", T2 - 10);
        doc.remove("b");
        QVERIFY(doc.save(T2));
        doc.put("top.txt", "t3", T3 - 10);
        doc.open(T3);
        Panes p(doc);
        QTreeView* tree = p.tree.treeView();
        auto* versions = p.versions.model();
        QAction* view = p.versions.viewVersionAction();

        // b, removed before the range, has no item; only the changed root is expanded and shown.
        QModelIndex top = p.tree.model()->index(0, 0);
        QCOMPARE(rows(p.tree.model()), QStringList({"work:2"}));
        QCOMPARE(rows(p.tree.model(), top), QStringList({"a:1", "c:1"}));
        QVERIFY(tree->isExpanded(top));
        QCOMPARE(rows(p.files.model()), QStringList({"top.txt:2"}));
        QCOMPARE(p.files.model()->index(0, FileListModel::SIZE).data(), QVariant("2 bytes"));
        QCOMPARE(values(p.files.model(), views::OverlayRole), QList<qint64>({CHANGED}));
        // Newest first: the pending transaction (red, in the range), then the stored ones.
        QCOMPARE(values(versions, views::TimeRole), QList<qint64>({T3, T2, T1}));
        QCOMPARE(values(versions, views::IconRole), QList<qint64>({2, 1, 1}));

        // A selected file: the archive follows, the version marks show where top.txt changed.
        select(p.files.listView(), {0});
        QCOMPARE(doc.archive().selectionMode(), SelMode::Files);
        QVERIFY(p.files.openFileAction()->isEnabled());
        QCOMPARE(tree->selectionModel()->selectedIndexes().value(0), top);
        QCOMPARE(values(versions, views::OverlayRole), QList<qint64>({CHANGED, SAME, CHANGED}));
        // A click on the folder still highlighted makes it the selection again.
        p.tree.show();
        QVERIFY(QTest::qWaitForWindowExposed(&p.tree));
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(top).center());
        QCOMPARE(doc.archive().selectedDir(), doc.archive().root());
        QCOMPARE(doc.archive().selectionMode(), SelMode::Folder);
        QVERIFY(!p.files.openFileAction()->isEnabled());
        // Another folder in the tree: the list refills without touching the archive's choice.
        p.showFolder({"work", "a"});
        QCOMPARE(doc.archive().selectionMode(), SelMode::Folder);
        QCOMPARE(rows(p.files.model()), QStringList({"x.txt:1", "y.txt:1"}));
        QCOMPARE(values(versions, views::OverlayRole), QList<qint64>({SAME, CHANGED, CHANGED}));
        QVERIFY(!p.files.openFileAction()->isEnabled());

        // Rows 0 and 2 are not one block; the range already shown is no new view.
        QTreeView* versionList = p.versions.listView();
        select(versionList, {0, 2});
        QVERIFY(!view->isEnabled());
        select(versionList, {0});
        QVERIFY(!view->isEnabled());

        // Only T2: b removed, a and x.txt changed, c added; top.txt's pending change is after it.
        select(versionList, {1});
        view->trigger();
        QCOMPARE(doc.archive().from(), T2);
        QVERIFY(!versionList->selectionModel()->hasSelection());
        QCOMPARE(values(versions, views::IconRole), QList<qint64>({0, 3, 1}));
        QCOMPARE(rows(p.tree.model(), top), QStringList({"a:2", "b:4", "c:3"}));
        QCOMPARE(p.folder({"work", "b"}).data(views::OverlayRole).toInt(), int(O::Removed));
        QCOMPARE(rows(p.files.model()), QStringList({"x.txt:2", "y.txt:1"}));
        p.showFolder({"work", "b"});  // a removed file cannot be opened
        QCOMPARE(rows(p.files.model()), QStringList({"z.txt:4"}));
        select(p.files.listView(), {0});
        QVERIFY(!p.files.openFileAction()->isEnabled());

        // b selected, then a range without it: the tree's selection goes before the item.
        select(versionList, {0});
        view->trigger();
        QVERIFY(!tree->selectionModel()->hasSelection());
        QVERIFY(!p.folder({"work", "b"}).isValid());
        QCOMPARE(doc.archive().selectionMode(), SelMode::None);
        QCOMPARE(p.files.model()->rowCount(), 0);
    }

    void fileRowSelectionsReachTheDocumentAndSurviveARefresh() {
        // After each key or click the document holds the selected rows' files, told once.
        ViewTestDoc doc;
        for (int i = 0; i < 40; ++i)
            doc.put("many/f" + std::to_string(1000 + i) + ".dat", std::to_string(i), T1 - 10);
        doc.put("other/o.txt", "o", T1 - 10);
        QVERIFY(doc.save(T1));
        doc.open(T2);
        Panes p(doc);
        p.tree.treeView()->expand(p.folder({"work", "other"}));
        p.showFolder({"work", "many"});
        QTreeView* list = p.files.listView();
        p.files.resize(400, 900);
        p.files.show();
        QVERIFY(QTest::qWaitForWindowExposed(&p.files));
        Tresmo& a = doc.archive();
        auto rowsOf = [&](bool document) {
            QList<int> rows;
            if (document && a.selectionMode() == SelMode::Files)
                for (Node* n = a.selectedDir()->firstChild; n; n = n->next)
                    if (n->flags & Node::SELECTED) rows << n->listRow - 1;
            if (!document)
                for (const QModelIndex& i : list->selectionModel()->selectedRows())
                    rows << i.row();
            std::sort(rows.begin(), rows.end());
            return rows;
        };
        QList<int> all(40);
        std::iota(all.begin(), all.end(), 0);
        const auto ctrl = Qt::ControlModifier, shift = Qt::ShiftModifier;
        // A click on row, or key; the range from the last Ctrl+click (6) replaces that row.
        const struct {
            int row;
            Qt::KeyboardModifiers mods;
            QList<int> rows;
            Qt::Key key = Qt::Key(0);
        } steps[] = {{3, {}, {3}},
                     {6, ctrl, {3, 6}},
                     {9, ctrl, {3, 6, 9}},
                     {6, ctrl, {3, 9}},
                     {12, shift, {3, 6, 7, 8, 9, 10, 11, 12}},
                     {0, shift, {3, 6, 7, 8, 9, 10, 11, 12, 13}, Qt::Key_Down},
                     {0, ctrl, all, Qt::Key_A}};
        for (const auto& s : steps) {
            int hints = p.selectionHints;
            if (s.key)
                QTest::keyClick(list, s.key, s.mods);
            else
                QTest::mouseClick(list->viewport(), Qt::LeftButton, s.mods,
                                  list->visualRect(list->model()->index(s.row, 0)).center());
            QCOMPARE(p.selectionHints, hints + 1);
            QCOMPARE(rowsOf(false), s.rows);
            QCOMPARE(rowsOf(true), s.rows);
        }

        // The filter keeps ten of the forty selected files; clearing it adds no notification.
        int hints = p.selectionHints;
        p.files.filterBox()->setText("F101");
        QCOMPARE(p.selectionHints, hints + 1);
        QCOMPARE(rowsOf(false), QList<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        QCOMPARE(a.selectionCount(), 10);
        p.files.filterBox()->clear();
        QCOMPARE(p.selectionHints, hints + 1);
        QCOMPARE(rowsOf(false), QList<int>({10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
        QCOMPARE(rowsOf(true), rowsOf(false));

        // A refresh keeps folder, expansion and selection; a removed file stays listed.
        doc.remove("many/f1005.dat");
        doc.put("many/f1010a.dat", "new", T2 + 5);
        doc.reload(T2 + 100);
        QCOMPARE(p.tree.treeView()->currentIndex().data().toString(), QString("many"));
        QVERIFY(p.tree.treeView()->isExpanded(p.folder({"work", "other"})));
        QCOMPARE(rows(p.files.model()).mid(4, 8).join(' '),
                 QString("f1004.dat:1 f1005.dat:4 f1006.dat:1 f1007.dat:1 f1008.dat:1 f1009.dat:1 "
                         "f1010.dat:1 f1010a.dat:3"));
        QCOMPARE(rowsOf(false), QList<int>({10, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
        QCOMPARE(rowsOf(true), rowsOf(false));
    }

    void versionLabelsAreCompact() {
        // Saturday 2020-09-19 12:00 UTC is now; the week holds Wednesday and Thursday.
        constexpr int64_t DAY = 86400;
        constexpr int64_t SAT = 1600473600;  // 2020-09-19 00:00 UTC
        const int64_t times[] = {
            SAT - 49 * DAY + 3600,    SAT - 3 * DAY + 9 * 3600,      SAT - 3 * DAY + 17 * 3600,
            SAT - 2 * DAY + 8 * 3600, SAT + 10 * 3600 + 15 * 60 + 2, SAT + 10 * 3600 + 15 * 60 + 40,
            SAT + 11 * 3600};
        ViewTestDoc doc;
        for (int64_t t : times) {
            doc.put("f.txt", std::to_string(t), t - 1);
            QVERIFY(doc.save(t));
        }
        doc.open(SAT + 12 * 3600);
        Panes p(doc);
        QList<int> opts;
        for (int r = 0; r < 7; ++r)
            opts << p.versions.model()->labelOptions(r);
        const int T = TIME_ONLY, N = NO_SECONDS, D = DATE_ONLY, W = WEEKDAY_NAME;
        QCOMPARE(opts, QList<int>({T | N, T, T, W | D | N, W | N, W | N, D | N}));
        // The file list's times take the same form: a date as row 6 shows it, a time as row 1.
        auto form = [](QString s) { return s.replace(QRegularExpression("\\d"), "9"); };
        auto text = [](const QAbstractItemModel* m, int row, int col = 0) {
            return m->index(row, col).data().toString();
        };
        QCOMPARE(form(text(p.files.model(), 0, FileListModel::MODIFIED)),
                 form(text(p.versions.model(), 6) + " " + text(p.versions.model(), 1)));
    }
};

QTEST_MAIN(ViewsTest)
#include "views_test.moc"
