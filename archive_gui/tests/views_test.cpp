// The three views over histories written through the engine: what each shows for a range,
// row by row, and how a selection in one reaches the others through the document.
#include "ViewTestDoc.h"
#include "archive_gui/views/ChangeIcons.h"
#include "archive_gui/views/DirTreeModel.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListModel.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/RowSelectionModel.h"
#include "archive_gui/views/VersListModel.h"
#include "archive_gui/views/VersListView.h"

#include "archive/support/tstamp.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QHeaderView>
#include <QLineEdit>
#include <QTest>
#include <QTreeView>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>

namespace {

using Tester = QAbstractItemModelTester;
constexpr auto QTEST = QAbstractItemModelTester::FailureReportingMode::QtTest;

// 2020-09-13 12:26:40 UTC; the tests run in UTC.
constexpr int64_t T1 = 1600000000;
constexpr int64_t T2 = T1 + 1000;
constexpr int64_t T3 = T1 + 2000;

// The three views on one document, connected in the frame's order, each model under a tester.
struct Panes {
    ViewTestDoc& doc;
    DirTreeView tree{doc};
    FileListView files{doc};
    VersListView versions{doc};
    Tester t1{tree.model(), QTEST};
    Tester t2{files.model(), QTEST};
    Tester t3{versions.model(), QTEST};
    int selectionHints = 0;

    explicit Panes(ViewTestDoc& d) : doc(d) {
        QObject::connect(&doc, &ViewDoc::viewsUpdated, [this](int hint, QObject*) {
            if (hint == HINT_SELECTION) ++selectionHints;
        });
    }

    QTreeView* treeView() const { return tree.treeView(); }
    QModelIndex folder(const std::vector<std::string>& names) const {
        return tree.model()->indexByNames(names);
    }
    // The names of the file rows with their state, as "name:state".
    QStringList fileRows() const {
        QStringList out;
        auto* m = files.model();
        for (int r = 0; r < m->rowCount(); ++r) {
            QModelIndex i = m->index(r, 0);
            out << i.data().toString() + ":" + QString::number(i.data(views::StateRole).toInt());
        }
        return out;
    }
    // The shown child folders of index with their state.
    QStringList folderRows(const QModelIndex& parent) const {
        QStringList out;
        auto* m = tree.model();
        for (int r = 0; r < m->rowCount(parent); ++r) {
            QModelIndex i = m->index(r, 0, parent);
            out << i.data().toString() + ":" + QString::number(i.data(views::StateRole).toInt());
        }
        return out;
    }
    int versionRow(int64_t time) const {
        auto* m = versions.model();
        for (int r = 0; r < m->rowCount(); ++r)
            if (m->index(r, 0).data(views::TimeRole).toLongLong() == time) return r;
        return -1;
    }
    QList<int> overlays() const {
        QList<int> out;
        auto* m = versions.model();
        for (int r = 0; r < m->rowCount(); ++r)
            out << m->index(r, 0).data(views::OverlayRole).toInt();
        return out;
    }
    void selectVersions(int first, int last) {
        auto* m = versions.model();
        versions.listView()->selectionModel()->select(
            QItemSelection(m->index(first, 0), m->index(last, 0)),
            QItemSelectionModel::ClearAndSelect);
    }
    void selectFiles(std::initializer_list<int> rows) {
        auto* sm = files.listView()->selectionModel();
        sm->clearSelection();
        for (int r : rows)
            sm->select(files.model()->index(r, 0),
                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
};

// a/x.txt, a/y.txt, b/z.txt and top.txt stored at T1; at T2 x.txt changed, c/new.txt came and
// b went; at T3 top.txt is changed on disk and not yet saved.
void writeHistory(ViewTestDoc& doc) {
    doc.put("a/x.txt", "x1", T1 - 10);
    doc.put("a/y.txt", "y1", T1 - 10);
    doc.put("b/z.txt", "z1", T1 - 10);
    doc.put("top.txt", "t1", T1 - 10);
    QVERIFY(doc.save(T1));
    doc.put("a/x.txt", "x2 longer", T2 - 10);
    doc.put("c/new.txt", "n", T2 - 10);
    doc.remove("b");
    QVERIFY(doc.save(T2));
    doc.put("top.txt", "t3", T3 - 10);
}

}  // namespace

class ViewsTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        qputenv("TZ", "UTC");
        tzset();
    }

    void currentRangeShowsPresentFoldersAndExpandsChangedOnes() {
        ViewTestDoc doc;
        writeHistory(doc);
        doc.open(T3);
        Panes p(doc);
        p.tree.initialUpdate();

        // b was removed before the range: it has no item. Only the root changed (top.txt).
        QModelIndex top = p.tree.model()->index(0, 0);
        QCOMPARE(top.data().toString(), QString("work"));
        QCOMPARE(top.data(views::StateRole).toInt(), int(NodeState::Modified));
        QCOMPARE(p.folderRows(top), QStringList({"a:1", "c:1"}));
        QVERIFY(p.treeView()->isExpanded(top));
        QVERIFY(!p.treeView()->isExpanded(p.folder({"work", "a"})));
        // The top item is selected and the file list shows its files.
        QCOMPARE(doc.archive().selectedDir(), doc.archive().root());
        QCOMPARE(p.fileRows(), QStringList({"top.txt:2"}));
        QCOMPARE(p.files.model()->index(0, 0).data(views::OverlayRole).toInt(),
                 int(views::Overlay::Changed));
        // Newest first: the pending transaction (red, in the range), then the stored ones.
        QCOMPARE(p.versions.model()->rowCount(), 3);
        QCOMPARE(p.versionRow(T3), 0);
        QCOMPARE(p.versionRow(T1), 2);
        QCOMPARE(p.versions.model()->index(0, 0).data(views::IconRole).toInt(), 2);
        QCOMPARE(p.versions.model()->index(1, 0).data(views::IconRole).toInt(), 1);

        // A file selected in the list: the archive follows, the tree does not move, and the
        // version marks show where top.txt existed and changed.
        p.selectFiles({0});
        QCOMPARE(doc.archive().selectionMode(), 2);
        QVERIFY(p.files.openFileAction()->isEnabled());
        QVERIFY(p.files.showDiffAction()->isEnabled());
        QCOMPARE(p.treeView()->selectionModel()->selectedIndexes().value(0), top);
        using O = views::Overlay;
        QCOMPARE(p.overlays(), QList<int>({int(O::Changed), int(O::Same), int(O::Changed)}));

        // Another folder in the tree: the list refills without touching the archive's choice.
        int hints = p.selectionHints;
        p.treeView()->selectionModel()->setCurrentIndex(p.folder({"work", "a"}),
                                                        QItemSelectionModel::ClearAndSelect);
        QCOMPARE(p.selectionHints, hints + 1);
        QCOMPARE(doc.archive().selectionMode(), 1);
        QCOMPARE(p.fileRows(), QStringList({"x.txt:1", "y.txt:1"}));
        QCOMPARE(p.overlays(), QList<int>({int(O::Same), int(O::Changed), int(O::Changed)}));
        QVERIFY(!p.files.openFileAction()->isEnabled());
    }

    void viewVersionShowsThePastRangeInEveryPane() {
        ViewTestDoc doc;
        writeHistory(doc);
        doc.open(T3);
        Panes p(doc);
        p.tree.initialUpdate();
        QAction* view = p.versions.viewVersionAction();

        // Rows 0 and 2 are not one block; the current range itself changes nothing.
        auto* sm = p.versions.listView()->selectionModel();
        sm->select(p.versions.model()->index(0, 0), QItemSelectionModel::ClearAndSelect);
        sm->select(p.versions.model()->index(2, 0), QItemSelectionModel::Select);
        QVERIFY(!view->isEnabled());
        p.selectVersions(0, 0);
        QVERIFY(!view->isEnabled());

        // Only T2: b was removed in it, a changed in it, c was added.
        p.selectVersions(1, 1);
        QVERIFY(view->isEnabled());
        view->trigger();
        QCOMPARE(doc.archive().from(), T2);
        QCOMPARE(doc.archive().to(), T2);
        QVERIFY(!sm->hasSelection());
        QCOMPARE(p.versions.model()->index(1, 0).data(views::IconRole).toInt(), 3);
        QCOMPARE(p.versions.model()->index(0, 0).data(views::IconRole).toInt(), 0);
        QModelIndex top = p.tree.model()->index(0, 0);
        QCOMPARE(p.folderRows(top), QStringList({"a:2", "b:4", "c:3"}));
        QModelIndex b = p.folder({"work", "b"});
        QCOMPARE(b.data(views::IconRole).toInt(), 0);
        QCOMPARE(b.data(views::OverlayRole).toInt(), int(views::Overlay::Removed));
        // The pending change of top.txt lies after the range: the root's files are unchanged.
        QCOMPARE(p.fileRows(), QStringList({"top.txt:1"}));

        // The removed folder's file is listed greyed; it cannot be opened.
        p.treeView()->selectionModel()->setCurrentIndex(b, QItemSelectionModel::ClearAndSelect);
        QCOMPARE(p.fileRows(), QStringList({"z.txt:4"}));
        p.selectFiles({0});
        QVERIFY(!p.files.openFileAction()->isEnabled());
        QVERIFY(!p.files.showDiffAction()->isEnabled());
        p.treeView()->selectionModel()->setCurrentIndex(p.folder({"work", "a"}),
                                                        QItemSelectionModel::ClearAndSelect);
        p.selectFiles({0});  // x.txt, modified in T2
        QVERIFY(p.files.showDiffAction()->isEnabled());

        // Back to the Current range through a block that ends at now: b's item goes, and the
        // selected folder a stays selected because it is still shown.
        p.selectVersions(0, 0);
        QVERIFY(view->isEnabled());
        view->trigger();
        QCOMPARE(p.folderRows(top), QStringList({"a:1", "c:1"}));
        QCOMPARE(doc.archive().selectionMode(), 2);
        QCOMPARE(p.fileRows(), QStringList({"x.txt:1", "y.txt:1"}));

        // A range that ends before the folder b existed at all: selecting it, then a range
        // where it is gone clears the tree's selection before the item goes.
        p.selectVersions(1, 2);
        view->trigger();
        p.treeView()->selectionModel()->setCurrentIndex(p.folder({"work", "b"}),
                                                        QItemSelectionModel::ClearAndSelect);
        QCOMPARE(doc.archive().selectedDir(), p.tree.model()->nodeOf(p.folder({"work", "b"})));
        p.selectVersions(0, 0);
        view->trigger();
        QVERIFY(!p.treeView()->selectionModel()->hasSelection());
        QVERIFY(!p.folder({"work", "b"}).isValid());
        QCOMPARE(doc.archive().selectionMode(), 0);
        QCOMPARE(p.files.model()->rowCount(), 0);
    }

    void refreshKeepsSelectionAndManyRowsNotifyOnce() {
        ViewTestDoc doc;
        for (int i = 0; i < 300; ++i)
            doc.put("many/f" + std::to_string(1000 + i) + ".dat", std::to_string(i), T1 - 10);
        doc.put("other/o.txt", "o", T1 - 10);
        QVERIFY(doc.save(T1));
        doc.open(T2);
        Panes p(doc);
        p.tree.initialUpdate();
        QModelIndex many = p.folder({"work", "many"});
        p.treeView()->expand(p.folder({"work", "other"}));
        p.treeView()->selectionModel()->setCurrentIndex(many, QItemSelectionModel::ClearAndSelect);
        QCOMPARE(p.files.model()->rowCount(), 300);

        int hints = p.selectionHints;
        p.files.listView()->setFocus();
        p.files.listView()->selectAll();
        QCOMPARE(p.selectionHints, hints + 1);
        QCOMPARE(doc.archive().selectionCount(), 300);
        QCOMPARE(doc.archive().selectionStats().files, 300);

        // Rows 10 and 12 selected, one file gone on disk and one new before the refresh.
        p.selectFiles({10, 12});
        doc.remove("many/f1011.dat");
        doc.put("many/f1011a.dat", "new", T2 + 5);
        doc.reload(T2 + 100);
        QCOMPARE(p.tree.model()->nodeOf(p.treeView()->currentIndex())->name, std::string("many"));
        QVERIFY(p.treeView()->isExpanded(p.folder({"work", "other"})));
        QCOMPARE(p.files.model()->rowCount(), 301);  // the removed file is still shown
        QCOMPARE(doc.archive().selectionCount(), 2);
        QModelIndexList rows = p.files.listView()->selectionModel()->selectedRows();
        QCOMPARE(rows.size(), 2);
        std::sort(rows.begin(), rows.end());
        QCOMPARE(rows[0].data().toString(), QString("f1010.dat"));
        QCOMPARE(rows[1].data().toString(), QString("f1012.dat"));
        QCOMPARE(p.files.model()->index(11, 0).data(views::StateRole).toInt(),
                 int(NodeState::Removed));
        QCOMPARE(p.files.model()->index(12, 0).data(views::StateRole).toInt(),
                 int(NodeState::Added));

        // The filter hides f1012.dat: it leaves the selection, with one notification.
        hints = p.selectionHints;
        p.files.filterBox()->setText("f1010");
        QCOMPARE(p.files.model()->rowCount(), 1);
        QCOMPARE(doc.archive().selectionCount(), 1);
        QCOMPARE(p.selectionHints, hints + 1);
        p.files.filterBox()->clear();
        QCOMPARE(p.files.model()->rowCount(), 301);

        // Header clicks: name descending after ascending, then the archive's order again.
        QHeaderView* h = p.files.listView()->header();
        emit h->sectionClicked(FileListModel::NAME);
        emit h->sectionClicked(FileListModel::NAME);
        QCOMPARE(p.files.model()->index(0, 0).data().toString(), QString("f1299.dat"));
        emit h->sectionClicked(FileListModel::NAME);
        QCOMPARE(p.files.model()->index(0, 0).data().toString(), QString("f1000.dat"));
        emit h->sectionClicked(FileListModel::SIZE);
        QCOMPARE(p.files.model()->index(0, FileListModel::SIZE).data().toString(),
                 QString());  // the pending new file's size is not known yet
        QCOMPARE(doc.archive().selectionCount(), 1);
        QCOMPARE(p.files.listView()->selectionModel()->selectedRows().size(), 1);
    }

    void rowSelectionsReachTheDocumentOncePerAction() {
        // The file list next to a plain QTreeView with Qt's own selection model over the same
        // model: the same keys and clicks must select the same rows in both, and the document
        // must hold exactly the files of those rows after one notification per action.
        ViewTestDoc doc;
        for (int i = 0; i < 40; ++i)
            doc.put("many/f" + std::to_string(1000 + i) + ".dat", std::to_string(i), T1 - 10);
        QVERIFY(doc.save(T1));
        doc.open(T2);
        Panes p(doc);
        p.tree.initialUpdate();
        p.treeView()->selectionModel()->setCurrentIndex(p.folder({"work", "many"}),
                                                        QItemSelectionModel::ClearAndSelect);
        QTreeView* list = p.files.listView();
        QVERIFY(qobject_cast<RowSelectionModel*>(list->selectionModel()));
        QTreeView plain;
        plain.setModel(p.files.model());
        plain.setRootIsDecorated(false);
        plain.setUniformRowHeights(true);
        plain.setSelectionMode(QAbstractItemView::ExtendedSelection);
        plain.setSelectionBehavior(QAbstractItemView::SelectRows);
        for (QWidget* w : {static_cast<QWidget*>(&p.files), static_cast<QWidget*>(&plain)}) {
            w->resize(400, 900);
            w->show();
            QVERIFY(QTest::qWaitForWindowExposed(w));
        }
        Tresmo& a = doc.archive();

        auto rowsOf = [](QTreeView* v) {
            QList<int> rows;
            for (const QModelIndex& i : v->selectionModel()->selectedRows())
                rows << i.row();
            std::sort(rows.begin(), rows.end());
            return rows;
        };
        auto documentRows = [&] {
            QList<int> rows;
            if (a.selectionMode() == 2)
                for (Node* n = a.selectedDir()->firstChild; n; n = n->next)
                    if (n->flags & Node::SELECTED) rows << n->listRow - 1;
            std::sort(rows.begin(), rows.end());
            return rows;
        };
        auto click = [](QTreeView* v, int row, Qt::KeyboardModifiers mods) {
            QRect r = v->visualRect(v->model()->index(row, 0));
            QTest::mouseClick(v->viewport(), Qt::LeftButton, mods, r.center());
        };
        // Runs one action on both views; the file list's selection, the plain view's and the
        // document's must agree, after exactly one selection hint.
        auto both = [&](const std::function<void(QTreeView*)>& action) {
            int hints = p.selectionHints;
            action(list);
            action(&plain);
            QCOMPARE(p.selectionHints, hints + 1);
            QCOMPARE(rowsOf(list), rowsOf(&plain));
            QCOMPARE(documentRows(), rowsOf(list));
            QCOMPARE(static_cast<qsizetype>(a.selectionCount()), rowsOf(list).size());
        };

        both([](QTreeView* v) { QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier); });
        QCOMPARE(a.selectionCount(), 40);
        both([&](QTreeView* v) { click(v, 3, Qt::NoModifier); });
        QCOMPARE(documentRows(), QList<int>({3}));
        both([&](QTreeView* v) { click(v, 6, Qt::ControlModifier); });
        both([&](QTreeView* v) { click(v, 9, Qt::ControlModifier); });
        both([&](QTreeView* v) { click(v, 6, Qt::ControlModifier); });
        QCOMPARE(documentRows(), QList<int>({3, 9}));
        // The range from the last Ctrl+click (6) replaces that click's row; 3 and 9 stay.
        both([&](QTreeView* v) { click(v, 12, Qt::ShiftModifier); });
        QCOMPARE(documentRows(), QList<int>({3, 6, 7, 8, 9, 10, 11, 12}));
        both([](QTreeView* v) { QTest::keyClick(v, Qt::Key_Down, Qt::ShiftModifier); });
        QCOMPARE(documentRows(), QList<int>({3, 6, 7, 8, 9, 10, 11, 12, 13}));

        // Every third file selected through the document, shown as separate runs; then a
        // Shift+click from the last plain click's row, and Ctrl+A over the scattered rows.
        a.clearSelection();
        QItemSelection scattered;
        for (int r = 0; r < 40; r += 3) {
            a.selectFile(p.files.model()->nodeAt(r), true);
            scattered.select(p.files.model()->index(r, 0),
                             p.files.model()->index(r, FileListModel::COLUMNS - 1));
        }
        doc.selectionEdited(nullptr);
        plain.selectionModel()->select(scattered, QItemSelectionModel::ClearAndSelect);
        QCOMPARE(rowsOf(list), rowsOf(&plain));
        QCOMPARE(rowsOf(list).size(), 14);
        both([&](QTreeView* v) { click(v, 15, Qt::ShiftModifier | Qt::ControlModifier); });
        both([&](QTreeView* v) { click(v, 2, Qt::ShiftModifier); });
        both([](QTreeView* v) { QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier); });
        QCOMPARE(a.selectionCount(), 40);

        // The filter keeps ten of the forty selected files; clearing it shows them selected at
        // their rows again, without another notification.
        int hints = p.selectionHints;
        p.files.filterBox()->setText("F101");
        QCOMPARE(p.selectionHints, hints + 1);
        QCOMPARE(p.files.model()->rowCount(), 10);
        QCOMPARE(rowsOf(list), QList<int>({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
        QCOMPARE(a.selectionCount(), 10);
        p.files.filterBox()->clear();
        QCOMPARE(p.selectionHints, hints + 1);
        QCOMPARE(rowsOf(list), QList<int>({10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
        QCOMPARE(documentRows(), rowsOf(list));
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
        int i = 0;
        for (int64_t t : times) {
            doc.put("f.txt", std::to_string(i++), t - 1);
            QVERIFY(doc.save(t));
        }
        doc.open(SAT + 12 * 3600);
        VersListView v(doc);
        Tester tester(v.model(), QTEST);
        doc.updateViews(HINT_RESET);
        QCOMPARE(v.model()->rowCount(), 7);
        QList<int> opts;
        for (int r = 0; r < 7; ++r)
            opts << v.model()->labelOptions(r);
        const int T = TIME_ONLY, N = NO_SECONDS, D = DATE_ONLY, W = WEEKDAY_NAME;
        QCOMPARE(opts, QList<int>({T | N, T, T, W | D | N, W | N, W | N, D | N}));
        char buf[101];
        QVERIFY(formatTime(buf, sizeof buf, times[5], TIME_ONLY));
        QCOMPARE(v.model()->index(1, 0).data().toString(), QString::fromLocal8Bit(buf));
    }
};

QTEST_MAIN(ViewsTest)
#include "views_test.moc"
