// The version list as a Qt model: one row per transaction, newest first, up to the first
// transaction whose time is 0. A row's label is its time in a compact form that depends on
// its neighbours (seconds only where a neighbour lies in the same minute, the time of day on
// older rows only where a neighbour lies on the same day, today's rows as times alone); the
// labels are made when the view first shows a row and kept until the next fill.
#pragma once

#include "archive/tree/TresmoData.h"

#include <QAbstractListModel>
#include <QString>

#include <vector>

class ViewDoc;

class VersListModel : public QAbstractListModel {
    Q_OBJECT

  public:
    explicit VersListModel(ViewDoc& doc, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // One row per transaction of the archive, rebuilt.
    void fill();
    void detach();
    bool attached() const { return _attached; }
    void refreshPictures();

    Txn* txnAt(int row) const;
    // The formatting options of formatTime for row (see tstamp.h).
    int labelOptions(int row) const;
    QString label(int row) const;

  private:
    ViewDoc& _doc;
    bool _attached = false;
    std::vector<Txn*> _rows;
    mutable std::vector<QString> _labels;
};
