// The program's start: the string store's settings, the message rows, the document and its
// main window, and the document named on the command line.
#pragma once

#include <QStringList>

#include <memory>

class ArchiveDoc;
class MainFrame;

class TresmoApp {
  public:
    TresmoApp();
    ~TresmoApp();

    // Runs the start-up after the QApplication exists. args are the arguments after the
    // program's name: none, or the path of a document to open. A document that cannot be
    // opened has said why (naming it); the window then opens with a new, empty one.
    void initInstance(const QStringList& args);

    ArchiveDoc& doc() { return *_doc; }
    MainFrame& frame() { return *_frame; }

  private:
    std::unique_ptr<ArchiveDoc> _doc;
    std::unique_ptr<MainFrame> _frame;
};
