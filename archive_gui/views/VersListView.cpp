#include "archive_gui/views/VersListView.h"

#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/VersListModel.h"

#include "archive/ops/Tresmo.h"

#include <QAction>
#include <QFocusEvent>
#include <QHeaderView>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

VersListView::VersListView(ViewDoc& doc, QWidget* parent)
    : QWidget(parent),
      _doc(doc),
      _list(new QTreeView),
      _model(new VersListModel(doc, this)),
      _viewVersion(new QAction(tr("&View Version"), this)) {
    _list->setModel(_model);
    _list->setHeaderHidden(true);
    _list->setRootIsDecorated(false);
    _list->setUniformRowHeights(true);
    _list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    _list->setSelectionBehavior(QAbstractItemView::SelectRows);
    _list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _list->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_list);
    setFocusProxy(_list);

    _viewVersion->setStatusTip(tr("Show the archive as it was in the selected versions"));
    connect(_viewVersion, &QAction::triggered, this, &VersListView::viewVersion);
    connect(&doc, &ViewDoc::viewsUpdated, this, &VersListView::onUpdate);
    connect(&doc, &ViewDoc::treeAboutToGo, this, [this] {
        _model->detach();
        recomputeBlock();
    });
    connect(_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &VersListView::recomputeBlock);
    connect(_list, &QAbstractItemView::activated, this, &VersListView::viewVersion);
    updateActions();
}

void VersListView::onUpdate(int hint, QObject* sender) {
    if (sender == this) return;
    if (!_doc.valid()) {
        _model->detach();
    } else if (hint == HINT_RESET || hint == HINT_STRUCTURE) {
        _model->fill();
        _list->resizeColumnToContents(0);
    }
    _model->refreshPictures();
    recomputeBlock();
}

void VersListView::recomputeBlock() {
    _lo = _hi = 0;
    // Ranges come in the order they were selected; sorted by row, one block means each
    // begins right below the one before.
    QItemSelection sel = _list->selectionModel()->selection();
    std::vector<std::pair<int, int>> rows;
    for (const QItemSelectionRange& r : sel)
        rows.emplace_back(r.top(), r.bottom());
    std::sort(rows.begin(), rows.end());
    bool block = !rows.empty();
    for (size_t i = 1; i < rows.size() && block; ++i)
        block = rows[i].first <= rows[i - 1].second + 1;
    if (block) {
        int bottom = rows.front().second;
        for (const auto& r : rows)
            bottom = std::max(bottom, r.second);
        Txn* newest = _model->txnAt(rows.front().first);
        Txn* oldest = _model->txnAt(bottom);
        if (newest && oldest) {
            _hi = newest->time;
            _lo = oldest->time;
        }
    }
    updateActions();
}

void VersListView::updateActions() {
    bool ok = _doc.valid() && !_doc.busy() && _lo != 0;
    const Tresmo& a = _doc.archive();
    _viewVersion->setEnabled(ok && (_lo != a.from() || _hi != a.to()));
}

void VersListView::viewVersion() {
    updateActions();
    if (!_viewVersion->isEnabled()) return;
    Tresmo& a = _doc.archive();
    a.setRange(_lo, _hi);
    a.updateFolderInfo();
    a.pruneSelection();
    a.updateSelectionInfo();
    a.updateVersionMarks();
    _doc.updateViews(HINT_RANGE);
    deselectAll();
}

void VersListView::deselectAll() {
    _list->selectionModel()->clear();
}

bool VersListView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _list && event->type() == QEvent::FocusOut) {
        // A menu opening (the View Version command itself) must not take the block away.
        auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::PopupFocusReason && reason != Qt::MenuBarFocusReason) deselectAll();
    }
    return QWidget::eventFilter(watched, event);
}
