#include "archive_gui/views/FileListModel.h"

#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/ChangeIcons.h"

#include "archive/ops/Tresmo.h"
#include "archive/os/os.h"
#include "archive/support/paths.h"
#include "archive/support/tstamp.h"

#include <QLocale>

#include <algorithm>

namespace {

bool shown(const Node* n) {
    return n->flags & Node::WAS_FILE;
}

}  // namespace

FileListModel::FileListModel(ViewDoc& doc, QObject* parent)
    : QAbstractTableModel(parent), _doc(doc) {}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(_rows.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : COLUMNS;
}

Node* FileListModel::nodeAt(int row) const {
    return row >= 0 && row < static_cast<int>(_rows.size()) ? _rows[row] : nullptr;
}

int64_t FileListModel::sizeOf(const Node* n) const {
    const Tresmo& a = _doc.archive();
    if (a.to() == a.now() && (n->flags & Node::CHANGED)) {
        // A pending change has no stored version yet: the file on disk tells its size.
        char path[MAX_PATH];
        struct stat st;
        if (n->kind() == NodeKind::File && a.printPath(path, sizeof path, n) &&
            os::sys().stat(path, &st) == 0)
            return st.st_size;
        return -1;
    }
    const Version* v = Tresmo::versionAt(n, a.to());
    const ContentInfo* c = v ? v->content() : nullptr;
    return c ? c->size : -1;
}

int64_t FileListModel::timeOf(const Node* n) const {
    const Tresmo& a = _doc.archive();
    // The scan's time for the current state; the stored version's for a past range end.
    if (a.to() == a.now() && n->kind() == NodeKind::File) return n->mtime;
    const Version* v = Tresmo::versionAt(n, a.to());
    const ContentInfo* c = v ? v->content() : nullptr;
    return c ? c->mtime : 0;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    Node* n = index.isValid() ? nodeAt(index.row()) : nullptr;
    if (!n || _doc.busy()) return {};
    const Tresmo& a = _doc.archive();
    int col = index.column();
    switch (role) {
        case Qt::DisplayRole:
            if (col == NAME) return QString::fromUtf8(n->name);
            if (col == SIZE) {
                int64_t s = sizeOf(n);
                return s < 0 ? QString() : QLocale().formattedDataSize(s);
            }
            if (col == MODIFIED) {
                // The locale's form, as the version list shows its times.
                char buf[101];
                int64_t t = timeOf(n);
                return t == 0 || !formatTime(buf, sizeof buf, t, 0) ? QString()
                                                                    : QString::fromLocal8Bit(buf);
            }
            return {};
        case Qt::TextAlignmentRole:
            if (col == SIZE) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
            return {};
        case Qt::DecorationRole:
            if (col != NAME) return {};
            {
                NodeState s = a.changeState(n);
                // What it is at the end of the range: as scanned, or as stored then.
                const Version* v = Tresmo::versionAt(n, a.to());
                const bool link = a.to() == a.now() && n->kind() == NodeKind::File
                                      ? (n->mode & LINK_MODE) != 0
                                      : v && v->isLink();
                return views::icon(link ? views::Kind::Link : views::Kind::File,
                                   views::iconIndex(s), views::overlayFor(s));
            }
        case views::NodeRole:
            return QVariant::fromValue(reinterpret_cast<quintptr>(n));
        case views::StateRole:
            return static_cast<int>(a.changeState(n));
        case views::IconRole:
            return views::iconIndex(a.changeState(n));
        case views::OverlayRole:
            return static_cast<int>(views::overlayFor(a.changeState(n)));
        default:
            return {};
    }
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case NAME:
            return tr("Name");
        case SIZE:
            return tr("Size");
        case MODIFIED:
            return tr("Modified");
        default:
            return {};
    }
}

bool FileListModel::passes(const Node* n) const {
    return _filter.isEmpty() || QString::fromUtf8(n->name).contains(_filter, Qt::CaseInsensitive);
}

void FileListModel::order() {
    _rows.clear();
    _rows.reserve(_files.size());
    for (Node* n : _files)
        if (passes(n)) _rows.push_back(n);
    if (_sortColumn == NAME || _sortColumn == ARCHIVE_ORDER) {
        // The archive's order is the name order already.
        if (_sortColumn == NAME && _sortOrder == Qt::DescendingOrder)
            std::reverse(_rows.begin(), _rows.end());
        return;
    }
    // Keys once per row; ties keep the archive's order.
    std::vector<std::pair<int64_t, Node*>> keyed;
    keyed.reserve(_rows.size());
    for (Node* n : _rows)
        keyed.emplace_back(_sortColumn == SIZE ? sizeOf(n) : timeOf(n), n);
    bool desc = _sortOrder == Qt::DescendingOrder;
    std::stable_sort(keyed.begin(), keyed.end(), [desc](const auto& x, const auto& y) {
        return desc ? x.first > y.first : x.first < y.first;
    });
    for (size_t i = 0; i < keyed.size(); ++i)
        _rows[i] = keyed[i].second;
}

void FileListModel::fill(Node* folder) {
    beginResetModel();
    if (_attached)
        for (Node* n : _rows)
            n->listRow = 0;
    _attached = _doc.valid();
    _folder = _attached ? folder : nullptr;
    _files.clear();
    _rows.clear();
    if (_folder) {
        for (Node* c = _folder->firstChild; c; c = c->next)
            if (shown(c)) _files.push_back(c);
        order();
        for (size_t i = 0; i < _rows.size(); ++i)
            _rows[i]->listRow = static_cast<int32_t>(i + 1);
    }
    endResetModel();
}

bool FileListModel::sameRows(Node* folder) const {
    if (!_attached || folder != _folder) return false;
    if (!folder) return true;
    // Sizes and times depend on the range, so a sorted order may change with it.
    if (_sortColumn == SIZE || _sortColumn == MODIFIED) return false;
    size_t k = 0;
    for (const Node* c = folder->firstChild; c; c = c->next) {
        if (!shown(c)) continue;
        if (k == _files.size() || _files[k] != c) return false;
        ++k;
    }
    return k == _files.size();
}

void FileListModel::detach() {
    beginResetModel();
    _attached = false;
    _folder = nullptr;
    _files.clear();
    _rows.clear();
    endResetModel();
}

void FileListModel::refreshPictures() {
    if (_rows.empty()) return;
    emit dataChanged(index(0, 0), index(static_cast<int>(_rows.size()) - 1, COLUMNS - 1));
}

void FileListModel::setFilter(const QString& text) {
    if (text == _filter) return;
    _filter = text;
    fill(_folder);
}

void FileListModel::setSort(int column, Qt::SortOrder order) {
    _sortColumn = column;
    _sortOrder = order;
    fill(_folder);
}
