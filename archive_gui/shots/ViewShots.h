// Pictures of the three views over a small history, in the Current range, the Today range
// and a past block chosen in the version list. Included by the screenshot driver.
#pragma once

#include "archive_gui/tests/ViewTestDoc.h"
#include "archive_gui/views/DirTreeModel.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListModel.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/VersListModel.h"
#include "archive_gui/views/VersListView.h"

#include "archive/support/tstamp.h"

#include <QAction>
#include <QSplitter>
#include <QTreeView>

#include <functional>

inline void shootViews(const std::function<void(QWidget*, const char*)>& shoot) {
    // A Friday afternoon; the history runs over the days before it.
    const int64_t now = 1764946800;  // 2025-12-05 15:00 UTC
    const int64_t day = 86400;
    ViewTestDoc doc;
    const char* site[] = {"index.html", "about.html",   "css/style.css", "css/print.css",
                          "js/site.js", "img/logo.png", "img/photo.jpg", "notes.md"};
    int64_t t = now - 40 * day;
    for (const char* f : site)
        doc.put(f, std::string(300, 'a') + f, t - 60);
    doc.save(t);
    t = now - 3 * day + 9 * 3600;
    doc.put("index.html", "v2", t - 60);
    doc.put("js/menu.js", "menu", t - 60);
    doc.save(t);
    t = now - 2 * day + 11 * 3600;
    doc.remove("img/photo.jpg");
    doc.put("css/style.css", "v2", t - 60);
    doc.save(t);
    t = now - 2 * day + 16 * 3600;
    doc.put("notes.md", "v2", t - 60);
    doc.save(t);
    t = startOfDay(now) + 10 * 3600 + 15 * 60 + 2;
    doc.put("about.html", "v2", t - 60);
    doc.save(t);
    t += 38;
    doc.remove("css/print.css");
    doc.put("docs/guide.md", "guide", t - 10);
    doc.save(t);
    doc.put("index.html", "v3 pending", now - 300);

    doc.open(now);
    QSplitter frame(Qt::Horizontal);
    auto* left = new QSplitter(Qt::Vertical);
    auto* tree = new DirTreeView(doc);
    auto* versions = new VersListView(doc);
    auto* files = new FileListView(doc);
    left->addWidget(tree);
    left->addWidget(versions);
    frame.addWidget(left);
    frame.addWidget(files);
    frame.setSizes({240, 520});
    frame.resize(760, 440);
    tree->initialUpdate();
    shoot(&frame, "views-current");

    doc.reload(now, startOfDay(now));
    tree->treeView()->setCurrentIndex(tree->model()->indexByNames({"work", "css"}));
    shoot(&frame, "views-today");

    // The block of the two transactions two days ago, as a user picks it.
    VersListModel* m = versions->model();
    int first = -1, last = -1;
    for (int r = 0; r < m->rowCount(); ++r) {
        int64_t time = m->txnAt(r)->time;
        if (sameDay(time, now - 2 * day)) {
            if (first < 0) first = r;
            last = r;
        }
    }
    if (first >= 0) {
        versions->listView()->selectionModel()->select(
            QItemSelection(m->index(first, 0), m->index(last, 0)),
            QItemSelectionModel::ClearAndSelect);
        versions->viewVersionAction()->trigger();
    }
    tree->treeView()->setCurrentIndex(tree->model()->indexByNames({"work", "img"}));
    files->listView()->setCurrentIndex(files->model()->index(0, 0));
    shoot(&frame, "views-past");
}
