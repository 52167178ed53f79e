#include "archive_gui/views/RowSelectionModel.h"

#include <QSignalBlocker>

#include <algorithm>

RowSelectionModel::RowSelectionModel(QAbstractItemModel* model, QObject* parent)
    : QItemSelectionModel(model, parent) {
    connect(model, &QAbstractItemModel::modelReset, this, &RowSelectionModel::reset);
    // Connected after the base class's own handlers: it has moved its ranges by then.
    connect(model, &QAbstractItemModel::rowsInserted, this, &RowSelectionModel::takeFromBase);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &RowSelectionModel::takeFromBase);
    connect(model, &QAbstractItemModel::rowsMoved, this, &RowSelectionModel::takeFromBase);
    connect(model, &QAbstractItemModel::layoutChanged, this, &RowSelectionModel::takeFromBase);
    takeFromBase();
}

void RowSelectionModel::select(const QModelIndex& index,
                               QItemSelectionModel::SelectionFlags command) {
    select(QItemSelection(index, index), command);
}

void RowSelectionModel::select(const QItemSelection& selection,
                               QItemSelectionModel::SelectionFlags command) {
    if (!model() || command == NoUpdate) return;
    fit();
    const size_t count = _shown.size();
    Flags picked(count, 0);
    for (const QItemSelectionRange& r : selection) {
        if (!r.isValid() || r.model() != model() || r.parent().isValid()) continue;
        int top = std::max(r.top(), 0);
        int bottom = std::min(r.bottom(), static_cast<int>(count) - 1);
        if (top <= bottom) std::fill(picked.begin() + top, picked.begin() + bottom + 1, 1);
    }
    // The steps of QItemSelectionModel::select: Clear drops both parts; a command without
    // Current commits the current part and starts a new one; Select, Deselect or Toggle
    // replaces the current part (with Current set, a Shift+click's range replaces the last).
    if (command & Clear) {
        _committed.assign(count, 0);
        _current.assign(count, 0);
    }
    if (!(command & Current)) {
        _committed = combined();
        _current.assign(count, 0);
    }
    if (command & (Toggle | Select | Deselect)) {
        _currentCommand = command;
        _current = std::move(picked);
    }
    Flags rows = combined();
    // Nothing selected is nothing in either part, so that clearSelection(), which returns
    // early when the base class holds nothing, cannot leave a committed part behind.
    if (std::find(rows.begin(), rows.end(), 1) == rows.end()) {
        _committed.assign(count, 0);
        _current.assign(count, 0);
    }
    show(std::move(rows));
}

void RowSelectionModel::clear() {
    select(QItemSelection(), Clear);
    clearCurrentIndex();
}

void RowSelectionModel::reset() {
    {
        QSignalBlocker blocker(this);
        QItemSelectionModel::reset();
    }
    const size_t count = model() ? static_cast<size_t>(model()->rowCount()) : 0;
    _committed.assign(count, 0);
    _current.assign(count, 0);
    _shown.assign(count, 0);
    _currentCommand = NoUpdate;
}

std::vector<int> RowSelectionModel::rows() const {
    std::vector<int> out;
    for (size_t i = 0; i < _shown.size(); ++i)
        if (_shown[i]) out.push_back(static_cast<int>(i));
    return out;
}

RowSelectionModel::Flags RowSelectionModel::combined() const {
    Flags out = _committed;
    if (_currentCommand & Deselect) {
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = out[i] && !_current[i];
    } else if (_currentCommand & Toggle) {
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = out[i] != _current[i];
    } else if (_currentCommand & Select) {
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = out[i] || _current[i];
    }
    return out;
}

template <class Pick>
QItemSelection RowSelectionModel::runs(size_t count, Pick pick) const {
    QItemSelection out;
    const int last = model()->columnCount() - 1;
    if (last < 0) return out;
    for (size_t i = 0; i < count;) {
        if (!pick(i)) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j + 1 < count && pick(j + 1))
            ++j;
        out.append(QItemSelectionRange(model()->index(static_cast<int>(i), 0),
                                       model()->index(static_cast<int>(j), last)));
        i = j + 1;
    }
    return out;
}

void RowSelectionModel::show(Flags rows) {
    const size_t count = rows.size();
    QItemSelection selected = runs(count, [&](size_t i) { return rows[i] && !_shown[i]; });
    QItemSelection deselected = runs(count, [&](size_t i) { return !rows[i] && _shown[i]; });
    if (selected.isEmpty() && deselected.isEmpty()) return;
    {
        // The base class compares its old and new lists only when neither is empty: emptied
        // first, it takes the new runs without a comparison. Its signals would report the
        // detour, so they are held back and the difference is announced below instead.
        QSignalBlocker blocker(this);
        QItemSelectionModel::select(QItemSelection(), Clear);
        QItemSelectionModel::select(runs(count, [&](size_t i) { return rows[i] != 0; }), Select);
    }
    _shown = std::move(rows);
    emit selectionChanged(selected, deselected);
}

void RowSelectionModel::takeFromBase() {
    const size_t count = model() ? static_cast<size_t>(model()->rowCount()) : 0;
    Flags rows(count, 0);
    for (const QItemSelectionRange& r : QItemSelectionModel::selection()) {
        if (!r.isValid() || r.parent().isValid()) continue;
        int top = std::max(r.top(), 0);
        int bottom = std::min(r.bottom(), static_cast<int>(count) - 1);
        if (top <= bottom) std::fill(rows.begin() + top, rows.begin() + bottom + 1, 1);
    }
    _committed = rows;
    _current.assign(count, 0);
    _currentCommand = NoUpdate;
    _shown = std::move(rows);
}

void RowSelectionModel::fit() {
    if (_shown.size() != static_cast<size_t>(model()->rowCount())) takeFromBase();
}

void RowListView::setModel(QAbstractItemModel* model) {
    QTreeView::setModel(model);
    if (!model) return;
    QItemSelectionModel* old = selectionModel();
    setSelectionModel(new RowSelectionModel(model, this));
    delete old;
}

void RowListView::selectAll() {
    QAbstractItemModel* m = model();
    SelectionMode mode = selectionMode();
    if (!m || !selectionModel() || mode == SingleSelection || mode == NoSelection) return;
    const int rows = m->rowCount(rootIndex());
    const int columns = m->columnCount(rootIndex());
    if (rows == 0 || columns == 0) return;
    selectionModel()->select(
        QItemSelection(m->index(0, 0, rootIndex()), m->index(rows - 1, columns - 1, rootIndex())),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void RowListView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
    // QTreeView::setSelection, less its walk that makes a range per row: the rows between
    // the rectangle's corners are one range in a list without children.
    QAbstractItemModel* m = model();
    if (!m || !selectionModel() || rect.isNull()) return;
    const bool rtl = isRightToLeft();
    QPoint tl(rtl ? std::max(rect.left(), rect.right()) : std::min(rect.left(), rect.right()),
              std::min(rect.top(), rect.bottom()));
    QPoint br(rtl ? std::min(rect.left(), rect.right()) : std::max(rect.left(), rect.right()),
              std::max(rect.top(), rect.bottom()));
    QModelIndex topLeft = indexAt(tl);
    QModelIndex bottomRight = indexAt(br);
    const int rows = m->rowCount(rootIndex());
    const int columns = m->columnCount(rootIndex());
    if (!topLeft.isValid() && !bottomRight.isValid()) {
        if (command & QItemSelectionModel::Clear) selectionModel()->clear();
        return;
    }
    if (rows == 0 || columns == 0) return;
    int top = topLeft.isValid() ? topLeft.row() : 0;
    int bottom = bottomRight.isValid() ? bottomRight.row() : rows - 1;
    if (top > bottom) std::swap(top, bottom);
    const QModelIndex first = m->index(top, 0, rootIndex());
    const QModelIndex last = m->index(bottom, columns - 1, rootIndex());
    if (!(m->flags(first) & Qt::ItemIsEnabled) || !(m->flags(last) & Qt::ItemIsEnabled)) return;
    selectionModel()->select(QItemSelection(first, last), command);
}
