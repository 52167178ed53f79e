// The file list pane: the files of the selected folder that exist within the range, each with
// its change picture, size and time. Selecting rows makes those files the document's
// selection (one notification however many rows change at once). Enter or a double-click
// opens the one selected file in its viewer, Ctrl+Enter compares it in the diff tool.
//
// A filter box narrows the rows by name; a row it hides leaves the selection. Clicking a
// column header sorts by it, ascending then descending, and a third click goes back to the
// archive's order.
//
// Across a reload the view keeps the folder's path and the names of the selected files, and
// finds them again in the new tree by one merge walk over the folder's name-ordered children.
#pragma once

#include <QWidget>

#include <string>
#include <vector>

class FileListModel;
class QAction;
class QItemSelection;
class QLineEdit;
class QTreeView;
class ViewDoc;
struct Node;

class FileListView : public QWidget {
    Q_OBJECT

  public:
    explicit FileListView(ViewDoc& doc, QWidget* parent = nullptr);

    QTreeView* listView() const { return _list; }
    FileListModel* model() const { return _model; }
    QLineEdit* filterBox() const { return _filterBox; }

    // The commands Open File and Show Diff, enabled as the selection allows; the frame puts
    // them in its menu and toolbar.
    QAction* openFileAction() const { return _openFile; }
    QAction* showDiffAction() const { return _showDiff; }
    QAction* openFolderAction() const { return _openFolder; }
    // The document's Export command, offered in the context menu too when set.
    void setExportAction(QAction* action) { _export = action; }

    // Re-evaluates the enabling of the commands.
    void updateActions();

  public slots:
    void openFile();
    void showDiff();
    void openContainingFolder();

  private:
    void onUpdate(int hint, QObject* sender);
    void onTreeAboutToGo();
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void onHeaderClicked(int section);
    void onFilterEdited(const QString& text);
    void showContextMenu(const QPoint& pos);
    // The folder to show: the archive's selection folder, else the one shown (if still shown).
    Node* currentFolder() const;
    // Makes the rows' selection that of the archive's selected files, silently.
    void showArchiveSelection();
    void refill(Node* folder);
    void notifySelection();
    void run(bool diff);
    // Says that nothing could open the selected file and offers the viewer or diff setup.
    void offerToolSetup(bool diff);

    ViewDoc& _doc;
    QLineEdit* _filterBox;
    QTreeView* _list;
    FileListModel* _model;
    QAction* _openFile;
    QAction* _showDiff;
    QAction* _openFolder;
    QAction* _export = nullptr;
    bool _filling = false;
    // Kept from before a reload.
    bool _kept = false;
    std::vector<std::string> _keptFolder;
    std::vector<std::string> _keptSelected;
    std::string _keptCurrent;
};
