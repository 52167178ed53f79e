// The two pickers the dialogs share: a folder browser (Export, Select Files) and a file
// browser (the Tool Setup dialog's program field).
//
// Both hold the chosen path in a buffer of MAX_PATH bytes, so what they hand back always fits
// the engine's path buffers; a picked path that would not fit counts as no choice.
#pragma once

#include "archive/support/paths.h"

#include <QString>

#include <string>

class QLineEdit;
class QWidget;

class FolderBrowser {
  public:
    // remember: the name of a string-store value that keeps the folder chosen last (or null).
    FolderBrowser(QWidget* owner, const char* title = nullptr, const char* remember = nullptr);

    // Shows the picker at initial (or, without one, at the remembered folder). True when a
    // folder was chosen; it is then in chosen() and, with a remembered value, stored there.
    bool browseFolder(const char* initial = nullptr);
    // The same, starting at the field's text when it is shorter than 259 bytes; the chosen
    // folder replaces the field's text.
    bool browseFolderInto(QLineEdit* field);
    const char* chosen() const { return _chosen; }

  private:
    QWidget* _owner;
    const char* _title;
    const char* _remember;
    const char* _initial = nullptr;
    char _chosen[MAX_PATH];
};

class FileBrowser {
  public:
    // filter: pairs of lines, a description and a pattern ("All Files (*.*)\n*.*\n");
    // null gives that one pair. A null title gives "Browse for File".
    FileBrowser(QWidget* owner, const char* title = nullptr, const char* filter = nullptr);

    bool browseFile(const char* initial = nullptr);
    bool browseFileInto(QLineEdit* field);
    const char* chosen() const { return _chosen; }

    // The filter as the file dialog takes it: one "Description (pattern)" entry per pair,
    // ";;" between entries. "*.*" means every file here, so it becomes "*".
    static QString dialogFilter(const std::string& filter);

  private:
    QWidget* _owner;
    std::string _title;
    std::string _filter;
    char _chosen[MAX_PATH];
};
