// The version list pane: the archive's transactions, newest first, with icons for the range
// and the pending transaction and overlays telling where the other views' selection existed
// or changed. Selecting one contiguous block of rows and choosing View Version (or Enter, or
// a double-click) makes that block the range every view shows. The selection is cleared when
// the list loses the focus, except to a menu.
#pragma once

#include <QWidget>

#include <cstdint>

class QAction;
class QTreeView;
class VersListModel;
class ViewDoc;

class VersListView : public QWidget {
    Q_OBJECT

  public:
    explicit VersListView(ViewDoc& doc, QWidget* parent = nullptr);

    QTreeView* listView() const { return _list; }
    VersListModel* model() const { return _model; }
    // View Version, enabled when one block is selected that differs from the range.
    QAction* viewVersionAction() const { return _viewVersion; }

    // The selected block: times of its oldest and newest rows, both 0 when the rows selected
    // are not one block.
    int64_t lo() const { return _lo; }
    int64_t hi() const { return _hi; }

    void updateActions();

  public slots:
    // Makes the selected block the range (without a reload) and clears the selection.
    void viewVersion();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void onUpdate(int hint, QObject* sender);
    void recomputeBlock();
    void deselectAll();

    ViewDoc& _doc;
    QTreeView* _list;
    VersListModel* _model;
    QAction* _viewVersion;
    int64_t _lo = 0;
    int64_t _hi = 0;
};
