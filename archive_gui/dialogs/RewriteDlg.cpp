#include "archive_gui/dialogs/RewriteDlg.h"

#include "archive_gui/util/DlgUtils.h"

#include "archive/support/paths.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

RewriteDlg::RewriteDlg(const std::string& archive, int transactions, QWidget* parent)
    : QDialog(parent), _archive(archive) {
    setWindowTitle(tr("Rewrite Archive"));
    _all = new QRadioButton(tr("Keep &every transaction (%1)").arg(transactions));
    _last = new QRadioButton(tr("Keep the &last"));
    _since = new QRadioButton(tr("Keep the transactions &since"));
    auto* keep = new QButtonGroup(this);
    for (QRadioButton* b : {_all, _last, _since})
        keep->addButton(b);
    _all->setChecked(true);
    _count = new QSpinBox;
    _count->setRange(1, std::max(1, transactions));
    _count->setValue(std::max(1, transactions / 2));
    _count->setSuffix(tr(" transactions"));
    _day = new QDateEdit(QDate::currentDate().addYears(-1));
    _day->setCalendarPopup(true);
    _day->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
    _replace = new QCheckBox(tr("Put the new archive in this one's &place (this one is kept "
                                "beside it as \"%1\")")
                                 .arg(fromLocalPath(beforeRewritePath(archive))));
    _replace->setChecked(true);
    char dir[MAX_PATH], title[MAX_PATH];
    std::string proposal = archive + "-rewritten.trsm";
    if (getParentPath(dir, sizeof dir, archive.c_str()) &&
        getFileTitle(title, sizeof title, archive.c_str()))
        proposal =
            std::string(dir == std::string("/") ? "" : dir) + "/" + title + "-rewritten.trsm";
    _path = new QLineEdit(fromLocalPath(proposal));
    _path->setEnabled(false);
    connect(_replace, &QCheckBox::toggled, _path, [this](bool on) { _path->setEnabled(!on); });
    auto sync = [this] {
        _count->setEnabled(_last->isChecked());
        _day->setEnabled(_since->isChecked());
    };
    for (QRadioButton* b : {_all, _last, _since})
        connect(b, &QRadioButton::toggled, this, sync);
    sync();

    auto* text = new QLabel(
        tr("Every state kept is saved anew into a new archive, at its own time; versions that "
           "cannot be restored are left out and listed. Nothing is written into this archive."));
    text->setWordWrap(true);
    auto* grid = new QGridLayout;
    grid->addWidget(_all, 0, 0, 1, 2);
    grid->addWidget(_last, 1, 0);
    grid->addWidget(_count, 1, 1);
    grid->addWidget(_since, 2, 0);
    grid->addWidget(_day, 2, 1);
    grid->addWidget(_replace, 3, 0, 1, 2);
    grid->addWidget(new QLabel(tr("New archive:")), 4, 0);
    grid->addWidget(_path, 4, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    _ok = buttons->button(QDialogButtonBox::Ok);
    _ok->setText(tr("&Rewrite"));
    connect(buttons, &QDialogButtonBox::accepted, this, &RewriteDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &RewriteDlg::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(grid);
    layout->addWidget(buttons);
}

RewriteOptions RewriteDlg::options() const {
    RewriteOptions o;
    if (_last->isChecked()) o.keepLast = _count->value();
    if (_since->isChecked()) o.keepSince = _day->date().startOfDay().toSecsSinceEpoch();
    o.replace = _replace->isChecked();
    return o;
}

std::string RewriteDlg::newPath() const {
    return _replace->isChecked() ? _archive + ".rewrite-new" : toLocalPath(_path->text());
}

void RewriteDlg::accept() {
    const std::string path = newPath();
    if (!_replace->isChecked() && (!isValidPath(path.c_str()) || pathExists(path.c_str()))) {
        QMessageBox::warning(
            this, windowTitle(),
            tr("The new archive needs a name that is not taken: %1").arg(fromLocalPath(path)));
        _path->setFocus();
        return;
    }
    QDialog::accept();
}
