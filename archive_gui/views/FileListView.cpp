#include "archive_gui/views/FileListView.h"

#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/UiStrings.h"
#include "archive_gui/views/FileListModel.h"
#include "archive_gui/views/RowSelectionModel.h"

#include "archive/objects/ToolConfig.h"
#include "archive/ops/Tresmo.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"
#include "archive/support/process.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScopedValueRollback>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

// The names from the root's child down to folder (the root itself matches any name).
std::vector<std::string> pathOf(const Node* folder) {
    std::vector<std::string> names;
    for (const Node* n = folder; n && n->parent; n = n->parent)
        names.insert(names.begin(), n->name);
    return names;
}

Node* findPath(const TresmoData& a, const std::vector<std::string>& names) {
    Node* n = a.root();
    for (const std::string& name : names) {
        if (!n) return nullptr;
        Node* c = nullptr;
        if (!a.findChild(name, n, c)) return nullptr;
        n = c;
    }
    return n;
}

}  // namespace

FileListView::FileListView(ViewDoc& doc, QWidget* parent)
    : QWidget(parent),
      _doc(doc),
      _filterBox(new QLineEdit),
      _list(new RowListView),
      _model(new FileListModel(doc, this)),
      _openFile(new QAction(tr("&Open File"), this)),
      _showDiff(new QAction(tr("Show &Diff"), this)),
      _openFolder(new QAction(tr("Open &Containing Folder"), this)) {
    _filterBox->setPlaceholderText(tr("Filter by name"));
    _filterBox->setClearButtonEnabled(true);
    _list->setModel(_model);
    _list->setRootIsDecorated(false);
    _list->setUniformRowHeights(true);
    _list->setAllColumnsShowFocus(true);
    _list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    _list->setSelectionBehavior(QAbstractItemView::SelectRows);
    _list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    _list->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView* header = _list->header();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    header->setStretchLastSection(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(_filterBox);
    layout->addWidget(_list);
    setFocusProxy(_list);

    _openFile->setStatusTip(tr("Open the selected version of the file in its viewer"));
    _showDiff->setStatusTip(tr("Compare the file's versions in the diff tool"));
    connect(_openFile, &QAction::triggered, this, &FileListView::openFile);
    connect(_showDiff, &QAction::triggered, this, &FileListView::showDiff);
    connect(_openFolder, &QAction::triggered, this, &FileListView::openContainingFolder);
    connect(&doc, &ViewDoc::viewsUpdated, this, &FileListView::onUpdate);
    connect(&doc, &ViewDoc::treeAboutToGo, this, &FileListView::onTreeAboutToGo);
    connect(_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &FileListView::onSelectionChanged);
    connect(_list, &QAbstractItemView::activated, this,
            [this] { run(QGuiApplication::keyboardModifiers() & Qt::ControlModifier); });
    connect(header, &QHeaderView::sectionClicked, this, &FileListView::onHeaderClicked);
    connect(_filterBox, &QLineEdit::textChanged, this, &FileListView::onFilterEdited);
    connect(_list, &QWidget::customContextMenuRequested, this, &FileListView::showContextMenu);
    updateActions();
}

Node* FileListView::currentFolder() const {
    Tresmo& a = _doc.archive();
    if (a.selectedDir()) return a.selectedDir();
    Node* f = _model->attached() ? _model->folder() : nullptr;
    return f && (f->flags & Node::WAS_FOLDER) ? f : nullptr;
}

void FileListView::refill(Node* folder) {
    QScopedValueRollback<bool> filling(_filling, true);
    _model->fill(folder);
    _list->resizeColumnToContents(FileListModel::NAME);
    _list->resizeColumnToContents(FileListModel::SIZE);
}

void FileListView::onUpdate(int hint, QObject* sender) {
    if (sender == this) {
        updateActions();
        return;
    }
    if (!_doc.valid()) {
        QScopedValueRollback<bool> filling(_filling, true);
        _model->detach();
        _kept = false;
        updateActions();
        return;
    }
    Tresmo& a = _doc.archive();
    switch (hint) {
        case HINT_RESET:
            _kept = false;
            refill(currentFolder());
            showArchiveSelection();
            break;
        case HINT_STRUCTURE: {
            // The nodes are new: find the folder and the selected files again by name.
            Node* folder = a.selectedDir();
            if (!folder && _kept) folder = findPath(a, _keptFolder);
            if (folder && !(folder->flags & Node::WAS_FOLDER)) folder = nullptr;
            refill(folder);
            if (_kept && folder && pathOf(folder) == _keptFolder) {
                // Both lists are in name order: one walk pairs them.
                size_t k = 0;
                for (Node* n : _model->files()) {
                    while (k < _keptSelected.size() && compareNames(_keptSelected[k], n->name) < 0)
                        ++k;
                    if (k == _keptSelected.size()) break;
                    if (compareNames(_keptSelected[k], n->name) == 0) {
                        a.selectFile(n, true);
                        ++k;
                    }
                }
                Node* cur = nullptr;
                if (!_keptCurrent.empty() && a.findChild(_keptCurrent, folder, cur) && cur->listRow)
                    _list->selectionModel()->setCurrentIndex(_model->index(cur->listRow - 1, 0),
                                                             QItemSelectionModel::NoUpdate);
            }
            _kept = false;
            showArchiveSelection();
            break;
        }
        case HINT_RANGE:
        case HINT_SELECTION: {
            Node* folder = currentFolder();
            if (_model->sameRows(folder)) {
                _model->refreshPictures();
            } else {
                refill(folder);
            }
            showArchiveSelection();
            break;
        }
        case HINT_MARKS:
            _model->refreshPictures();
            break;
        default:
            break;
    }
    updateActions();
}

void FileListView::onTreeAboutToGo() {
    if (_model->attached() && !_kept && _model->folder()) {
        _keptFolder = pathOf(_model->folder());
        _keptSelected.clear();
        for (Node* n : _model->files())
            if (n->flags & Node::SELECTED) _keptSelected.emplace_back(n->name);
        Node* cur = _model->nodeAt(_list->currentIndex().row());
        _keptCurrent = cur ? cur->name : "";
        _kept = true;
    }
    QScopedValueRollback<bool> filling(_filling, true);
    _model->detach();
    updateActions();
}

void FileListView::showArchiveSelection() {
    // Runs of selected rows become one range each, so a full selection is one range.
    QItemSelection sel;
    const auto& rows = _model->rows();
    int last = FileListModel::COLUMNS - 1;
    for (size_t i = 0; i < rows.size();) {
        if (!(rows[i]->flags & Node::SELECTED)) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j + 1 < rows.size() && (rows[j + 1]->flags & Node::SELECTED))
            ++j;
        sel.select(_model->index(static_cast<int>(i), 0), _model->index(static_cast<int>(j), last));
        i = j + 1;
    }
    QScopedValueRollback<bool> filling(_filling, true);
    _list->selectionModel()->select(sel, QItemSelectionModel::ClearAndSelect);
}

void FileListView::onSelectionChanged(const QItemSelection& selected,
                                      const QItemSelection& deselected) {
    if (_filling || _doc.busy() || !_doc.valid()) return;
    Tresmo& a = _doc.archive();
    bool changed = false;
    auto apply = [&](const QItemSelection& s, bool on) {
        for (const QItemSelectionRange& r : s)
            for (int row = r.top(); row <= r.bottom(); ++row)
                if (Node* n = _model->nodeAt(row)) {
                    a.selectFile(n, on);
                    changed = true;
                }
    };
    apply(deselected, false);
    apply(selected, true);
    if (changed) notifySelection();
}

void FileListView::notifySelection() {
    _doc.selectionEdited(this);
}

void FileListView::onFilterEdited(const QString& text) {
    if (!_model->attached()) {
        _model->setFilter(text);
        return;
    }
    {
        QScopedValueRollback<bool> filling(_filling, true);
        _model->setFilter(text);
    }
    if (_doc.busy() || !_doc.valid()) return;
    // Files the filter hides leave the selection; the others stay selected.
    Tresmo& a = _doc.archive();
    bool dropped = false;
    for (Node* n : _model->files())
        if ((n->flags & Node::SELECTED) && n->listRow == 0) {
            a.selectFile(n, false);
            dropped = true;
        }
    showArchiveSelection();
    if (dropped) notifySelection();
    updateActions();
}

void FileListView::onHeaderClicked(int section) {
    // Ascending, descending, then back to the archive's order.
    int col = section;
    Qt::SortOrder order = Qt::AscendingOrder;
    if (_model->sortColumn() == section) {
        if (_model->sortOrder() == Qt::AscendingOrder)
            order = Qt::DescendingOrder;
        else
            col = FileListModel::ARCHIVE_ORDER;
    }
    Node* cur = _model->nodeAt(_list->currentIndex().row());
    {
        QScopedValueRollback<bool> filling(_filling, true);
        _model->setSort(col, order);
    }
    QHeaderView* header = _list->header();
    header->setSortIndicatorShown(col != FileListModel::ARCHIVE_ORDER);
    if (col != FileListModel::ARCHIVE_ORDER) header->setSortIndicator(col, order);
    showArchiveSelection();
    if (cur && cur->listRow) {
        QModelIndex i = _model->index(cur->listRow - 1, 0);
        _list->selectionModel()->setCurrentIndex(i, QItemSelectionModel::NoUpdate);
        _list->scrollTo(i);
    }
}

void FileListView::updateActions() {
    bool ok = _doc.valid() && !_doc.busy() && _model->attached();
    Tresmo& a = _doc.archive();
    _openFile->setEnabled(ok && a.canOpenFile(false));
    _showDiff->setEnabled(ok && a.canOpenFile(true));
    Node* folder = ok ? _model->folder() : nullptr;
    _openFolder->setEnabled(folder && a.base()[0] && a.to() == a.now());
}

void FileListView::run(bool diff) {
    if (_doc.busy() || !_doc.valid()) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    bool started = true;
    try {
        started = _doc.archive().openFile(diff);
    } catch (const Error& e) {
        showError(e);
    }
    QApplication::restoreOverrideCursor();
    if (!started) offerToolSetup(diff);
}

void FileListView::offerToolSetup(bool diff) {
    Node* file = _doc.archive().selectedItem();
    QMessageBox ask(
        QMessageBox::Information, QString(),
        tr("No program could be started to %1 %2: none is set up for its type, and "
           "the desktop's own opener (xdg-open) is not there. Set one up now?")
            .arg(diff ? tr("compare") : tr("open"), file ? fromLocalPath(file->name) : QString()),
        QMessageBox::Yes | QMessageBox::No, this);
    if (ask.exec() != QMessageBox::Yes) return;
    ToolSetupDlg(diff ? IDS_DIFF_TOOL_SETUP : IDS_VIEWER_SETUP,
                 diff ? diffToolConfig() : viewerConfig(), this)
        .exec();
}

void FileListView::openFile() {
    if (_openFile->isEnabled()) run(false);
}

void FileListView::showDiff() {
    if (_showDiff->isEnabled()) run(true);
}

void FileListView::openContainingFolder() {
    updateActions();
    if (!_openFolder->isEnabled()) return;
    char path[MAX_PATH];
    if (_doc.archive().printPath(path, sizeof path, _model->folder()) && pathExists(path) &&
        !shellOpen(path))
        QMessageBox::information(
            this, QString(),
            tr("No program could be started to open the folder %1: the desktop's own opener "
               "(xdg-open) is not there.")
                .arg(fromLocalPath(path)));
}

void FileListView::showContextMenu(const QPoint& pos) {
    updateActions();
    QMenu menu(this);
    menu.addAction(_openFile);
    menu.addAction(_showDiff);
    if (_export) menu.addAction(_export);
    menu.addSeparator();
    menu.addAction(_openFolder);
    menu.exec(_list->viewport()->mapToGlobal(pos));
}
