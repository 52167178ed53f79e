// UI-thread time of the three views on a large archive: one folder of 100,000 files and
// 10,000 transactions. Prints, for each step, the engine's own time and the views' time on
// top of it. Not a test: run it by hand (target tresmo_gui_bench).
//
// The tree is built in memory through the archive's tree operations, as a replay builds it,
// so the figures do not wait for 10,000 saves; the views cannot tell the difference.
#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/DirTreeModel.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/VersListView.h"

#include "archive/Tresmo.h"
#include "archive/tstamp.h"

#include <QApplication>
#include <QElapsedTimer>
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

  private:
    Tresmo _a;
};

double ms(QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

void report(const char* step, double engine, double views) {
    std::printf("%-36s engine %8.1f ms   views %8.1f ms\n", step, engine, views);
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
    QElapsedTimer t;

    t.start();
    doc.load(now);
    a.setRange(now, now);
    a.updateFolderInfo();
    double engine = ms(t);
    t.restart();
    tree.initialUpdate();
    QApplication::processEvents();
    report("open", engine, ms(t));

    QModelIndex big = tree.model()->indexByNames({"work", "big"});
    t.restart();
    tree.treeView()->selectionModel()->setCurrentIndex(big, QItemSelectionModel::ClearAndSelect);
    QApplication::processEvents();
    report("select folder of 100,000 files", 0, ms(t));

    // The view calls the selection statistics and the marks itself; they are timed again
    // alone and counted as the engine's part.
    auto selectionQueries = [&] {
        QElapsedTimer q;
        q.start();
        a.updateSelectionInfo();
        a.updateVersionMarks();
        return ms(q);
    };
    t.restart();
    files.listView()->selectAll();
    QApplication::processEvents();
    double total = ms(t);
    engine = selectionQueries();
    report("select all 100,000 files (Ctrl+A)", engine, total - engine);

    // Refresh: drop the tree, reload, then the hints of the document's range command.
    t.restart();
    emit doc.treeAboutToGo();
    double before = ms(t);
    t.restart();
    doc.load(now + 10);
    a.setRange(a.now(), a.now());
    a.updateFolderInfo();
    engine = ms(t);
    t.restart();
    doc.updateViews(HINT_STRUCTURE);
    double views = ms(t);
    a.pruneSelection();
    engine += selectionQueries();
    t.restart();
    doc.updateViews(HINT_SELECTION);
    QApplication::processEvents();
    report("refresh (HINT_STRUCTURE)", engine, before + views + ms(t));
    std::printf("  files still selected after refresh: %d\n", a.selectionCount());

    // Recent Changes, This Month: the range pass, then HINT_RANGE.
    t.restart();
    a.setRange(startOfMonth(a.now()), a.now());
    a.updateFolderInfo();
    a.pruneSelection();
    a.updateSelectionInfo();
    a.updateVersionMarks();
    engine = ms(t);
    t.restart();
    doc.updateViews(HINT_RANGE);
    QApplication::processEvents();
    report("recent changes range (HINT_RANGE)", engine, ms(t));
    return 0;
}
