// Small pieces the dialogs share: path text conversion, the wait cursor, refusing a field.
#pragma once

#include <QString>

#include <initializer_list>
#include <string>

class QLineEdit;
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

// Gives the list's columns their shares in percent of (client width - 20).
void setColumnShares(QTreeWidget* list, std::initializer_list<int> shares);
