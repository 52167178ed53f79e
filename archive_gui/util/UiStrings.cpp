#include "archive_gui/util/UiStrings.h"

#include "archive/support/msg.h"

#include <algorithm>

namespace {

struct StringRow {
    int id;
    const char* text;
};

constexpr StringRow STRINGS[] = {
    {IDS_ERROR_TITLE, "Error %d"},
    {IDS_WARNING_TITLE, "Warning %d"},
    {IDS_INVALID_INPUT, "Invalid input"},
    {IDS_BROWSE_FILE, "Browse for File"},
    {IDS_ALL_FILES_FILTER, "All Files (*.*)\n*.*\n"},
    {IDS_COL_EXTENSION, "Extension"},
    {IDS_COL_COUNT, "Count"},
    {IDS_COL_SIZE_KB, "Size (KB)"},
    {IDS_COL_PROGRAM, "Program"},
    {IDS_COL_OPTIONS, "Options"},
    {IDS_COL_EXT_LIST, "Ext List"},
    {IDS_VIEWER_SETUP, "Viewer Setup"},
    {IDS_DIFF_TOOL_SETUP, "Diff Tool Setup"},
    {IDS_FILE, "%d file"},
    {IDS_FILES, "%d files"},
    {IDS_CHANGE, "%d change"},
    {IDS_CHANGES, "%d changes"},
    {IDS_BYTES, "%d bytes"},
    {IDS_KB, "%d KB"},
    {IDS_MB, "%d MB"},
    {IDS_INVALID_PATH, "Invalid path: %s"},
    {IDS_VERSION, "Tresmo Version %d.%d.%d"},
    {IDS_DELETE_FOLDER, "Delete existing folder %s?"},
    {IDS_DELETE_FILE, "Delete existing file %s?"},
    {IDS_SAVE_CANCELLED, "Save cancelled; nothing was written"},
    {IDS_VIEW_CURRENT, "Current"},
    {IDS_VIEW_AS_OF, "Viewing as of %s"},
    {IDS_VIEW_TODAY, "Today: %s"},
    {IDS_VIEW_THIS_WEEK, "This week: %s"},
    {IDS_VIEW_THIS_MONTH, "This month: %s"},
    {IDS_VIEW_THIS_YEAR, "This year: %s"},
    {IDS_VIEW_RANGE, "Changes from %s to %s: %s"},
    {IDS_PROGRESS_FILES, "%d of %d files"},
    {IDS_PROGRESS_BYTES, "%s of %s"},
    {IDS_TIME_LEFT, "About %d seconds left"},
    {IDS_TIME_LEFT_MIN, "About %d minutes left"},
    {IDS_SAVED, "Saved transaction %d: %s"},
    {IDS_SAVED_ADDED, "%d added"},
    {IDS_SAVED_CHANGED, "%d changed"},
    {IDS_SAVED_REMOVED, "%d removed"},
    {IDS_SAVED_LEFT_OUT, "%d left out (still pending)"},
    {IDS_SAVED_NOTHING, "Nothing was left to save: another program saved these changes"},
    {IDS_EXPORTED, "Exported %s (%s) to %s"},
    {IDS_EXPORT_CANCELLED, "Export cancelled; %s already written to %s"},
    {IDS_LOAD_CANCELLED, "Loading %s cancelled"},
    {IDS_EMPTY_FIRST,
     "No archive is open.\nOpen an archive, or create one that keeps the history of a folder."},
    {IDS_EMPTY_OPEN, "Open Archive..."},
    {IDS_EMPTY_NEW, "New Archive for a Folder..."},
    {IDS_EMPTY_MISSING,
     "The folder %s is missing.\nIf it was moved or renamed, choose where it went."},
    {IDS_EMPTY_RELOCATE, "Choose Where It Went..."},
    {IDS_EMPTY_FAILED, "%s could not be shown.\nTry again, or open another archive."},
    {IDS_EMPTY_RETRY, "Try Again"},
    {IDS_FIELD_REFUSED, "%s: %s."},
    {IDS_TOO_LONG, "must be shorter than %d characters"},
    {IDS_NO_SUCH_PATH, "%s does not exist"},
    {IDS_NOT_A_FOLDER, "%s is not a folder"},
    {IDS_NOT_FULL_PATH, "%s is not a full path"},
    {IDS_ROOT_FOLDER, "the root folder cannot be watched"},
    {IDS_BAD_EXT_LIST,
     "give extensions separated by commas, none of them set up for another program"},
    {IDS_FIELD_FOLDER, "Folder"},
    {IDS_FIELD_EXCEPTIONS, "Subfolder exceptions"},
    {IDS_MSG_POSITION, "%d of %d"},
    {IDS_COPY, "&Copy"},
    {IDS_REPLACE_TITLE, "Replace Archive"},
    {IDS_REPLACE_HISTORY,
     "%s already holds %s, saved from %s to %s.\n\nA new archive in its place "
     "deletes this whole history. Replace it?"},
    {IDS_REPLACE_UNREADABLE,
     "%s already exists and is not a Tresmo archive that can be read. Replace it?"},
    {IDS_HELP_TITLE, "Tresmo Help"},
    {IDS_TRANSACTION, "%d transaction"},
    {IDS_TRANSACTIONS, "%d transactions"},
    {IDS_SAVE_AS, "Save As"},
    {IDS_FILE_FILTER, "Tresmo Files (*.trsm)"},
};

constexpr MsgDef UI_MSGS[] = {
    {1000, "ArchiveDoc.OnFileSave.1", "Could not delete file {1}", false},
    {1001, "ArchiveDoc.OnExport.1", "Could not delete folder {1}", false},
};

}  // namespace

QString uiString(int id) {
    for (const StringRow& row : STRINGS)
        if (row.id == id) return QString::fromUtf8(row.text);
    return {};
}

QString uiFormat(int id, std::initializer_list<QString> args) {
    QString text = uiString(id);
    qsizetype at = 0;
    for (const QString& arg : args) {
        qsizetype d = text.indexOf(QLatin1String("%d"), at);
        qsizetype s = text.indexOf(QLatin1String("%s"), at);
        qsizetype place = d < 0 ? s : s < 0 ? d : std::min(d, s);
        if (place < 0) break;
        text.replace(place, 2, arg);
        at = place + arg.size();
    }
    return text;
}

void registerUiMsgs() {
    registerMsgs(UI_MSGS);
}
