// The desktop program's own texts, looked up by their numeric ids, and its two message rows.
//
// The engine's texts come from the message table; the user interface keeps its texts in this
// one table so that every window shows the same wording and a translation has one place to go.
#pragma once

#include <QString>

#include <initializer_list>

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
    // The document and the main frame.
    IDS_FILE = 61211,          // "%d file"
    IDS_FILES = 61212,         // "%d files"
    IDS_CHANGE = 61213,        // "%d change"
    IDS_CHANGES = 61214,       // "%d changes"
    IDS_BYTES = 61215,         // "%d bytes"
    IDS_KB = 61216,            // "%d KB"
    IDS_MB = 61217,            // "%d MB"
    IDS_INVALID_PATH = 61226,  // "Invalid path: %s"
    IDS_VERSION = 61230,       // "Tresmo Version %d.%d.%d"
    IDS_DELETE_FOLDER = 61231,
    IDS_DELETE_FILE = 61232,
    IDS_SAVE_CANCELLED = 61233,
    // Messages and prompts that name what they are about.
    IDS_FIELD_REFUSED = 61234,  // "%s: %s" (the field's label, the reason)
    IDS_TOO_LONG = 61235,       // "must be shorter than %d characters"
    IDS_NO_SUCH_PATH = 61236,   // "%s does not exist"
    IDS_NOT_A_FOLDER = 61237,   // "%s is not a folder"
    IDS_NOT_FULL_PATH = 61238,  // "%s is not a full path"
    IDS_ROOT_FOLDER = 61239,    // "the root folder cannot be watched"
    IDS_BAD_EXT_LIST = 61240,   // "extensions separated by commas, none set up for another..."
    IDS_FIELD_FOLDER = 61241,   // "Folder"
    IDS_FIELD_EXCEPTIONS = 61242,
    IDS_MSG_POSITION = 61243,  // "%d of %d"
    IDS_COPY = 61244,
    IDS_REPLACE_TITLE = 61245,
    IDS_REPLACE_HISTORY = 61246,  // path, transactions, first date, last date
    IDS_REPLACE_UNREADABLE = 61247,
    IDS_HELP_TITLE = 61248,
    IDS_TRANSACTION = 61249,   // "%d transaction"
    IDS_TRANSACTIONS = 61250,  // "%d transactions"
    IDS_SAVE_AS = 61441,
    IDS_FILE_FILTER = 128,  // the open and save filter of the document type
};

// The text of id; an unknown id gives an empty text.
QString uiString(int id);
// The text of id with its "%d" and "%s" places filled by args in order.
QString uiFormat(int id, std::initializer_list<QString> args);

// Registers the rows 1000 and 1001 of the message table. Call once at start, after the
// engine's rows.
void registerUiMsgs();
