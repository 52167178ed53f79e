#include "archive_gui/util/DlgUtils.h"

#include "archive_gui/app/UiStrings.h"

#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QTreeWidget>

std::string toLocalPath(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

QString fromLocalPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

WaitCursor::WaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

WaitCursor::~WaitCursor() {
    QApplication::restoreOverrideCursor();
}

void failOnField(QLineEdit* field) {
    QMessageBox box(QMessageBox::Critical, QString(), uiString(IDS_INVALID_INPUT), QMessageBox::Ok,
                    field->window());
    box.exec();
    field->setFocus();
    field->selectAll();
}

void setColumnShares(QTreeWidget* list, std::initializer_list<int> shares) {
    int w = list->viewport()->width() - 20;
    int column = 0;
    for (int share : shares)
        list->setColumnWidth(column++, w * share / 100);
}
