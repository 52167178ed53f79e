#include "archive_gui/util/FileBrowsers.h"

#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/support/cfg.h"

#include <QFileDialog>
#include <QLineEdit>

#include <cstring>

namespace {

// Copies a picked path into a MAX_PATH buffer; false when it does not fit.
bool takePath(char* buf, const QString& picked) {
    std::string path = toLocalPath(picked);
    if (path.empty() || path.size() >= MAX_PATH) return false;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return true;
}

// The field's text as a start for a picker, when it is short enough to be one.
std::string initialFrom(const QLineEdit* field) {
    std::string text = toLocalPath(field->text());
    return text.size() < MAX_PATH - 1 ? text : std::string();
}

}  // namespace

FolderBrowser::FolderBrowser(QWidget* owner, const char* title, const char* remember)
    : _owner(owner), _title(title), _remember(remember) {
    _chosen[0] = 0;
}

bool FolderBrowser::browseFolder(const char* initial) {
    _initial = initial && *initial ? initial : nullptr;
    if (!_initial && _remember && readRegString(_remember, _chosen, sizeof _chosen) && _chosen[0])
        _initial = _chosen;
    QString start = _initial ? fromLocalPath(_initial) : QString();
    QString picked = QFileDialog::getExistingDirectory(
        _owner, _title ? QString::fromUtf8(_title) : QString(), start, QFileDialog::ShowDirsOnly);
    _initial = nullptr;
    if (picked.isEmpty() || !takePath(_chosen, picked)) return false;
    if (_remember) writeRegString(_remember, _chosen);
    return true;
}

bool FolderBrowser::browseFolderInto(QLineEdit* field) {
    std::string initial = initialFrom(field);
    if (!browseFolder(initial.empty() ? nullptr : initial.c_str())) return false;
    field->setText(fromLocalPath(_chosen));
    return true;
}

FileBrowser::FileBrowser(QWidget* owner, const char* title, const char* filter)
    : _owner(owner),
      _title(title ? title : uiString(IDS_BROWSE_FILE).toStdString()),
      _filter(filter ? filter : uiString(IDS_ALL_FILES_FILTER).toStdString()) {
    _chosen[0] = 0;
}

QString FileBrowser::dialogFilter(const std::string& filter) {
    QStringList entries;
    QStringList lines = QString::fromUtf8(filter).split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); i += 2) {
        QString description = lines[i];
        QString pattern = lines[i + 1] == "*.*" ? "*" : lines[i + 1];
        // The description names its pattern in parentheses, as the Windows picker shows it;
        // the Qt picker takes the pattern from those parentheses, so they must hold ours.
        qsizetype open = description.lastIndexOf('(');
        if (open > 0) description = description.left(open).trimmed();
        entries << description + " (" + pattern + ")";
    }
    return entries.join(";;");
}

bool FileBrowser::browseFile(const char* initial) {
    size_t n = initial ? std::strlen(initial) : 0;
    QString start = n >= 1 && n < MAX_PATH ? fromLocalPath(initial) : QString();
    QString picked =
        QFileDialog::getOpenFileName(_owner, QString::fromUtf8(_title), start,
                                     dialogFilter(_filter), nullptr, QFileDialog::ReadOnly);
    return !picked.isEmpty() && takePath(_chosen, picked);
}

bool FileBrowser::browseFileInto(QLineEdit* field) {
    std::string initial = initialFrom(field);
    if (!browseFile(initial.empty() ? nullptr : initial.c_str())) return false;
    field->setText(fromLocalPath(_chosen));
    return true;
}
