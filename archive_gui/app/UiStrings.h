// The desktop program's own texts, looked up by their numeric ids, and its two message rows.
//
// The engine's texts come from the message table; the user interface keeps its texts in this
// one table so that every window shows the same wording and a translation has one place to go.
#pragma once

#include <QString>

enum UiString : int {
    IDS_ERROR_TITLE = 61206,    // "Error %d"
    IDS_WARNING_TITLE = 61207,  // "Warning %d"
    IDS_INVALID_INPUT = 61208,
    IDS_BROWSE_FILE = 61209,
    IDS_ALL_FILES_FILTER = 61210,
    IDS_COL_EXTENSION = 61218,
    IDS_COL_COUNT = 61219,
    IDS_COL_SIZE_KB = 61220,
    IDS_COL_PROGRAM = 61221,
    IDS_COL_OPTIONS = 61222,
    IDS_COL_EXT_LIST = 61223,
    IDS_VIEWER_SETUP = 61224,
    IDS_DIFF_TOOL_SETUP = 61225,
};

// The text of id; an unknown id gives an empty text.
QString uiString(int id);

// Registers the rows 1000 and 1001 of the message table. Call once at start, after the
// engine's rows.
void registerUiMsgs();
