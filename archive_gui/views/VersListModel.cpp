#include "archive_gui/views/VersListModel.h"

#include "archive_gui/doc/ViewDoc.h"
#include "archive_gui/views/ChangeIcons.h"

#include "archive/ops/Tresmo.h"
#include "archive/support/msg.h"
#include "archive/support/tstamp.h"

#include <QBrush>
#include <QPalette>

VersListModel::VersListModel(ViewDoc& doc, QObject* parent)
    : QAbstractListModel(parent), _doc(doc) {}

int VersListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(_rows.size());
}

Txn* VersListModel::txnAt(int row) const {
    return row >= 0 && row < static_cast<int>(_rows.size()) ? _rows[row] : nullptr;
}

int VersListModel::labelOptions(int row) const {
    int64_t t = _rows[row]->time;
    int64_t prev = row > 0 ? _rows[row - 1]->time : 0;
    int64_t next = row + 1 < static_cast<int>(_rows.size()) ? _rows[row + 1]->time : 0;
    int64_t now = _doc.archive().now();
    int opt;
    if (sameDay(t, now)) {
        opt = TIME_ONLY;
    } else {
        opt = sameWeek(t, now) ? WEEKDAY_NAME : 0;
        if (!sameDay(t, next) && !sameDay(t, prev)) opt |= DATE_ONLY;
    }
    if (!sameMinute(t, next) && !sameMinute(t, prev)) opt |= NO_SECONDS;
    return opt;
}

QString VersListModel::label(int row) const {
    if (_labels[row].isNull()) {
        char buf[101];
        VERIFY(formatTime(buf, sizeof buf, _rows[row]->time, labelOptions(row)));
        _labels[row] = QString::fromLocal8Bit(buf);
    }
    return _labels[row];
}

QVariant VersListModel::data(const QModelIndex& index, int role) const {
    Txn* t = index.isValid() ? txnAt(index.row()) : nullptr;
    if (!t || _doc.busy()) return {};
    const Tresmo& a = _doc.archive();
    bool pending = t->time == a.now();
    bool inRange = a.from() <= t->time && t->time <= a.to();
    switch (role) {
        case Qt::DisplayRole:
            return label(index.row());
        case Qt::DecorationRole:
            return views::icon(views::Kind::Txn, views::txnIconIndex(pending, inRange),
                               views::markOverlay(t->mark));
        case Qt::BackgroundRole: {
            // The rows of the range shown, in a tint of the selection colour: clear beside the
            // small icon, and still unlike a selection the user is making.
            if (!inRange) return {};
            QColor tint = QPalette().color(QPalette::Highlight);
            tint.setAlpha(70);
            return QBrush(tint);
        }
        case views::NodeRole:
            return QVariant::fromValue(reinterpret_cast<quintptr>(t));
        case views::TimeRole:
            return QVariant::fromValue(static_cast<qint64>(t->time));
        case views::IconRole:
            return views::txnIconIndex(pending, inRange);
        case views::OverlayRole:
            return static_cast<int>(views::markOverlay(t->mark));
        default:
            return {};
    }
}

void VersListModel::fill() {
    beginResetModel();
    _rows.clear();
    _attached = _doc.valid();
    if (_attached)
        for (Txn* t = _doc.archive().txns(); t && t->time != 0; t = t->older)
            _rows.push_back(t);
    _labels.assign(_rows.size(), QString());
    endResetModel();
}

void VersListModel::detach() {
    beginResetModel();
    _rows.clear();
    _labels.clear();
    _attached = false;
    endResetModel();
}

void VersListModel::refreshPictures() {
    if (_rows.empty()) return;
    emit dataChanged(index(0), index(static_cast<int>(_rows.size()) - 1), {Qt::DecorationRole});
}
