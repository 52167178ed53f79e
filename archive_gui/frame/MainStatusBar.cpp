#include "archive_gui/frame/MainStatusBar.h"

#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/ops/Tresmo.h"

#include <QLabel>

#include <cstdint>

MainStatusBar::MainStatusBar(ViewDoc& doc, QWidget* parent) : QStatusBar(parent), _doc(doc) {
    for (QLabel*& part : _parts) {
        part = new QLabel(this);
        part->setFixedWidth(PART_WIDTH);
        part->setContentsMargins(4, 0, 4, 0);
        // Normal (not permanent) widgets: a prompt shown with showMessage hides them.
        addWidget(part);
    }
    connect(&doc, &ViewDoc::statusChanged, this, &MainStatusBar::refresh);
    connect(this, &QStatusBar::messageChanged, this, [this](const QString& text) {
        if (text.isEmpty()) refresh();
    });
    refresh();
}

QString MainStatusBar::partText(int part) const {
    return _parts[part]->text();
}

void MainStatusBar::setPart(int part, const QString& text) {
    QLabel* label = _parts[part];
    label->setText(text);
    label->setFrameStyle(text.isEmpty() ? QFrame::NoFrame : QFrame::Panel | QFrame::Sunken);
}

void MainStatusBar::refresh() {
    if (_doc.busy()) return;
    const NodeStats& stats = _doc.archive().selectionStats();
    setPart(0, filesText(stats));
    setPart(1, changesText(stats));
    setPart(2, sizeText(stats));
    update();
}

QString MainStatusBar::filesText(const NodeStats& stats) {
    if (stats.files == 0) return {};
    return uiFormat(stats.files == 1 ? IDS_FILE : IDS_FILES, {QString::number(stats.files)});
}

QString MainStatusBar::changesText(const NodeStats& stats) {
    if (stats.changes == 0) return {};
    return uiFormat(stats.changes == 1 ? IDS_CHANGE : IDS_CHANGES,
                    {QString::number(stats.changes)});
}

QString MainStatusBar::sizeText(const NodeStats& stats) {
    // Counted in 64 bits, so totals of 2 GB and more still show as MB.
    auto size = static_cast<int64_t>(stats.storedBytes);
    if (size <= 0) return {};
    if (size < 0x10000) return uiFormat(IDS_BYTES, {QString::number(size)});
    if (size < 0x4000000) return uiFormat(IDS_KB, {QString::number(size / 1024)});
    return uiFormat(IDS_MB, {QString::number(size / 1048576)});
}
