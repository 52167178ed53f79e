#include "archive_gui/util/DlgUtils.h"

#include "archive_gui/util/HelpWindow.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/support/paths.h"

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

void failOnField(QLineEdit* field, const QString& label, const QString& reason) {
    QMessageBox box(QMessageBox::Critical, uiString(IDS_INVALID_INPUT),
                    uiFormat(IDS_FIELD_REFUSED, {label, reason}), QMessageBox::Ok, field->window());
    box.exec();
    field->setFocus();
    field->selectAll();
}

QString pathProblem(const std::string& path, size_t limit, bool folder) {
    const char* p = path.c_str();
    QString shown = fromLocalPath(path);
    if (path.size() >= limit) return uiFormat(IDS_TOO_LONG, {QString::number(limit)});
    if (!isValidPath(p)) return uiFormat(IDS_NOT_FULL_PATH, {shown});
    if (!pathExists(p)) return uiFormat(IDS_NO_SUCH_PATH, {shown});
    if (folder && !isDirectory(p)) return uiFormat(IDS_NOT_A_FOLDER, {shown});
    if (folder && isDriveRoot(p)) return uiString(IDS_ROOT_FOLDER);
    return {};
}

void setColumnShares(QTreeWidget* list, std::initializer_list<int> shares) {
    int w = list->viewport()->width() - 20;
    int column = 0;
    for (int share : shares)
        list->setColumnWidth(column++, w * share / 100);
}

void openHelpPage(QWidget* parent, int topic) {
    HelpWindow::showTopic(parent, topic ? QString::number(topic) : QString());
}
