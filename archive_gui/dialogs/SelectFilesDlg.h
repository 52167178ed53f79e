// The Select Files dialog: edits a document's file selection.
//
// The dialog works on its own handle to the selection, which shares the caller's object until
// a field really changes (FileSel copies on write). So after OK the caller adopts selection()
// only when it no longer shares with its own: OK without a change hands back the same object.
//
// The type list is filled by a scan of the folder as the fields describe it, on a scratch
// selection, so a scan never touches the dialog's selection. Check boxes the user changed
// survive a later scan for every type still found. A long scan shows its progress and can be
// cancelled; the list then stays as it was and the dialog stays open. The dialog opens at the
// size it was closed at, kept in the string store.
#pragma once

#include "archive/objects/FileSel.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;
class QTreeWidgetItem;

class SelectFilesDlg : public QDialog {
    Q_OBJECT

  public:
    // formatOpen: the archive has no transaction yet, so the selection still chooses whether
    // it keeps permission bits (a check box for the plain format, as init --plain-format).
    explicit SelectFilesDlg(const FileSel& sel, QWidget* parent = nullptr, bool formatOpen = false);

    // The dialog's handle; after OK it holds the fields' values.
    const FileSel& selection() const { return _sel; }

    // How long a scan runs before its progress box appears (tests and pictures set 0).
    void setProgressDelay(int ms) { _progressDelayMs = ms; }
    // Rescans the folder and merges the types found into the list; false when cancelled.
    bool updateList();
    // The type a row stands for, as the scan reported it.
    static std::string typeOf(const QTreeWidgetItem* row);

    QLineEdit* folderField() const { return _folder; }
    QPushButton* browseButton() const { return _browse; }
    QCheckBox* subfoldersBox() const { return _subfolders; }
    QCheckBox* plainFormatBox() const { return _plain; }
    QLineEdit* exceptionsField() const { return _exceptions; }
    QRadioButton* includeButton() const { return _include; }
    QRadioButton* excludeButton() const { return _exclude; }
    QTreeWidget* typeList() const { return _types; }
    QPushButton* updateButton() const { return _update; }
    QPushButton* okButton() const { return _ok; }
    QPushButton* cancelButton() const { return _cancel; }

  public slots:
    void accept() override;
    // Closes the dialog and keeps its size for the next one.
    void done(int result) override;

  protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Reads and checks the fields into the selection; false (the field refused) on failure.
    bool exchange();
    void browse();

    FileSel _sel;
    bool _formatOpen;
    int _progressDelayMs = 400;

    QLineEdit* _folder;
    QPushButton* _browse;
    QCheckBox* _subfolders;
    QCheckBox* _plain;
    QLineEdit* _exceptions;
    QRadioButton* _include;
    QRadioButton* _exclude;
    QTreeWidget* _types;
    QPushButton* _update;
    QPushButton* _ok;
    QPushButton* _cancel;
};
