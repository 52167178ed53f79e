// The folder tree pane: every folder present within the range, with its change picture; the
// folders that changed within the range are expanded. Selecting a folder makes it the
// document's selection, which the file list and the version list follow.
//
// The view keeps, across a reload, the names of the selected folder and of the expanded ones,
// and finds them again in the new tree by name.
#pragma once

#include <QWidget>

#include <string>
#include <vector>

class DirTreeModel;
class QTreeView;
class ViewDoc;

class DirTreeView : public QWidget {
    Q_OBJECT

  public:
    explicit DirTreeView(ViewDoc& doc, QWidget* parent = nullptr);

    QTreeView* treeView() const { return _tree; }
    DirTreeModel* model() const { return _model; }

    // The first update after a document was opened: every view rebuilds (HINT_RESET); the
    // tree then applies the expansion rule and selects its top item.
    void initialUpdate();

  private:
    void onUpdate(int hint, QObject* sender);
    void onTreeAboutToGo();
    void onSelectionChanged();
    // A click on the highlighted folder while files are the selection makes it the selection
    // again: no selection change tells about it.
    void onClicked(const QModelIndex& index);
    // Expands exactly the folders that changed within the range.
    void applyExpansion();
    void selectIndex(const QModelIndex& index);
    void keepState();
    void restoreState();

    ViewDoc& _doc;
    QTreeView* _tree;
    DirTreeModel* _model;
    bool _filling = false;
    bool _kept = false;
    std::vector<std::string> _selPath;
    std::vector<std::vector<std::string>> _expanded;
};
