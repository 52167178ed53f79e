#include "archive_gui/util/DlgUtils.h"

#include "archive_gui/util/UiStrings.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QTreeWidget>
#include <QUrl>

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

void openHelpPage(QWidget* parent, int topic) {
    // Installed as PREFIX/share/doc/tresmo/help.html next to PREFIX/bin/tresmo; the build tree
    // has a copy at the same place relative to the program. A message's topic is the anchor
    // named by its code.
    QDir dir(QApplication::applicationDirPath());
    QString page = QDir::cleanPath(dir.filePath(QStringLiteral("../share/doc/tresmo/help.html")));
    if (!QFile::exists(page)) {
        QMessageBox::warning(parent, QStringLiteral("Tresmo"),
                             QStringLiteral("The help pages are not installed:\n%1").arg(page));
        return;
    }
    QUrl url = QUrl::fromLocalFile(page);
    if (topic) url.setFragment(QString::number(topic));
    QDesktopServices::openUrl(url);
}
