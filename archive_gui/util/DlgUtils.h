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

// Shows "Invalid input" over the field's window, naming the field by its label and saying
// why it was refused, then puts the focus into the field with its whole text selected.
void failOnField(QLineEdit* field, const QString& label, const QString& reason);
// Why path cannot serve as an existing file (or, with folder, a folder to watch) in a field
// holding fewer than limit bytes; empty when it can.
QString pathProblem(const std::string& path, size_t limit, bool folder);

// Shows the program's help at a topic (a message code; 0 for the top) in its help window.
void openHelpPage(QWidget* parent, int topic = 0);

// Gives the list's columns their shares in percent of (client width - 20).
void setColumnShares(QTreeWidget* list, std::initializer_list<int> shares);
