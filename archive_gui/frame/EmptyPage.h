// What takes the views' place when they have nothing to show, saying why and what to do, with
// buttons that do it: the first window (open an archive, or make one for a folder), a watched
// folder that has gone (choose where it went, and the archive is opened again over it), or an
// archive that could not be read or scanned (try again, or open another).
#pragma once

#include <QWidget>

class ArchiveDoc;
class QAction;
class QLabel;
class QPushButton;

class EmptyPage : public QWidget {
    Q_OBJECT

  public:
    // open and newForFolder: the window's Open and Select Files commands.
    EmptyPage(ArchiveDoc& doc, QAction* open, QAction* newForFolder, QWidget* parent = nullptr);

    // Sets the text and the buttons for the document as it is now; false when the views have
    // something to show (the page then has no use).
    bool update();
    QString message() const;
    // The buttons of the page as it is now, in their order.
    QList<QPushButton*> choices() const;

  private:
    enum class State { None, First, Missing, Failed };
    void relocate();

    ArchiveDoc& _doc;
    QLabel* _text;
    QPushButton* _buttons[2];
    State _state = State::None;
};
