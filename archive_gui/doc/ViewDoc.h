#pragma once

#include "archive/ops/Tresmo.h"

#include <QObject>

// Update hints sent to every view; each view decides what a hint means for it.
enum ViewHint : int {
    HINT_RESET = 0,      // the tree view's first update: rebuild everything
    HINT_STRUCTURE = 1,  // the archive was reloaded and rescanned: items may have appeared or gone
    HINT_EXPAND = 2,     // a new file selection was applied: re-apply expansion
    HINT_RANGE = 3,      // the version list changed the range (from, to)
    HINT_SELECTION = 4,  // a view changed the current selection
    HINT_MARKS = 5,      // only change marks and icons changed (after Save)
};

// What the three views see of the document. ArchiveDoc implements it; view tests implement it
// over a bare archive. Views hold a reference, never a copy, and read the archive's tree only
// from the UI thread and only while busy() is false.
class ViewDoc : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    virtual Tresmo& archive() = 0;
    // False after a failed read, scan or selection store: the views show nothing.
    virtual bool valid() const = 0;
    // True while a worker thread owns the archive (load, scan, save, export).
    virtual bool busy() const = 0;

    // Tells all views except `sender` (as the document framework does), then the status bar.
    void updateViews(int hint, QObject* sender = nullptr) {
        emit viewsUpdated(hint, sender);
        emit statusChanged();
    }

    // A view changed the archive's selection: recomputes what hangs on it, then tells the
    // other views.
    void selectionEdited(QObject* sender) {
        updateSelectionQueries();
        updateViews(HINT_SELECTION, sender);
    }
    // The engine's part of selectionEdited. Virtual so that the views' benchmark can time the
    // engine apart from the views' own work on the same call.
    virtual void updateSelectionQueries() {
        archive().updateSelectionInfo();
        archive().updateVersionMarks();
    }

  signals:
    // Every view connects to this and ignores the call when it is the sender.
    void viewsUpdated(int hint, QObject* sender);
    // The archive's tree is about to be freed (a reload starts): drop every pointer into it and
    // show nothing until the next update.
    void treeAboutToGo();
    void statusChanged();
};
