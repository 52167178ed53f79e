// The Tool Setup dialog: edits the viewer list or the diff tool list.
//
// The list shows every entry of the configuration (program file name, options, extension
// list). Enter or a double-click loads the selected row into the fields; "Add" stores the
// fields as a new entry, "Update" into the loaded row (enabled only while that row is the
// selected one), "Delete" removes the selected entry. Every change is stored at once by the
// configuration, so "Close" has nothing left to save. Fields that fail their check are
// refused with "Invalid input" and nothing is stored. Enter never presses a button.
#pragma once

#include "archive/objects/ToolConfig.h"

#include <QDialog>

class QLineEdit;
class QPushButton;
class QTreeWidget;

class ToolSetupDlg : public QDialog {
    Q_OBJECT

  public:
    // titleId: IDS_VIEWER_SETUP or IDS_DIFF_TOOL_SETUP. The configuration is not owned.
    ToolSetupDlg(int titleId, ToolConfig& config, QWidget* parent = nullptr);

    int loadedRow() const { return _loaded; }

    QLineEdit* programField() const { return _program; }
    QLineEdit* extListField() const { return _extList; }
    QLineEdit* optionsField() const { return _options; }
    QTreeWidget* list() const { return _list; }
    QPushButton* browseButton() const { return _browse; }
    QPushButton* addButton() const { return _add; }
    QPushButton* updateButton() const { return _update; }
    QPushButton* deleteButton() const { return _delete; }
    QPushButton* closeButton() const { return _close; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // The selected row, or -1.
    int selectionMark() const;
    void loadRow();
    // Checks the fields and stores them as entry index (-1: a new one).
    void store(int index);
    void removeSelected();
    void setRow(int row, int entry);
    void onRowSelected(int row);

    ToolConfig& _config;
    int _loaded = -1;

    QLineEdit* _program;
    QPushButton* _browse;
    QLineEdit* _extList;
    QLineEdit* _options;
    QTreeWidget* _list;
    QPushButton* _add;
    QPushButton* _update;
    QPushButton* _delete;
    QPushButton* _close;
};
