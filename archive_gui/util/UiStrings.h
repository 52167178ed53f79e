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
    // Which time the window shows; the four periods in the order of ArchiveDoc::Period.
    IDS_VIEW_CURRENT = 61260,  // "Current"
    IDS_VIEW_AS_OF = 61261,    // "Viewing as of %s"
    IDS_VIEW_TODAY = 61262,    // "Today: %s" (the count of changes)
    IDS_VIEW_THIS_WEEK = 61263,
    IDS_VIEW_THIS_MONTH = 61264,
    IDS_VIEW_THIS_YEAR = 61265,
    IDS_VIEW_RANGE = 61266,  // "Changes from %s to %s: %s"
    // The progress box and how work ended.
    IDS_PROGRESS_FILES = 61267,  // "%d of %d files"
    IDS_PROGRESS_BYTES = 61268,  // "%s of %s"
    IDS_TIME_LEFT = 61269,       // "About %d seconds left"
    IDS_TIME_LEFT_MIN = 61270,   // "About %d minutes left"
    IDS_SAVED = 61271,           // "Saved transaction %d: %s"
    IDS_SAVED_ADDED = 61272,     // "%d added"
    IDS_SAVED_CHANGED = 61273,
    IDS_SAVED_REMOVED = 61274,
    IDS_SAVED_LEFT_OUT = 61275,
    IDS_SAVED_NOTHING = 61276,
    IDS_EXPORTED = 61277,          // "Exported %s (%s) to %s"
    IDS_EXPORT_CANCELLED = 61278,  // "Export cancelled; %s already written to %s"
    IDS_LOAD_CANCELLED = 61279,    // "Loading %s cancelled"
    // What the views' place says when they have nothing to show.
    IDS_EMPTY_FIRST = 61280,
    IDS_EMPTY_OPEN = 61281,
    IDS_EMPTY_NEW = 61282,
    IDS_EMPTY_MISSING = 61283,  // "The folder %s is missing..."
    IDS_EMPTY_RELOCATE = 61284,
    IDS_EMPTY_FAILED = 61285,  // "%s could not be shown..."
    IDS_EMPTY_RETRY = 61286,
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
