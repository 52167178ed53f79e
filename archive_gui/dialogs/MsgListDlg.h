// The message list dialog and the presenter that shows every message of the program in it.
//
// MsgListDlg shows messages one at a time: the chain of an error (outermost first, "Error %d"
// titles and the stop icon) or a list of warnings ("Warning %d", the exclamation icon). Above
// them an error has one sentence: the outermost message, which names the file, with the
// innermost cause. The user pages with the scroll bar or Page Up and Page Down (with Ctrl: to
// the last or the first message), "2 of 3" saying where; Copy puts every message on the
// clipboard. The messages are not owned; they must outlive the dialog. Each text is
// wrapped by printLines to the text box's width, breaking at blanks and punctuation; a text
// that cannot be wrapped within MAX_TEXT is shown unwrapped and the box wraps it itself.
#pragma once

#include "archive/support/msg.h"

#include <QDialog>
#include <QString>

#include <cstddef>
#include <vector>

class QFontMetrics;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QScrollBar;

class MsgListDlg : public QDialog {
    Q_OBJECT

  public:
    static constexpr size_t MAX_TEXT = 1000;
    // The shortest line printLines accepts, as a share of the width.
    static constexpr double FACTOR = 0.8;

    enum class Kind { Error, Warning };

    MsgListDlg(Kind kind, std::vector<const Msg*> msgs, QWidget* parent = nullptr);

    // The chain of error, outermost first.
    static std::vector<const Msg*> chainOf(const Error& error);

    // Shows message i; nothing happens when there is none.
    void showMsg(int i);
    int current() const { return _current; }
    Kind kind() const { return _kind; }

    QLabel* iconLabel() const { return _icon; }
    QPlainTextEdit* textBox() const { return _text; }
    QScrollBar* scrollBar() const { return _scroll; }
    QPushButton* okButton() const { return _ok; }
    QPushButton* helpButton() const { return _help; }
    QPushButton* copyButton() const { return _copy; }
    QLabel* headline() const { return _headline; }
    QLabel* position() const { return _position; }
    // Every message, one "Title: text" line each, as Copy puts them on the clipboard.
    QString allText() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // Opens the program's help at the topic numbered topic.
    virtual void openHelp(int topic);

  private:
    bool pageKey(QKeyEvent* event);
    void showText();

    Kind _kind;
    std::vector<const Msg*> _msgs;
    int _current = -1;

    QLabel* _icon;
    QLabel* _headline;
    QLabel* _position;
    QPlainTextEdit* _text;
    QScrollBar* _scroll;
    QPushButton* _ok;
    QPushButton* _help;
    QPushButton* _copy;
};

// Wraps text into s, each line but the last ending with "\r\n", so that every line fits width
// pixels in the font of fm. A line ends at the position of the highest class among those from
// the shortest acceptable length (width * factor) to the longest that fits: a blank, else any
// other sign, a digit, a lower-case letter, an upper-case letter, the later winning a tie.
// False when a line would be empty (a character wider than width) or s would reach capacity
// characters.
bool printLines(QString& s, size_t capacity, const QString& text, int width, double factor,
                const QFontMetrics& fm);

// The desktop program's presenter: errors and warnings in the message list dialog, a failed
// verification in the "Internal Error" box. Without a QApplication it writes to stderr.
class MsgListPresenter : public Presenter {
  public:
    void showError(const Error& error) override;
    void showMsgs(const MsgList& list) override;
    void verifyFailed(const char* file, int line, const char* expr) override;
};
