#include "archive_gui/views/DirTreeModel.h"

#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/ChangeIcons.h"

#include "archive/ops/Tresmo.h"

DirTreeModel::DirTreeModel(ViewDoc& doc, QObject* parent) : QAbstractItemModel(parent), _doc(doc) {}

DirTreeModel::~DirTreeModel() = default;

bool DirTreeModel::shown(const Node* n) const {
    return n->flags & Node::WAS_FOLDER;
}

DirTreeModel::Item* DirTreeModel::itemOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Item*>(index.internalPointer()) : nullptr;
}

QModelIndex DirTreeModel::indexOfItem(const Item* item) const {
    return item ? createIndex(item->row, 0, item) : QModelIndex();
}

std::unique_ptr<DirTreeModel::Item> DirTreeModel::makeItem(Node* node, Item* parent,
                                                           int row) const {
    auto item = std::make_unique<Item>();
    item->node = node;
    item->parent = parent;
    item->row = row;
    item->name = node->name ? node->name : "";
    node->treeItem = item.get();
    return item;
}

void DirTreeModel::build(Item* item) const {
    if (item->built) return;
    item->built = true;
    for (Node* c = item->node->firstChild; c; c = c->next)
        if (shown(c)) item->kids.push_back(makeItem(c, item, static_cast<int>(item->kids.size())));
}

QModelIndex DirTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    if (!parent.isValid())
        return row < static_cast<int>(_top.size()) ? createIndex(row, 0, _top[row].get())
                                                   : QModelIndex();
    Item* p = itemOf(parent);
    build(p);
    if (row >= static_cast<int>(p->kids.size())) return {};
    return createIndex(row, 0, p->kids[row].get());
}

QModelIndex DirTreeModel::parent(const QModelIndex& child) const {
    Item* item = itemOf(child);
    return item ? indexOfItem(item->parent) : QModelIndex();
}

int DirTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return static_cast<int>(_top.size());
    if (parent.column() != 0 || _doc.busy()) return 0;
    Item* p = itemOf(parent);
    build(p);
    return static_cast<int>(p->kids.size());
}

int DirTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

bool DirTreeModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) return !_top.empty();
    Item* p = itemOf(parent);
    if (p->built) return !p->kids.empty();
    if (_doc.busy()) return false;
    // Answered without making items: the first shown folder among the children decides.
    for (const Node* c = p->node->firstChild; c; c = c->next)
        if (shown(c)) return true;
    return false;
}

QVariant DirTreeModel::data(const QModelIndex& index, int role) const {
    Item* item = itemOf(index);
    if (!item || _doc.busy()) return {};
    const Tresmo& a = _doc.archive();
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromUtf8(item->name);
        case Qt::DecorationRole: {
            NodeState s = a.changeState(item->node);
            return views::icon(views::Kind::Folder, views::iconIndex(s), views::overlayFor(s));
        }
        case views::NodeRole:
            return QVariant::fromValue(reinterpret_cast<quintptr>(item->node));
        case views::StateRole:
            return static_cast<int>(a.changeState(item->node));
        case views::IconRole:
            return views::iconIndex(a.changeState(item->node));
        case views::OverlayRole:
            return static_cast<int>(views::overlayFor(a.changeState(item->node)));
        default:
            return {};
    }
}

void DirTreeModel::forget(Item* item) {
    // Only reached while the nodes are still valid (a range change, not a reload).
    item->node->treeItem = nullptr;
    for (auto& k : item->kids)
        forget(k.get());
}

void DirTreeModel::detach() {
    beginResetModel();
    // The nodes may already be gone: their back pointers die with them.
    _top.clear();
    _attached = false;
    endResetModel();
}

void DirTreeModel::rebuild() {
    beginResetModel();
    _top.clear();
    _attached = _doc.valid();
    Node* root = _attached ? _doc.archive().root() : nullptr;
    if (root && shown(root)) _top.push_back(makeItem(root, nullptr, 0));
    endResetModel();
}

void DirTreeModel::resync(Item* item, const QModelIndex& index) {
    if (!item->built) return;
    // Both the items and the children are in child order, so one walk matches them: an item
    // whose node is passed without being shown goes, a shown child without an item gets one.
    size_t k = 0;
    for (Node* c = item->node->firstChild; c; c = c->next) {
        bool has = k < item->kids.size() && item->kids[k]->node == c;
        if (has && !shown(c)) {
            int row = static_cast<int>(k);
            beginRemoveRows(index, row, row);
            forget(item->kids[k].get());
            item->kids.erase(item->kids.begin() + row);
            for (size_t j = k; j < item->kids.size(); ++j)
                item->kids[j]->row = static_cast<int>(j);
            endRemoveRows();
        } else if (has) {
            resync(item->kids[k].get(), createIndex(static_cast<int>(k), 0, item->kids[k].get()));
            ++k;
        } else if (shown(c)) {
            int row = static_cast<int>(k);
            beginInsertRows(index, row, row);
            item->kids.insert(item->kids.begin() + row, makeItem(c, item, row));
            for (size_t j = k + 1; j < item->kids.size(); ++j)
                item->kids[j]->row = static_cast<int>(j);
            endInsertRows();
            ++k;
        }
    }
}

void DirTreeModel::resyncRange() {
    if (!_attached) return rebuild();
    Node* root = _doc.archive().root();
    bool rootShown = root && shown(root);
    if (!_top.empty() && !rootShown) {
        beginRemoveRows({}, 0, 0);
        forget(_top[0].get());
        _top.clear();
        endRemoveRows();
    } else if (_top.empty() && rootShown) {
        beginInsertRows({}, 0, 0);
        _top.push_back(makeItem(root, nullptr, 0));
        endInsertRows();
    } else if (!_top.empty()) {
        resync(_top[0].get(), index(0, 0));
    }
}

void DirTreeModel::pictures(Item* item, const QModelIndex& idx) {
    if (!item->built || item->kids.empty()) return;
    emit dataChanged(index(0, 0, idx), index(static_cast<int>(item->kids.size()) - 1, 0, idx),
                     {Qt::DecorationRole});
    for (auto& k : item->kids)
        pictures(k.get(), createIndex(k->row, 0, k.get()));
}

void DirTreeModel::refreshPictures() {
    if (_top.empty()) return;
    emit dataChanged(index(0, 0), index(0, 0), {Qt::DecorationRole});
    pictures(_top[0].get(), index(0, 0));
}

int DirTreeModel::builtRowCount(const QModelIndex& index) const {
    Item* item = itemOf(index);
    return item && item->built ? static_cast<int>(item->kids.size()) : 0;
}

Node* DirTreeModel::nodeOf(const QModelIndex& index) const {
    Item* item = itemOf(index);
    return item ? item->node : nullptr;
}

QModelIndex DirTreeModel::indexOf(const Node* node) const {
    if (!node || _top.empty()) return {};
    if (node->treeItem) return indexOfItem(static_cast<Item*>(node->treeItem));
    if (!node->parent || !shown(node)) return {};
    QModelIndex p = indexOf(node->parent);
    if (!p.isValid()) return {};
    build(itemOf(p));
    return node->treeItem ? indexOfItem(static_cast<Item*>(node->treeItem)) : QModelIndex();
}

QModelIndex DirTreeModel::indexByNames(const std::vector<std::string>& path) const {
    if (path.empty() || _top.empty()) return {};
    Item* item = _top[0].get();
    for (size_t i = 1; i < path.size(); ++i) {
        build(item);
        Item* next = nullptr;
        for (auto& k : item->kids)
            if (compareNames(k->name, path[i]) == 0) {
                next = k.get();
                break;
            }
        if (!next) return {};
        item = next;
    }
    return indexOfItem(item);
}

std::vector<std::string> DirTreeModel::namesOf(const QModelIndex& index) const {
    std::vector<std::string> names;
    for (Item* item = itemOf(index); item; item = item->parent)
        names.insert(names.begin(), item->name);
    return names;
}
