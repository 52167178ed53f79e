#include "archive_gui/app/UiStrings.h"

#include "archive/msg.h"

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

void registerUiMsgs() {
    registerMsgs(UI_MSGS);
}
