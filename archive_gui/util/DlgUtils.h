// Small pieces the dialogs share: path text conversion, the wait cursor, refusing a field.
#pragma once

#include <QString>

#include <initializer_list>
#include <string>

class QLineEdit;
class QWidget;
class QTreeWidget;

// Paths are bytes in the engine; a field shows them decoded the way the file system does.
std::string toLocalPath(const QString& text);
QString fromLocalPath(const std::string& path);

// The wait cursor for the length of a scope.
class WaitCursor {
  public:
    WaitCursor();
    ~WaitCursor();
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// Shows "Invalid input" (stop icon, no caption) over the field's window, then puts the focus
// into the field with its whole text selected.
void failOnField(QLineEdit* field);

// Opens the help pages installed beside the program at a topic (0 for the contents) in the
// desktop's browser; says where they were looked for when they are not there.
void openHelpPage(QWidget* parent, int topic = 0);

// Gives the list's columns their shares in percent of (client width - 20).
void setColumnShares(QTreeWidget* list, std::initializer_list<int> shares);
