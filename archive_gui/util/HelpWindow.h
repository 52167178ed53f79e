// The program's help, shown in a window of its own from the page built into the program, so
// that Help works without a browser or a desktop launcher. Links within the page are followed
// in the window; links to the web go to the desktop's browser.
#pragma once

#include <QDialog>

class QTextBrowser;

class HelpWindow : public QDialog {
    Q_OBJECT

  public:
    // The page's address in the program's resources.
    static const char* const PAGE;

    // Shows the help window of parent's window at topic (an anchor name, or a message code;
    // empty or 0 for the top), making it first when there is none; it stays open beside
    // the window. Returns it.
    static HelpWindow* showTopic(QWidget* parent, const QString& topic = {});

    QTextBrowser* browser() const { return _browser; }

  private:
    explicit HelpWindow(QWidget* parent);

    QTextBrowser* _browser;
};
