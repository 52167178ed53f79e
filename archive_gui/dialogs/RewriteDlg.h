// The Rewrite Archive dialog: which transactions a rewrite keeps, and where the new archive
// goes.
//
// Everything is kept by default (a compaction, or a salvage of a damaged archive); the last N
// transactions or those since a day can be kept instead. By default the new archive takes the
// old one's place once complete, and the old one stays beside it; otherwise the new archive is
// written under the name in the field.
#pragma once

#include "archive/ops/Rewrite.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QDateEdit;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

class RewriteDlg : public QDialog {
    Q_OBJECT

  public:
    // archive: the open archive's path; transactions: how many it holds.
    RewriteDlg(const std::string& archive, int transactions, QWidget* parent = nullptr);

    // After OK: what to keep and whether to replace (the folder is the caller's).
    RewriteOptions options() const;
    // The new archive's path; with replace, the name it is written under until it takes the
    // old one's place.
    std::string newPath() const;

    QRadioButton* keepAllButton() const { return _all; }
    QRadioButton* keepLastButton() const { return _last; }
    QRadioButton* keepSinceButton() const { return _since; }
    QSpinBox* lastField() const { return _count; }
    QDateEdit* sinceField() const { return _day; }
    QCheckBox* replaceBox() const { return _replace; }
    QLineEdit* pathField() const { return _path; }
    QPushButton* okButton() const { return _ok; }

  public slots:
    void accept() override;

  private:
    std::string _archive;
    QRadioButton *_all, *_last, *_since;
    QSpinBox* _count;
    QDateEdit* _day;
    QCheckBox* _replace;
    QLineEdit* _path;
    QPushButton* _ok;
};
