#include "archive_gui/views/DirTreeView.h"

#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/DirTreeModel.h"

#include "archive/ops/Tresmo.h"

#include <QHeaderView>
#include <QScopedValueRollback>
#include <QTreeView>
#include <QVBoxLayout>

DirTreeView::DirTreeView(ViewDoc& doc, QWidget* parent)
    : QWidget(parent), _doc(doc), _tree(new QTreeView), _model(new DirTreeModel(doc, this)) {
    _tree->setModel(_model);
    _tree->setHeaderHidden(true);
    _tree->setUniformRowHeights(true);
    _tree->setSelectionMode(QAbstractItemView::SingleSelection);
    _tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    _tree->header()->setStretchLastSection(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_tree);
    setFocusProxy(_tree);

    connect(&doc, &ViewDoc::viewsUpdated, this, &DirTreeView::onUpdate);
    connect(&doc, &ViewDoc::treeAboutToGo, this, &DirTreeView::onTreeAboutToGo);
    connect(_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &DirTreeView::onSelectionChanged);
    connect(_tree, &QAbstractItemView::clicked, this, &DirTreeView::onClicked);
}

void DirTreeView::initialUpdate() {
    _doc.updateViews(HINT_RESET);
}

void DirTreeView::onUpdate(int hint, QObject* sender) {
    if (sender == this) return;
    if (!_doc.valid()) {
        QScopedValueRollback<bool> filling(_filling, true);
        _model->detach();
        _kept = false;
        return;
    }
    // Selecting the top item below is a user-visible choice and notifies the document; every
    // other edit of the tree's selection here happens with _filling set.
    bool selectTop = false;
    QScopedValueRollback<bool> filling(_filling, true);
    switch (hint) {
        case HINT_RESET:
            _kept = false;
            _model->rebuild();
            if (_model->rowCount() > 0) {
                applyExpansion();
                selectTop = true;
            }
            break;
        case HINT_STRUCTURE:
            if (!_kept) keepState();
            _model->rebuild();
            restoreState();
            break;
        case HINT_EXPAND:
            if (_model->rowCount() > 0) {
                applyExpansion();
                selectTop = !_tree->selectionModel()->hasSelection();
            }
            break;
        case HINT_RANGE: {
            // The selected folder may go: the tree's selection is cleared before its item.
            QModelIndex sel = _tree->currentIndex();
            for (Node* n = _model->nodeOf(sel); n; n = n->parent)
                if (!(n->flags & Node::WAS_FOLDER)) {
                    _tree->selectionModel()->clear();
                    break;
                }
            _model->resyncRange();
            _model->refreshPictures();
            break;
        }
        case HINT_MARKS:
            _model->refreshPictures();
            break;
        default:
            break;
    }
    if (selectTop) {
        _filling = false;
        selectIndex(_model->index(0, 0));
    }
}

void DirTreeView::keepState() {
    // Reads only the names the items keep, never the nodes, which may be gone already.
    _selPath.clear();
    _expanded.clear();
    QModelIndexList sel = _tree->selectionModel()->selectedIndexes();
    if (!sel.isEmpty()) _selPath = _model->namesOf(sel.front());
    std::vector<QModelIndex> todo;
    if (_model->rowCount() > 0) todo.push_back(_model->index(0, 0));
    while (!todo.empty()) {
        QModelIndex i = todo.back();
        todo.pop_back();
        // A collapsed folder may still hold expanded ones that show again when it opens.
        if (_tree->isExpanded(i)) _expanded.push_back(_model->namesOf(i));
        for (int r = 0, n = _model->builtRowCount(i); r < n; ++r)
            todo.push_back(_model->index(r, 0, i));
    }
    _kept = true;
}

void DirTreeView::restoreState() {
    _kept = false;
    // Parents come before their children in the kept list, so expanding in order works.
    for (const auto& path : _expanded) {
        QModelIndex i = _model->indexByNames(path);
        if (i.isValid()) _tree->expand(i);
    }
    QModelIndex sel = _model->indexByNames(_selPath);
    if (sel.isValid()) {
        selectIndex(sel);
        _doc.archive().selectFolder(_model->nodeOf(sel));
    }
    _expanded.clear();
    _selPath.clear();
}

void DirTreeView::onTreeAboutToGo() {
    QScopedValueRollback<bool> filling(_filling, true);
    if (_model->attached() && !_kept) keepState();
    _model->detach();
}

void DirTreeView::applyExpansion() {
    // Folders that changed within the range form a set closed towards the root (a change
    // gives every ancestor a version too), so only expanded or changed items need a visit.
    std::vector<QModelIndex> todo{_model->index(0, 0)};
    while (!todo.empty()) {
        QModelIndex i = todo.back();
        todo.pop_back();
        Node* n = _model->nodeOf(i);
        bool changed = n->flags & Node::CHANGED_IN_RANGE;
        if (_tree->isExpanded(i) != changed) _tree->setExpanded(i, changed);
        // An unchanged folder's children are visited only where items exist already: their
        // expansion may be left from before, but nothing beneath can have changed.
        int rows = changed ? _model->rowCount(i) : _model->builtRowCount(i);
        for (int r = 0; r < rows; ++r)
            todo.push_back(_model->index(r, 0, i));
    }
}

void DirTreeView::selectIndex(const QModelIndex& index) {
    _tree->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    _tree->scrollTo(index);
}

void DirTreeView::onSelectionChanged() {
    if (_filling || _doc.busy() || !_doc.valid()) return;
    QModelIndexList sel = _tree->selectionModel()->selectedIndexes();
    if (sel.isEmpty()) return;
    _doc.archive().selectFolder(_model->nodeOf(sel.front()));
    _doc.selectionEdited(this);
}

void DirTreeView::onClicked(const QModelIndex& index) {
    if (_doc.busy() || !_doc.valid() || !_tree->selectionModel()->isSelected(index)) return;
    Tresmo& a = _doc.archive();
    Node* node = _model->nodeOf(index);
    if (a.selectionMode() == SelMode::Folder && a.selectedDir() == node) return;
    a.selectFolder(node);
    _doc.selectionEdited(this);
}
