// Selection of whole rows in a flat list of many rows, linear in the rows however the
// selection is made.
//
// QItemSelectionModel keeps a selection as a list of ranges and compares the old list with the
// new one range by range on every change, and QTreeView builds a selection row by row: with
// 100,000 rows, or 10,000 scattered selected ones, Ctrl+A, a Shift+click or showing a saved
// selection takes seconds. RowSelectionModel keeps the selected rows itself, one flag per row,
// with the same committed and current parts and the same commands as QItemSelectionModel, and
// hands the base class only the result as runs of consecutive rows, by a clear and a select
// that need no comparison. Each select() emits selectionChanged once, with the rows that
// changed merged into runs: one user action, one notification.
//
// Only top-level rows exist for it, always whole: a selection of some cells selects their rows.
// A model reset clears the selection without a signal, as QItemSelectionModel does; rows
// inserted, removed or moved are taken over from the base class's own adjustment.
//
// RowListView is the QTreeView that goes with it: it installs the model and selects ranges of
// rows (Ctrl+A, Shift+click, dragging, Shift+arrows) as one range instead of row by row.
#pragma once

#include <QItemSelectionModel>
#include <QTreeView>

#include <cstdint>
#include <vector>

class RowSelectionModel : public QItemSelectionModel {
    Q_OBJECT

  public:
    explicit RowSelectionModel(QAbstractItemModel* model, QObject* parent = nullptr);

    void select(const QModelIndex& index, QItemSelectionModel::SelectionFlags command) override;
    void select(const QItemSelection& selection,
                QItemSelectionModel::SelectionFlags command) override;
    void clear() override;
    void reset() override;

    // The selected rows, ascending.
    std::vector<int> rows() const;

  private:
    using Flags = std::vector<uint8_t>;

    // The committed part combined with the current part under its command.
    Flags combined() const;
    // Makes the base class hold `rows`, then announces the rows that changed from _shown.
    void show(Flags rows);
    // Runs of the rows for which pick(row) holds, each as one range over all columns.
    template <class Pick>
    QItemSelection runs(size_t count, Pick pick) const;
    // Takes the selection over from the base class after it adjusted it to moved rows.
    void takeFromBase();
    void fit();

    Flags _committed;
    Flags _current;
    QItemSelectionModel::SelectionFlags _currentCommand = QItemSelectionModel::NoUpdate;
    Flags _shown;  // what the base class holds and the views were told
};

class RowListView : public QTreeView {
    Q_OBJECT

  public:
    using QTreeView::QTreeView;

    // Also installs a RowSelectionModel over model.
    void setModel(QAbstractItemModel* model) override;
    void selectAll() override;

  protected:
    void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
};
