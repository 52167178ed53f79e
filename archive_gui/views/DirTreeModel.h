// The folder tree as a Qt model: a thin adapter over the archive's tree that shows every folder
// present at some point of the range (Node::WAS_FOLDER), in the archive's child order.
//
// Items are made lazily, level by level, when the view first asks for a folder's children;
// nothing is built for folders the user never opens. Each item keeps its node, and the node
// points back to its item (Node::treeItem). An item also keeps a copy of its name, so that
// after a reload (new nodes) the view can find its folders again by name without touching the
// freed tree. detach() drops every pointer into the tree; the model is then empty.
#pragma once

#include "archive/tree/TresmoData.h"

#include <QAbstractItemModel>

#include <memory>
#include <string>
#include <vector>

class ViewDoc;

class DirTreeModel : public QAbstractItemModel {
    Q_OBJECT

  public:
    explicit DirTreeModel(ViewDoc& doc, QObject* parent = nullptr);
    ~DirTreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Builds the top level afresh from the archive's root (the reset and the reload).
    void rebuild();
    // Forgets the tree: every node pointer goes, the model shows nothing.
    void detach();
    bool attached() const { return _attached; }
    // After a range change (same nodes): items of folders no longer present go, folders that
    // became present get items at their place in child order. A merge walk per built level.
    void resyncRange();
    // Tells the view that every built item's picture may have changed.
    void refreshPictures();

    // The rows of index made so far, without making any.
    int builtRowCount(const QModelIndex& index) const;
    Node* nodeOf(const QModelIndex& index) const;
    // The index of a folder's item, making the items on its path; invalid when not shown.
    QModelIndex indexOf(const Node* node) const;
    // The index reached from the top item by the names in path (the top item matches the
    // root whatever its name); invalid when a name is not found.
    QModelIndex indexByNames(const std::vector<std::string>& path) const;
    // The names from the top item down to index (the top item's own name first).
    std::vector<std::string> namesOf(const QModelIndex& index) const;

  private:
    struct Item {
        Node* node = nullptr;
        Item* parent = nullptr;
        int row = 0;
        bool built = false;
        std::string name;
        std::vector<std::unique_ptr<Item>> kids;
    };

    bool shown(const Node* n) const;
    Item* itemOf(const QModelIndex& index) const;
    QModelIndex indexOfItem(const Item* item) const;
    std::unique_ptr<Item> makeItem(Node* node, Item* parent, int row) const;
    // Makes the items for node's shown folder children (once).
    void build(Item* item) const;
    void resync(Item* item, const QModelIndex& index);
    void forget(Item* item);
    void pictures(Item* item, const QModelIndex& index);

    ViewDoc& _doc;
    bool _attached = false;
    // The top level: the root's item, when the root is shown. Built lazily below it.
    mutable std::vector<std::unique_ptr<Item>> _top;
};
