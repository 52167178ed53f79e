// The file list as a Qt model: the files of one folder that are present at some point of the
// range (Node::WAS_FILE), in the archive's child order unless the user sorts by a column, and
// narrowed by a name filter. Rows are pointers to the folder's child nodes; a node records its
// row plus one in Node::listRow (0 when it has none).
//
// The row vector is the only thing kept per row: names, sizes and pictures are read from the
// nodes when the view asks for them, so a folder of 100,000 files costs one pointer walk.
#pragma once

#include "archive/tree/TresmoData.h"

#include <QAbstractTableModel>
#include <QString>

#include <vector>

class ViewDoc;

class FileListModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column { NAME = 0, SIZE = 1, MODIFIED = 2, COLUMNS = 3 };
    // No sort column: the archive's order.
    static constexpr int ARCHIVE_ORDER = -1;

    explicit FileListModel(ViewDoc& doc, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Shows the files of folder (none for null), rebuilding every row.
    void fill(Node* folder);
    // True when fill(folder) would give exactly the rows shown now, in the same order.
    bool sameRows(Node* folder) const;
    // Forgets the tree without reading it: the nodes may be gone already.
    void detach();
    bool attached() const { return _attached; }
    void refreshPictures();

    // Narrows the rows to names containing text, without regard to case; refills.
    void setFilter(const QString& text);
    const QString& filter() const { return _filter; }
    // Orders the rows by column (ARCHIVE_ORDER for the archive's order); refills.
    void setSort(int column, Qt::SortOrder order);
    int sortColumn() const { return _sortColumn; }
    Qt::SortOrder sortOrder() const { return _sortOrder; }

    Node* folder() const { return _folder; }
    Node* nodeAt(int row) const;
    const std::vector<Node*>& rows() const { return _rows; }
    // The folder's shown files in the archive's order, filter or not.
    const std::vector<Node*>& files() const { return _files; }

  private:
    bool passes(const Node* n) const;
    void order();
    // The size shown for n: a pending file's as it is on disk, -1 when unknown (a file gone).
    int64_t sizeOf(const Node* n) const;
    int64_t timeOf(const Node* n) const;

    ViewDoc& _doc;
    bool _attached = false;
    Node* _folder = nullptr;
    std::vector<Node*> _files;
    std::vector<Node*> _rows;
    QString _filter;
    int _sortColumn = ARCHIVE_ORDER;
    Qt::SortOrder _sortOrder = Qt::AscendingOrder;
};
