// The program's one top-level window: menus, toolbar, the three panes in two splitters (the
// folder tree above the version list on the left, the file list on the right), the status
// bar, the four recently used files, and its placement kept in the string store. Above the
// panes a bar (and the title) says which time they show; when there is nothing to show, a page
// that says what to do takes their place.
//
// The panes are made by createPane(), the one place that names the view classes. Commands
// that belong to the document call it and are enabled by its can*() checks whenever it says
// its state changed; View Version, Open File and Show Diff belong to the views, which connect
// to action() and enable the actions themselves.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include <array>
#include <string>

class ArchiveDoc;
class EmptyPage;
class MainStatusBar;
class QAction;
class QActionGroup;
class QLabel;
class QMenu;
class QSplitter;
class QStackedWidget;
class ViewDoc;
class ViewingBar;

class MainFrame : public QMainWindow {
    Q_OBJECT

  public:
    enum Command {
        CMD_NEW,
        CMD_OPEN,
        CMD_SAVE,
        CMD_SELECT_FILES,
        CMD_EXPORT,
        CMD_VIEWER_SETUP,
        CMD_DIFF_TOOL_SETUP,
        CMD_EXIT,
        CMD_REFRESH,
        CMD_CURRENT,
        CMD_TODAY,
        CMD_THIS_WEEK,
        CMD_THIS_MONTH,
        CMD_THIS_YEAR,
        CMD_VIEW_VERSION,
        CMD_OPEN_FILE,
        CMD_SHOW_DIFF,
        CMD_HELP_TOPICS,
        CMD_HELP,
        CMD_CONTEXT_HELP,
        CMD_ABOUT,
        CMD_NEXT_PANE,
        CMD_PREV_PANE,
        CMD_FILTER_FILES,
        CMD_REWRITE,
        COMMAND_COUNT
    };
    // In the order Next Pane visits them.
    enum Pane { TREE_PANE, FILE_LIST_PANE, VERS_LIST_PANE, PANE_COUNT };
    static constexpr int RECENT_FILES = 4;

    explicit MainFrame(ArchiveDoc& doc, QWidget* parent = nullptr);
    ~MainFrame() override;

    QAction* action(Command c) const { return _actions[c]; }
    // The widget in a pane (null when it could not be made).
    QWidget* pane(Pane p) const { return _panes[p]; }
    QSplitter* outerSplitter() const { return _outer; }
    QSplitter* innerSplitter() const { return _inner; }
    MainStatusBar* mainStatusBar() const { return _status; }
    ViewingBar* viewingBar() const { return _viewing; }
    // Shown in the views' place when they have nothing to show (the first window, a failure).
    EmptyPage* emptyPage() const { return _empty; }
    const QStringList& recentFiles() const { return _recent; }

    // Shows the window with the show state stored by the last run.
    void showStored();
    // Opens a document as a dropped file or the command line does.
    bool openDocument(const QString& path);
    // Activates the next (step 1) or previous (step -1) pane; nothing when the focus is in
    // none of them.
    void cyclePane(int step);
    // Stores the placement and the pane sizes (closing the window does it too).
    void storePlacement() const;
    // The pane that holds the focus, or -1.
    int activePane() const;
    // Re-evaluates which document commands are enabled.
    void updateCommands();

    // Makes the widget of a pane for doc. The one place the view classes are named.
    static QWidget* createPane(Pane p, ViewDoc& doc, QWidget* parent);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

  private:
    void createActions();
    void createMenus();
    void createToolBar();
    void createClient();
    void connectViews();
    void restorePlacement();
    // While work runs the tree must not be read (a worker owns it, or it is being replaced),
    // so the panes are covered by their picture from just before, and laid out again after.
    void freezePanes();
    void thawPanes();
    void fitToScreen();
    void applyPaneSizes();
    void sizePanes();
    void updateTitle();
    // Which time is shown: the bar, the checked Recent Changes period, the title; and whether
    // the views or the empty page take the place below.
    void updateViewing();
    void addRecent(const QString& path);
    void updateRecentMenu();
    void open();
    // Asks what to keep and rewrites the archive.
    void rewriteArchive();
    void about();
    void showHelp();

    ArchiveDoc& _doc;
    std::array<QAction*, COMMAND_COUNT> _actions{};
    std::array<QAction*, RECENT_FILES> _recentActions{};
    QAction* _noRecent = nullptr;
    QStringList _recent;
    QSplitter* _outer = nullptr;
    QSplitter* _inner = nullptr;
    std::array<QWidget*, PANE_COUNT> _panes{};
    MainStatusBar* _status = nullptr;
    ViewingBar* _viewing = nullptr;
    EmptyPage* _empty = nullptr;
    QStackedWidget* _stack = nullptr;
    QActionGroup* _periods = nullptr;
    QLabel* _frozen = nullptr;
    int _w1 = 0;
    int _h1 = 0;
    bool _fitted = false;
    bool _sized = false;
    // Set by a close during long work; the window closes once the document is idle again.
    bool _closeWhenIdle = false;
};
