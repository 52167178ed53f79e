#include "archive_gui/frame/EmptyPage.h"

#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/FileBrowsers.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/support/paths.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

EmptyPage::EmptyPage(ArchiveDoc& doc, QAction* open, QAction* newForFolder, QWidget* parent)
    : QWidget(parent), _doc(doc), _text(new QLabel) {
    setObjectName(QStringLiteral("emptyPage"));
    _text->setAlignment(Qt::AlignCenter);
    _text->setWordWrap(true);
    _text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton*& b : _buttons) {
        b = new QPushButton;
        row->addWidget(b);
    }
    row->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(_text);
    layout->addSpacing(12);
    layout->addLayout(row);
    layout->addStretch(2);

    // Each button's meaning depends on the state; the first always opens another archive.
    connect(_buttons[0], &QPushButton::clicked, open, &QAction::trigger);
    connect(_buttons[1], &QPushButton::clicked, this, [this, newForFolder] {
        if (_state == State::First) newForFolder->trigger();
        if (_state == State::Missing) relocate();
        if (_state == State::Failed) _doc.openDocument(_doc.pathName());
    });
}

bool EmptyPage::update() {
    const Tresmo& a = _doc.archive();
    const std::string& folder = _doc.selection().folder();
    if (_doc.valid())
        _state = a.root() || a.hasPath() || !folder.empty() ? State::None : State::First;
    else if (_doc.pathName().empty())
        _state = State::First;
    else if (!folder.empty() && !pathExists(folder.c_str()))
        _state = State::Missing;
    else
        _state = State::Failed;
    switch (_state) {
        case State::None:
            return false;
        case State::First:
            _text->setText(uiString(IDS_EMPTY_FIRST));
            _buttons[1]->setText(uiString(IDS_EMPTY_NEW));
            break;
        case State::Missing:
            _text->setText(uiFormat(IDS_EMPTY_MISSING, {fromLocalPath(folder)}));
            _buttons[1]->setText(uiString(IDS_EMPTY_RELOCATE));
            break;
        case State::Failed:
            _text->setText(uiFormat(IDS_EMPTY_FAILED, {fromLocalPath(_doc.pathName())}));
            _buttons[1]->setText(uiString(IDS_EMPTY_RETRY));
            break;
    }
    _buttons[0]->setText(uiString(IDS_EMPTY_OPEN));
    return true;
}

QString EmptyPage::message() const {
    return _text->text();
}

QList<QPushButton*> EmptyPage::choices() const {
    return {_buttons[0], _buttons[1]};
}

void EmptyPage::relocate() {
    FolderBrowser browser(window());
    if (!browser.browseFolder()) return;
    // The selection names the folder; the archive is read again over the new one.
    FileSel moved = _doc.selection();
    moved.setFolder(browser.chosen());
    if (moved.write()) _doc.openDocument(_doc.pathName());
}
