// UI-thread time of the three views on a large archive: one folder of 100,000 files and
// 10,000 transactions. Prints, for each step, the engine's own time and the views' time on
// top of it. Not a test: run it by hand (target tresmo_gui_bench).
//
// The engine calls a view makes itself go through the document's updateSelectionQueries(),
// which the benchmark's document times; the views' figure is the step's wall time less that,
// so a slow engine never shows up as slow views.
//
// The tree is built in memory through the archive's tree operations, as a replay builds it,
// so the figures do not wait for 10,000 saves; the views cannot tell the difference.
#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/DirTreeModel.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListModel.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/VersListView.h"

#include "archive/ops/Tresmo.h"
#include "archive/support/tstamp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTreeView>

#include <cstdio>
#include <string>

namespace {

constexpr int64_t T0 = 1600000000;
constexpr int FILES = 100000;
constexpr int TXNS = 10000;

class BenchDoc : public ViewDoc {
  public:
    Tresmo& archive() override { return _a; }
    bool valid() const override { return true; }
    bool busy() const override { return false; }

    void updateSelectionQueries() override {
        QElapsedTimer t;
        t.start();
        ViewDoc::updateSelectionQueries();
        engineNs += t.nsecsElapsed();
    }

    // What a reload leaves: the big folder stored in the first transaction, one small file
    // changed in each of the others.
    void load(int64_t now) {
        _a.setNow(now);
        Node* root = _a.addNode("work", nullptr, nullptr);
        Node* big = _a.addNode("big", root, nullptr);
        Node* small = _a.addNode("small", root, big);
        Node* one = _a.addNode("one.txt", small, nullptr);
        ContentInfo c;
        c.pos = 12;
        c.size = 100;
        _a.beginTxn(T0);
        _a.updNode(root, NodeKind::Folder, nullptr);
        _a.updNode(big, NodeKind::Folder, nullptr);
        _a.updNode(small, NodeKind::Folder, nullptr);
        Node* after = nullptr;
        for (int i = 0; i < FILES; ++i) {
            after = _a.addNode("file" + std::to_string(100000 + i) + ".txt", big, after);
            c.mtime = T0 - 100;
            _a.updNode(after, NodeKind::File, &c);
        }
        for (int i = 0; i < TXNS; ++i) {
            if (i) _a.beginTxn(T0 + i * 60);
            c.mtime = T0 + i * 60 - 1;
            _a.updNode(one, NodeKind::File, &c);
        }
        for (Node* n : {root, big, small})
            n->flags = static_cast<uint16_t>(NodeKind::Folder);
        one->flags = static_cast<uint16_t>(NodeKind::File);
        for (Node* n = big->firstChild; n; n = n->next)
            n->flags = static_cast<uint16_t>(NodeKind::File);
        _a.updateFolderInfo();
    }

    int64_t engineNs = 0;

  private:
    Tresmo _a;
};

double ms(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void report(const char* step, double engine, double views) {
    std::printf("%-40s engine %8.1f ms   views %8.1f ms\n", step, engine, views);
}

// Engine work a step does itself, as the document's commands would, counted as the engine's.
template <class F>
void engineCall(BenchDoc& doc, F f) {
    QElapsedTimer t;
    t.start();
    f();
    doc.engineNs += t.nsecsElapsed();
}

// Times one user action with the events it posts; what the engine took is reported apart.
template <class F>
void step(BenchDoc& doc, const char* name, F action) {
    doc.engineNs = 0;
    QElapsedTimer t;
    t.start();
    action();
    QApplication::processEvents();
    int64_t total = t.nsecsElapsed();
    report(name, ms(doc.engineNs), ms(total - doc.engineNs));
}

void sendKey(QWidget* w, int key, Qt::KeyboardModifiers mods) {
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods);
    QApplication::sendEvent(w, &release);
}

void click(QTreeView* view, int row, Qt::KeyboardModifiers mods) {
    QPoint pos = view->visualRect(view->model()->index(row, 0)).center();
    QWidget* w = view->viewport();
    QPointF global = w->mapToGlobal(QPointF(pos));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(pos), global, Qt::LeftButton,
                      Qt::LeftButton, mods);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(pos), global, Qt::LeftButton,
                        Qt::NoButton, mods);
    QApplication::sendEvent(w, &release);
}

// Every tenth file of the shown folder selected, as the archive's selection shown by the
// views: 10,000 separate ranges of rows.
void selectScattered(BenchDoc& doc, FileListView& files) {
    Tresmo& a = doc.archive();
    a.clearSelection();
    const auto& rows = files.model()->rows();
    for (size_t i = 0; i < rows.size(); i += 10)
        a.selectFile(rows[i], true);
    doc.selectionEdited(nullptr);
    QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    BenchDoc doc;
    Tresmo& a = doc.archive();
    DirTreeView tree(doc);
    FileListView files(doc);
    VersListView versions(doc);
    tree.resize(300, 600);
    files.resize(600, 600);
    versions.resize(300, 600);
    tree.show();
    files.show();
    versions.show();
    const int64_t now = T0 + TXNS * 60 + 3600;
    QTreeView* list = files.listView();

    step(doc, "open", [&] {
        engineCall(doc, [&] {
            doc.load(now);
            a.setRange(now, now);
            a.updateFolderInfo();
        });
        tree.initialUpdate();
    });

    QModelIndex big = tree.model()->indexByNames({"work", "big"});
    step(doc, "select folder of 100,000 files", [&] {
        tree.treeView()->selectionModel()->setCurrentIndex(big,
                                                           QItemSelectionModel::ClearAndSelect);
    });
    std::printf("  rows shown: %d\n", files.model()->rowCount());

    step(doc, "Ctrl+A over 100,000 files", [&] { sendKey(list, Qt::Key_A, Qt::ControlModifier); });
    std::printf("  files selected: %d\n", a.selectionCount());
    step(doc, "click one row after Ctrl+A", [&] { click(list, 5, Qt::NoModifier); });
    std::printf("  files selected: %d\n", a.selectionCount());

    sendKey(list, Qt::Key_A, Qt::ControlModifier);
    QApplication::processEvents();
    step(doc, "filter with all 100,000 selected", [&] { files.filterBox()->setText("5"); });
    std::printf("  rows shown: %d, files selected: %d\n", files.model()->rowCount(),
                a.selectionCount());
    files.filterBox()->clear();
    QApplication::processEvents();

    step(doc, "show 10,000 scattered selected rows", [&] { selectScattered(doc, files); });
    step(doc, "Ctrl+A over 10,000 scattered rows",
         [&] { sendKey(list, Qt::Key_A, Qt::ControlModifier); });
    std::printf("  files selected: %d\n", a.selectionCount());

    selectScattered(doc, files);
    step(doc, "Shift+click over 10,000 scattered", [&] { click(list, 23, Qt::ShiftModifier); });
    std::printf("  files selected: %d\n", a.selectionCount());

    // A Ctrl+click commits the scattered rows, so the Shift+click's range is added to them
    // rather than replacing them.
    selectScattered(doc, files);
    step(doc, "Ctrl+click amid 10,000 scattered", [&] { click(list, 25, Qt::ControlModifier); });
    step(doc, "then Shift+click, scattered kept", [&] { click(list, 15, Qt::ShiftModifier); });
    std::printf("  files selected: %d\n", a.selectionCount());

    // Refresh: drop the tree, reload, then the hints of the document's range command.
    sendKey(list, Qt::Key_A, Qt::ControlModifier);
    QApplication::processEvents();
    step(doc, "refresh (HINT_STRUCTURE)", [&] {
        emit doc.treeAboutToGo();
        engineCall(doc, [&] {
            doc.load(now + 10);
            a.setRange(a.now(), a.now());
            a.updateFolderInfo();
        });
        doc.updateViews(HINT_STRUCTURE);
        engineCall(doc, [&] {
            a.pruneSelection();
            a.updateSelectionInfo();
            a.updateVersionMarks();
        });
        doc.updateViews(HINT_SELECTION);
    });
    std::printf("  files still selected after refresh: %d\n", a.selectionCount());

    // Recent Changes, This Month: the range pass, then HINT_RANGE.
    step(doc, "recent changes range (HINT_RANGE)", [&] {
        engineCall(doc, [&] {
            a.setRange(startOfMonth(a.now()), a.now());
            a.updateFolderInfo();
            a.pruneSelection();
            a.updateSelectionInfo();
            a.updateVersionMarks();
        });
        doc.updateViews(HINT_RANGE);
    });
    return 0;
}
