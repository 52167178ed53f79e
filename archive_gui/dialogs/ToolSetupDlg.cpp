#include "archive_gui/dialogs/ToolSetupDlg.h"

#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/FileBrowsers.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/support/msg.h"
#include "archive/support/paths.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The fields hold fewer characters than this.
constexpr size_t FIELD_LIMIT = 99;

bool isEnter(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) return false;
    int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

QPushButton* plainButton(const QString& text) {
    auto* b = new QPushButton(text);
    // No button is pressed by Enter: a dialog that is filled in field by field must not
    // store or close half-way.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

}  // namespace

ToolSetupDlg::ToolSetupDlg(int titleId, ToolConfig& config, QWidget* parent)
    : QDialog(parent), _config(config) {
    _program = new QLineEdit;
    _browse = plainButton(QStringLiteral("..."));
    _browse->setFixedWidth(_browse->fontMetrics().horizontalAdvance("...") + 24);
    _extList = new QLineEdit;
    _options = new QLineEdit;
    for (QLineEdit* field : {_program, _extList, _options})
        field->setMaxLength(static_cast<int>(FIELD_LIMIT) * 4);
    _list = new QTreeWidget;
    _list->setRootIsDecorated(false);
    _list->setUniformRowHeights(true);
    _list->setSelectionMode(QAbstractItemView::SingleSelection);
    _list->setAllColumnsShowFocus(true);
    _list->setMinimumSize(420, 160);
    _add = plainButton(tr("&Add"));
    _update = plainButton(tr("&Update"));
    _delete = plainButton(tr("&Delete"));
    _close = plainButton(tr("Close"));
    _update->setEnabled(false);
    _delete->setEnabled(false);

    auto* fields = new QGridLayout;
    fields->addWidget(new QLabel(tr("Program")), 0, 0);
    fields->addWidget(_program, 0, 1);
    fields->addWidget(_browse, 0, 2);
    fields->addWidget(new QLabel(tr("Ext List")), 1, 0);
    fields->addWidget(_extList, 1, 1, 1, 2);
    fields->addWidget(new QLabel(tr("Options")), 2, 0);
    fields->addWidget(_options, 2, 1, 1, 2);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {_add, _update, _delete})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(_close);
    auto* left = new QVBoxLayout;
    left->addLayout(fields);
    left->addWidget(_list, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left, 1);
    layout->addLayout(buttons);

    setWindowTitle(uiString(titleId));
    _list->setHeaderLabels(
        {uiString(IDS_COL_PROGRAM), uiString(IDS_COL_OPTIONS), uiString(IDS_COL_EXT_LIST)});
    for (int i = 0, n = _config.count(); i < n; ++i) {
        _list->addTopLevelItem(new QTreeWidgetItem);
        setRow(i, i);
    }

    connect(_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                for (const QModelIndex& index : selected.indexes())
                    if (index.column() == 0) onRowSelected(index.row());
            });
    connect(_list, &QTreeWidget::itemDoubleClicked, this, [this] { loadRow(); });
    connect(_browse, &QPushButton::clicked, this, [this] {
        FileBrowser(this).browseFileInto(_program);
        _program->setFocus();
        _program->selectAll();
    });
    connect(_add, &QPushButton::clicked, this, [this] { store(-1); });
    connect(_update, &QPushButton::clicked, this, [this] {
        if (selectionMark() >= 0) store(selectionMark());
    });
    connect(_delete, &QPushButton::clicked, this, [this] { removeSelected(); });
    connect(_close, &QPushButton::clicked, this, &QDialog::reject);
    _list->installEventFilter(this);
}

void ToolSetupDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    setColumnShares(_list, {40, 20, 40});
}

int ToolSetupDlg::selectionMark() const {
    QList<QTreeWidgetItem*> selected = _list->selectedItems();
    return selected.isEmpty() ? -1 : _list->indexOfTopLevelItem(selected.first());
}

void ToolSetupDlg::setRow(int row, int entry) {
    char name[MAX_PATH];
    VERIFY(getFileName(name, sizeof name, _config.program(entry).c_str()));
    QTreeWidgetItem* item = _list->topLevelItem(row);
    item->setText(0, fromLocalPath(name));
    item->setText(1, QString::fromStdString(_config.options(entry)));
    item->setText(2, QString::fromStdString(_config.extList(entry)));
}

void ToolSetupDlg::onRowSelected(int row) {
    if (row != _loaded) _update->setEnabled(false);
    if (row >= 0) _delete->setEnabled(true);
}

void ToolSetupDlg::loadRow() {
    int row = selectionMark();
    if (row < 0) return;
    _program->setText(fromLocalPath(_config.program(row)));
    _options->setText(QString::fromStdString(_config.options(row)));
    _extList->setText(QString::fromStdString(_config.extList(row)));
    _loaded = row;
    _update->setEnabled(true);
    _program->setFocus();
    _program->selectAll();
}

void ToolSetupDlg::store(int index) {
    std::string program = toLocalPath(_program->text());
    std::string options = _options->text().toStdString();
    std::string extList = _extList->text().toStdString();
    // The same checks as the command line's `tools add`, in one place; the reasons repeat
    // them only to say which one failed.
    constexpr size_t limit = 99;
    QString tooLong = uiFormat(IDS_TOO_LONG, {QString::number(limit)});
    switch (_config.checkEntry(program, options, extList, index)) {
        case ToolConfig::Field::Program:
            return failOnField(_program, uiString(IDS_COL_PROGRAM),
                               pathProblem(program, limit, false));
        case ToolConfig::Field::Options:
            return failOnField(_options, uiString(IDS_COL_OPTIONS), tooLong);
        case ToolConfig::Field::ExtList:
            return failOnField(_extList, uiString(IDS_COL_EXT_LIST),
                               extList.size() >= limit ? tooLong : uiString(IDS_BAD_EXT_LIST));
        case ToolConfig::Field::None:
            break;
    }

    int row = index;
    if (index < 0) {
        _config.add(program, options, extList);
        row = _config.count() - 1;
        _list->addTopLevelItem(new QTreeWidgetItem);
    } else {
        _config.replace(index, program, options, extList);
    }
    setRow(row, row);
    _list->setCurrentItem(_list->topLevelItem(row));
    _loaded = row;
    _update->setEnabled(true);
    _program->setFocus();
    _program->selectAll();
}

void ToolSetupDlg::removeSelected() {
    int row = selectionMark();
    if (row < 0) return;
    _config.remove(row);
    // The rows below move up, so no row is loaded any more.
    _loaded = -1;
    _update->setEnabled(false);
    delete _list->takeTopLevelItem(row);
}

bool ToolSetupDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == _list && isEnter(event)) {
        loadRow();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void ToolSetupDlg::keyPressEvent(QKeyEvent* event) {
    // Enter reaches the dialog only from a control that did not use it; it must not press
    // a button or close the dialog.
    if (isEnter(event)) return;
    QDialog::keyPressEvent(event);
}
