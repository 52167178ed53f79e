#include "archive_gui/dialogs/SelectFilesDlg.h"

#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/FileBrowsers.h"
#include "archive_gui/util/ProgressDlg.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/ops/TypeScan.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstdio>

namespace {

// The fields hold fewer characters than this.
constexpr size_t FIELD_LIMIT = 99;
// The string-store value with the size the dialog was last closed at, "width height".
constexpr const char* SIZE_VALUE = "SelectFilesDlg.size";

// A folder the selection may watch: a valid absolute path of an existing folder, not the root.
bool isUsableFolder(const std::string& path) {
    return pathProblem(path, FIELD_LIMIT, true).isEmpty();
}

}  // namespace

SelectFilesDlg::SelectFilesDlg(const FileSel& sel, QWidget* parent, bool formatOpen)
    : QDialog(parent), _sel(sel), _formatOpen(formatOpen) {
    _folder = new QLineEdit;
    _browse = new QPushButton(QStringLiteral("..."));
    _browse->setAutoDefault(false);
    _browse->setFixedWidth(_browse->fontMetrics().horizontalAdvance("...") + 24);
    _subfolders = new QCheckBox(tr("Include subfolders, except:"));
    _exceptions = new QLineEdit;
    _plain = new QCheckBox(tr("Plain format: keep contents and times, not permission bits"));
    _include = new QRadioButton(tr("Include"));
    _exclude = new QRadioButton(tr("Exclude files by type"));
    auto* mode = new QButtonGroup(this);
    mode->addButton(_include);
    mode->addButton(_exclude);
    _types = new QTreeWidget;
    _types->setRootIsDecorated(false);
    _types->setUniformRowHeights(true);
    _types->setSelectionMode(QAbstractItemView::SingleSelection);
    _types->setAllColumnsShowFocus(true);
    _types->setMinimumSize(360, 200);
    _update = new QPushButton(tr("&Update List"));
    _update->setAutoDefault(false);
    _ok = new QPushButton(tr("OK"));
    _ok->setDefault(true);
    _cancel = new QPushButton(tr("Cancel"));
    _cancel->setAutoDefault(false);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(tr("Folder")), 0, 0);
    grid->addWidget(_folder, 0, 1);
    grid->addWidget(_browse, 0, 2);
    grid->addWidget(_subfolders, 1, 0, 1, 3);
    // The exceptions field sits under the check box, indented like the box's text.
    grid->addWidget(_exceptions, 2, 1, 1, 2);
    auto* modes = new QHBoxLayout;
    modes->addWidget(_include);
    modes->addWidget(_exclude);
    modes->addStretch();
    auto* left = new QVBoxLayout;
    left->addLayout(grid);
    left->addLayout(modes);
    left->addWidget(_types, 1);
    left->addWidget(_plain);
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(_ok);
    buttons->addWidget(_cancel);
    buttons->addSpacing(12);
    buttons->addWidget(_update);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(buttons);
    setWindowTitle(tr("Select Files"));

    _folder->setText(fromLocalPath(_sel.folder()));
    _exceptions->setText(fromLocalPath(_sel.exceptions()));
    _subfolders->setChecked(_sel.includeSubfolders());
    _plain->setChecked(!_sel.metaFormat());
    _plain->setVisible(formatOpen);
    _exceptions->setEnabled(_sel.includeSubfolders());
    (_sel.excludeTypes() ? _exclude : _include)->setChecked(true);
    _types->setHeaderLabels(
        {uiString(IDS_COL_EXTENSION), uiString(IDS_COL_COUNT), uiString(IDS_COL_SIZE_KB)});
    _types->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    _types->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);

    connect(_subfolders, &QCheckBox::toggled, _exceptions, &QLineEdit::setEnabled);
    connect(_browse, &QPushButton::clicked, this, &SelectFilesDlg::browse);
    connect(_update, &QPushButton::clicked, this, [this] {
        updateList();
        _types->setFocus();
    });
    connect(_ok, &QPushButton::clicked, this, &SelectFilesDlg::accept);
    connect(_cancel, &QPushButton::clicked, this, &QDialog::reject);
    updateList();

    char stored[32];
    int w = 0, h = 0;
    if (readRegString(SIZE_VALUE, stored, sizeof stored) &&
        std::sscanf(stored, "%d %d", &w, &h) == 2 && w > 0 && h > 0) {
        // A size from a larger screen or another scale factor is cut to this one.
        QSize size(w, h);
        if (screen()) size = size.boundedTo(screen()->availableGeometry().size());
        resize(size.expandedTo(minimumSizeHint()));
    }
}

void SelectFilesDlg::done(int result) {
    writeRegString(SIZE_VALUE,
                   QStringLiteral("%1 %2").arg(width()).arg(height()).toUtf8().constData());
    QDialog::done(result);
}

void SelectFilesDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    setColumnShares(_types, {50, 25, 25});
}

void SelectFilesDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    setColumnShares(_types, {50, 25, 25});
}

std::string SelectFilesDlg::typeOf(const QTreeWidgetItem* row) {
    return row->data(0, Qt::UserRole).toByteArray().toStdString();
}

bool SelectFilesDlg::updateList() {
    WaitCursor wait;
    FileSel scratch;
    std::string folder = toLocalPath(_folder->text());
    bool folderUsable = isUsableFolder(folder);
    if (folderUsable) scratch.setFolder(folder);
    scratch.setIncludeSubfolders(_subfolders->isChecked());
    std::string exceptions = toLocalPath(_exceptions->text());
    bool exceptionsUsable = exceptions.size() < FIELD_LIMIT;
    if (exceptionsUsable) scratch.setExceptions(exceptions);
    // The scratch selection lists no types, so the mode changes no count. In exclude mode the
    // finder reports every file, and each report is where the scan can be cancelled.
    scratch.setExcludeTypes(true);

    std::vector<TypeStat> types;
    if (folderUsable && exceptionsUsable) {
        ProgressDlg progress(this, tr("Scanning %1").arg(_folder->text()), _progressDelayMs);
        try {
            types = scanTypes(scratch, progress);
        } catch (Error& e) {
            if (e.code == 2032) return false;
            showError(e);
        }
    }

    int k = 0;
    for (const TypeStat& t : types) {
        while (k < _types->topLevelItemCount() && typeOf(_types->topLevelItem(k)) < t.type)
            delete _types->takeTopLevelItem(k);
        QTreeWidgetItem* row = _types->topLevelItem(k);
        if (!row || typeOf(row) != t.type) {
            row = new QTreeWidgetItem;
            row->setData(0, Qt::UserRole, QByteArray::fromStdString(t.type));
            row->setText(0, fromLocalPath(t.type));
            row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
            row->setCheckState(0, _sel.isListed(t.type) ? Qt::Checked : Qt::Unchecked);
            row->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
            row->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            _types->insertTopLevelItem(k, row);
        }
        row->setText(1, QString::number(t.count));
        // Whole kilobytes, rounded up: one byte shows as 1.
        row->setText(2, QString::number(static_cast<int64_t>((t.bytes + 1023) / 1024)));
        ++k;
    }
    while (_types->topLevelItemCount() > k)
        delete _types->takeTopLevelItem(k);
    return true;
}

void SelectFilesDlg::browse() {
    if (FolderBrowser(this).browseFolderInto(_folder)) updateList();
    _folder->setFocus();
    _folder->selectAll();
}

bool SelectFilesDlg::exchange() {
    std::string folder = toLocalPath(_folder->text());
    if (QString why = pathProblem(folder, FIELD_LIMIT, true); !why.isEmpty()) {
        failOnField(_folder, uiString(IDS_FIELD_FOLDER), why);
        return false;
    }
    _sel.setFolder(folder);
    _sel.setIncludeSubfolders(_subfolders->isChecked());
    if (_formatOpen) _sel.setMetaFormat(!_plain->isChecked());
    std::string exceptions = toLocalPath(_exceptions->text());
    if (exceptions.size() >= FIELD_LIMIT) {
        failOnField(_exceptions, uiString(IDS_FIELD_EXCEPTIONS),
                    uiFormat(IDS_TOO_LONG, {QString::number(FIELD_LIMIT)}));
        return false;
    }
    _sel.setExceptions(exceptions);
    _sel.setExcludeTypes(_exclude->isChecked());
    for (int i = 0; i < _types->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = _types->topLevelItem(i);
        _sel.setListed(typeOf(row), row->checkState(0) == Qt::Checked);
    }
    return true;
}

void SelectFilesDlg::accept() {
    if (exchange()) QDialog::accept();
}
