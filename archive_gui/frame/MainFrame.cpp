#include "archive_gui/frame/MainFrame.h"

#include "archive_gui/dialogs/RewriteDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/frame/EmptyPage.h"
#include "archive_gui/frame/MainStatusBar.h"
#include "archive_gui/frame/ViewingBar.h"
#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/Icons.h"
#include "archive_gui/util/UiStrings.h"
#include "archive_gui/views/DirTreeView.h"
#include "archive_gui/views/FileListView.h"
#include "archive_gui/views/VersListView.h"

#include "archive/objects/ToolConfig.h"
#include "archive/support/cfg.h"

#include <QAbstractItemView>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <QWhatsThis>

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {

const double* qx = doubleSetting("MainFrame.qx", 0.5, 0, 1);
const double* qy = doubleSetting("MainFrame.qy", 0.5, 0, 1);

struct CommandDef {
    const char* text;      // menu text with its access key and shortcut text
    const char* prompt;    // status bar prompt, then '\n' and the tool tip
    const char* shortcut;  // "" when none
    const char* icon;      // toolbar icon, "" when the command has no button
};

// In the order of MainFrame::Command.
constexpr CommandDef COMMANDS[] = {
    {"&New\tCtrl+N", "Start a new Tresmo\nNew", "Ctrl+N", "new"},
    {"&Open...\tCtrl+O", "Open an existing Tresmo\nOpen", "Ctrl+O", "open"},
    {"&Save\tCtrl+S", "Save all pending changes\nSave", "Ctrl+S", "save"},
    {"Select &Files...", "Select files for this Tresmo\nSelect Files", "", "select-files"},
    {"&Export...", "Export the selected item\nExport", "", ""},
    {"&Viewer Setup...", "Set up viewer for file types\nViewer Setup", "", ""},
    {"&Diff Tool Setup...", "Set up diff tools for file types\nDiff Tool Setup", "", ""},
    {"E&xit\tCtrl+Q", "Exit the Tresmo application\nExit", "Ctrl+Q", ""},
    {"&Refresh\tF5", "Scan file sytem to find new changes\nRefresh", "F5", "refresh"},
    {"&Current", "View current changes\nCurrent", "", ""},
    {"To&day", "View changes today\nToday", "", ""},
    {"This &Week", "View changes this week\nThis Week", "", ""},
    {"This &Month", "View changes this month\nThis Month", "", ""},
    {"This &Year", "View changes this year\nThis Year", "", ""},
    {"View &Version", "View selected version or version range\nView Version", "", "view-version"},
    {"&Open File\tEnter", "Open selected file\nOpen File", "", "open-file"},
    {"Show &Diff\tCtrl+Enter", "Show diff of selected file\nShow Diff", "", "show-diff"},
    {"&Help Topics", "List help topics\nHelp Topics", "", ""},
    {"Help", "Display help for current task or command\nHelp", "F1", ""},
    {"Context Help", "Display help for clicked on buttons, menus and windows\nHelp", "Shift+F1",
     ""},
    {"&About Tresmo...", "Display program info\nAbout Tresmo", "", ""},
    {"Next Pane", "Switch to the next window pane\nNext Pane", "F6", ""},
    {"Previous Pane", "Switch back to the previous window pane\nPrevious Pane", "Shift+F6", ""},
    {"&Filter Files\tCtrl+F", "Narrow the file list by name\nFilter Files", "Ctrl+F", ""},
    {"Re&write Archive...",
     "Save the archive's history anew: keep what is intact, drop old transactions, or "
     "reclaim space\nRewrite Archive",
     "", ""},
};
static_assert(std::size(COMMANDS) == MainFrame::COMMAND_COUNT);

int readInt(const char* name, int def) {
    char buf[32];
    return readRegString(name, buf, sizeof buf) ? std::atoi(buf) : def;
}

void writeInt(const char* name, int value) {
    writeRegString(name, std::to_string(value).c_str());
}

std::string recentName(int i) {
    return "Recent File List.File" + std::to_string(i + 1);
}

// The widget that takes the focus for a pane: the pane itself, or its first child that
// accepts the focus.
QWidget* focusTarget(QWidget* pane) {
    if (!pane) return nullptr;
    if (pane->focusPolicy() != Qt::NoFocus || pane->focusProxy()) return pane;
    for (QWidget* w : pane->findChildren<QWidget*>())
        if (w->focusPolicy() != Qt::NoFocus && w->isVisibleTo(pane)) return w;
    return pane;
}

}  // namespace

MainFrame::MainFrame(ArchiveDoc& doc, QWidget* parent) : QMainWindow(parent), _doc(doc) {
    setWindowIcon(appIcon());
    setAcceptDrops(true);
    doc.setWindow(this);
    // Before the views connect: their picture is taken before they let go of the tree.
    connect(&doc, &ViewDoc::treeAboutToGo, this, &MainFrame::freezePanes);
    connect(&doc, &ArchiveDoc::workAboutToStart, this, &MainFrame::freezePanes);
    for (int i = 0; i < RECENT_FILES; ++i) {
        char buf[1024];
        if (readRegString(recentName(i).c_str(), buf, sizeof buf) && buf[0])
            _recent << QString::fromUtf8(buf);
    }
    createActions();
    createMenus();
    createToolBar();
    createClient();
    restorePlacement();

    connect(&doc, &ViewDoc::statusChanged, this, &MainFrame::updateCommands);
    connect(&doc, &ViewDoc::statusChanged, this, &MainFrame::updateViewing);
    connect(&doc, &ViewDoc::statusChanged, this, [this] {
        if (!_doc.busy()) thawPanes();
    });
    // Checked again when the timer fires: a command may start more work (the reload after a
    // save) before the event loop gets there.
    connect(&doc, &ViewDoc::statusChanged, this, [this] {
        if (_closeWhenIdle && !_doc.busy())
            QTimer::singleShot(0, this, [this] {
                if (_closeWhenIdle && !_doc.busy()) close();
            });
    });
    connect(&doc, &ArchiveDoc::pathChanged, this, &MainFrame::updateViewing);
    connect(&doc, &ArchiveDoc::recentFile, this, &MainFrame::addRecent);
    connect(&doc, &ArchiveDoc::openedDamaged, this, [this] {
        QMessageBox ask(QMessageBox::Question, QStringLiteral("Rewrite Archive"),
                        QStringLiteral("%1 is damaged: it is shown as far as it is intact, and "
                                       "nothing can be saved into it. Rewrite it into a new "
                                       "archive that keeps every intact version?")
                            .arg(fromLocalPath(_doc.archive().path())),
                        QMessageBox::Yes | QMessageBox::No, this);
        if (ask.exec() == QMessageBox::Yes) rewriteArchive();
    });
    connect(&doc, &ArchiveDoc::message, _status,
            [this](const QString& text) { _status->showMessage(text); });
    updateViewing();
    updateCommands();
}

MainFrame::~MainFrame() {
    _doc.setWindow(nullptr);
}

void MainFrame::createActions() {
    for (int c = 0; c < COMMAND_COUNT; ++c) {
        const CommandDef& def = COMMANDS[c];
        QString text = QString::fromUtf8(def.text);
        auto* a = new QAction(text, this);
        QStringList prompt = QString::fromUtf8(def.prompt).split('\n');
        a->setStatusTip(prompt.value(0));
        // The tool tip teaches the key: "Save (Ctrl+S)".
        QString keys = text.section('\t', 1);
        if (keys.isEmpty()) keys = QString::fromUtf8(def.shortcut);
        QString tip = prompt.value(1, prompt.value(0));
        if (!keys.isEmpty())
            tip +=
                QStringLiteral(" (%1)").arg(QKeySequence(keys).toString(QKeySequence::NativeText));
        a->setToolTip(tip);
        if (*def.shortcut) {
            a->setShortcut(QKeySequence(QString::fromUtf8(def.shortcut)));
            // Shortcuts reach the frame whichever pane has the focus.
            a->setShortcutContext(Qt::WindowShortcut);
            addAction(a);
        }
        if (*def.icon) a->setIcon(commandIcon(def.icon));
        _actions[c] = a;
    }
    ArchiveDoc& doc = _doc;
    auto on = [this](Command c, auto f) { connect(_actions[c], &QAction::triggered, this, f); };
    on(CMD_NEW, [&doc] { doc.newDocument(); });
    on(CMD_OPEN, [this] { open(); });
    on(CMD_SAVE, [&doc] { doc.save(); });
    on(CMD_SELECT_FILES, [this, &doc] {
        if (!doc.canSelectFiles()) return;
        SelectFilesDlg dlg(doc.selection(), this, !doc.archive().txns());
        if (dlg.exec() == QDialog::Accepted) doc.applySelection(dlg.selection());
    });
    on(CMD_EXPORT, [&doc] { doc.exportSelected(); });
    on(CMD_REWRITE, [this] { rewriteArchive(); });
    on(CMD_VIEWER_SETUP, [this] { ToolSetupDlg(IDS_VIEWER_SETUP, viewerConfig(), this).exec(); });
    on(CMD_DIFF_TOOL_SETUP,
       [this] { ToolSetupDlg(IDS_DIFF_TOOL_SETUP, diffToolConfig(), this).exec(); });
    on(CMD_EXIT, [this] { close(); });
    on(CMD_REFRESH, [&doc] { doc.refresh(); });
    on(CMD_CURRENT, [&doc] { doc.recentChanges(ArchiveDoc::Period::Current); });
    on(CMD_TODAY, [&doc] { doc.recentChanges(ArchiveDoc::Period::Today); });
    on(CMD_THIS_WEEK, [&doc] { doc.recentChanges(ArchiveDoc::Period::ThisWeek); });
    on(CMD_THIS_MONTH, [&doc] { doc.recentChanges(ArchiveDoc::Period::ThisMonth); });
    on(CMD_THIS_YEAR, [&doc] { doc.recentChanges(ArchiveDoc::Period::ThisYear); });
    on(CMD_HELP_TOPICS, [this] { showHelp(); });
    on(CMD_HELP, [this] { showHelp(); });
    on(CMD_CONTEXT_HELP, [] { QWhatsThis::enterWhatsThisMode(); });
    on(CMD_ABOUT, [this] { about(); });
    // The period shown is checked; after View Version none is.
    _periods = new QActionGroup(this);
    _periods->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (Command c : {CMD_CURRENT, CMD_TODAY, CMD_THIS_WEEK, CMD_THIS_MONTH, CMD_THIS_YEAR})
        _periods->addAction(_actions[c])->setCheckable(true);
    on(CMD_NEXT_PANE, [this] { cyclePane(1); });
    on(CMD_PREV_PANE, [this] { cyclePane(-1); });
    // The views enable these once they are connected.
    for (Command c : {CMD_VIEW_VERSION, CMD_OPEN_FILE, CMD_SHOW_DIFF})
        _actions[c]->setEnabled(false);
}

void MainFrame::createMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addActions({_actions[CMD_NEW], _actions[CMD_OPEN], _actions[CMD_SAVE]});
    file->addSeparator();
    file->addActions({_actions[CMD_SELECT_FILES], _actions[CMD_EXPORT], _actions[CMD_REWRITE]});
    file->addSeparator();
    file->addActions({_actions[CMD_VIEWER_SETUP], _actions[CMD_DIFF_TOOL_SETUP]});
    file->addSeparator();
    _noRecent = file->addAction(QStringLiteral("Recent File"));
    _noRecent->setEnabled(false);
    for (int i = 0; i < RECENT_FILES; ++i) {
        QAction* a = file->addAction(QString());
        a->setStatusTip(QStringLiteral("Open this Tresmo"));
        connect(a, &QAction::triggered, this, [this, i] {
            if (i < _recent.size()) openDocument(_recent[i]);
        });
        _recentActions[i] = a;
    }
    file->addSeparator();
    file->addAction(_actions[CMD_EXIT]);
    updateRecentMenu();

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(_actions[CMD_REFRESH]);
    QMenu* recent = view->addMenu(QStringLiteral("Recent &Changes"));
    recent->addActions({_actions[CMD_CURRENT], _actions[CMD_TODAY], _actions[CMD_THIS_WEEK],
                        _actions[CMD_THIS_MONTH], _actions[CMD_THIS_YEAR]});
    view->addAction(_actions[CMD_VIEW_VERSION]);
    view->addSeparator();
    view->addActions(
        {_actions[CMD_OPEN_FILE], _actions[CMD_SHOW_DIFF], _actions[CMD_FILTER_FILES]});

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(_actions[CMD_HELP_TOPICS]);
    help->addSeparator();
    help->addAction(_actions[CMD_ABOUT]);
}

void MainFrame::createToolBar() {
    QToolBar* bar = addToolBar(QStringLiteral("Toolbar"));
    bar->setObjectName(QStringLiteral("toolbar"));
    bar->setIconSize(QSize(16, 16));
    bar->addActions({_actions[CMD_NEW], _actions[CMD_OPEN], _actions[CMD_SAVE]});
    bar->addSeparator();
    bar->addActions({_actions[CMD_REFRESH], _actions[CMD_SELECT_FILES]});
    bar->addSeparator();
    bar->addActions({_actions[CMD_VIEW_VERSION], _actions[CMD_OPEN_FILE], _actions[CMD_SHOW_DIFF]});
}

void MainFrame::createClient() {
    _outer = new QSplitter(Qt::Horizontal, this);
    _inner = new QSplitter(Qt::Vertical, _outer);
    _outer->addWidget(_inner);
    _panes[TREE_PANE] = createPane(TREE_PANE, _doc, _inner);
    _panes[FILE_LIST_PANE] = createPane(FILE_LIST_PANE, _doc, _outer);
    _panes[VERS_LIST_PANE] = createPane(VERS_LIST_PANE, _doc, _inner);
    _inner->addWidget(_panes[TREE_PANE]);
    _inner->addWidget(_panes[VERS_LIST_PANE]);
    _outer->addWidget(_panes[FILE_LIST_PANE]);
    for (QSplitter* s : {_outer, _inner}) {
        s->setChildrenCollapsible(true);
        s->setHandleWidth(4);
    }
    // The bar over the views, then the views or, when there is nothing to show, the page that
    // says what to do.
    _viewing = new ViewingBar;
    _empty = new EmptyPage(_doc, _actions[CMD_OPEN], _actions[CMD_SELECT_FILES]);
    _stack = new QStackedWidget;
    _stack->addWidget(_outer);
    _stack->addWidget(_empty);
    auto* client = new QWidget(this);
    auto* layout = new QVBoxLayout(client);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(_viewing);
    layout->addWidget(_stack, 1);
    setCentralWidget(client);
    connectViews();
    _status = new MainStatusBar(_doc, this);
    setStatusBar(_status);
}

QWidget* MainFrame::createPane(Pane p, ViewDoc& doc, QWidget* parent) {
    switch (p) {
        case TREE_PANE:
            return new DirTreeView(doc, parent);
        case FILE_LIST_PANE:
            return new FileListView(doc, parent);
        case VERS_LIST_PANE:
            return new VersListView(doc, parent);
        case PANE_COUNT:
            break;
    }
    return nullptr;
}

namespace {

// The frame's command runs the view's and follows its enabling, so the menu, the toolbar and
// the view's own context menu and keys are one command.
void follow(QAction* frame, QAction* view) {
    if (!view) return;
    frame->setEnabled(view->isEnabled());
    QObject::connect(frame, &QAction::triggered, view, &QAction::trigger);
    QObject::connect(view, &QAction::changed, frame,
                     [frame, view] { frame->setEnabled(view->isEnabled()); });
}

}  // namespace

void MainFrame::connectViews() {
    if (auto* files = qobject_cast<FileListView*>(_panes[FILE_LIST_PANE])) {
        follow(_actions[CMD_OPEN_FILE], files->openFileAction());
        follow(_actions[CMD_SHOW_DIFF], files->showDiffAction());
        files->setExportAction(_actions[CMD_EXPORT]);
        QLineEdit* box = files->filterBox();
        connect(_actions[CMD_FILTER_FILES], &QAction::triggered, box, [box] {
            box->setFocus(Qt::ShortcutFocusReason);
            box->selectAll();
        });
    }
    if (auto* vers = qobject_cast<VersListView*>(_panes[VERS_LIST_PANE]))
        follow(_actions[CMD_VIEW_VERSION], vers->viewVersionAction());
}

void MainFrame::restorePlacement() {
    int x1 = readInt("MainFrame.x1", 0);
    int x2 = readInt("MainFrame.x2", 0);
    int y1 = readInt("MainFrame.y1", 0);
    int y2 = readInt("MainFrame.y2", 0);
    QRect r;
    if (x1 && x2 && y1 && y2) {
        r = QRect(x1, y1, x2 - x1, y2 - y1);
    } else {
        // Where a new window would open by default: three quarters of the screen.
        QRect avail = screen() ? screen()->availableGeometry() : QRect(0, 0, 1024, 768);
        r = QRect(avail.x() + avail.width() / 8, avail.y() + avail.height() / 8,
                  avail.width() * 3 / 4, avail.height() * 3 / 4);
        if (r.width() >= 800 && r.height() >= 600) r.setSize(QSize(800, 600));
    }
    setGeometry(r);
    fitToScreen();
    _w1 = std::max(0, readInt("MainFrame.w1", static_cast<int>(r.width() * *qx)));
    _h1 = std::max(0, readInt("MainFrame.h1", static_cast<int>(r.height() * *qy)));
}

void MainFrame::fitToScreen() {
    // What was stored may come from a larger screen or another scale factor: the window with
    // its frame is cut to the screen it lands on and moved fully onto it. The frame is known
    // only once the window shows, so this runs then again.
    QScreen* on = QGuiApplication::screenAt(geometry().center());
    if (!on) on = screen();
    if (!on || isMaximized() || isFullScreen()) return;
    QRect avail = on->availableGeometry();
    QRect f = frameGeometry();
    QMargins frame(geometry().left() - f.left(), geometry().top() - f.top(),
                   f.right() - geometry().right(), f.bottom() - geometry().bottom());
    f.setSize(f.size().boundedTo(avail.size()));
    f.moveLeft(std::clamp(f.left(), avail.left(), avail.right() + 1 - f.width()));
    f.moveTop(std::clamp(f.top(), avail.top(), avail.bottom() + 1 - f.height()));
    if (f != frameGeometry()) setGeometry(f.marginsRemoved(frame));
}

void MainFrame::freezePanes() {
    if (!_outer || !isVisible() || (_frozen && _frozen->isVisible())) return;
    if (!_frozen) _frozen = new QLabel(this);
    _frozen->setPixmap(centralWidget()->grab());
    _frozen->setGeometry(centralWidget()->geometry());
    _frozen->raise();
    _frozen->show();
}

void MainFrame::thawPanes() {
    if (!_frozen || !_frozen->isVisible()) return;
    _frozen->hide();
    // A layout that ran meanwhile met views that answered nothing; nothing else redoes it.
    for (QAbstractItemView* v : _outer->findChildren<QAbstractItemView*>())
        v->doItemsLayout();
}

void MainFrame::applyPaneSizes() {
    auto apply = [](QSplitter* s, int first) {
        QList<int> sizes = s->sizes();
        int total = 0;
        for (int v : sizes)
            total += v;
        s->setSizes({first, std::max(0, total - first)});
    };
    apply(_outer, _w1);
    apply(_inner, _h1);
}

void MainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!_fitted) {
        _fitted = true;
        fitToScreen();
    }
    sizePanes();
}

void MainFrame::sizePanes() {
    // The splitters have their real size only once they show (the first window may show the
    // empty page instead); sizes set before would be scaled.
    if (_sized || !_outer->isVisible()) return;
    _sized = true;
    applyPaneSizes();
    if (QWidget* w = focusTarget(_panes[TREE_PANE])) w->setFocus();
}

void MainFrame::showStored() {
    // 3 is the maximized show state; every other stored state opens a normal window.
    if (readInt("MainFrame.showCmd", 5) == 3)
        showMaximized();
    else
        show();
}

void MainFrame::storePlacement() const {
    int showCmd = isMaximized() ? 3 : isMinimized() ? 2 : 1;
    QRect r = normalGeometry().isValid() ? normalGeometry() : geometry();
    writeInt("MainFrame.showCmd", showCmd);
    writeInt("MainFrame.x1", r.left());
    writeInt("MainFrame.x2", r.left() + r.width());
    writeInt("MainFrame.y1", r.top());
    writeInt("MainFrame.y2", r.top() + r.height());
    // A collapsed pane keeps the size stored before.
    if (int w1 = _outer->sizes().value(0)) writeInt("MainFrame.w1", w1);
    if (int h1 = _inner->sizes().value(0)) writeInt("MainFrame.h1", h1);
}

void MainFrame::closeEvent(QCloseEvent* event) {
    // Ending the program in the middle of a save would leave a torn tail for the next open to
    // cut: the work is cancelled instead (a save rolls back) and the window closes after it.
    if (_doc.busy()) {
        _doc.cancelWork();
        _closeWhenIdle = true;
        event->ignore();
        return;
    }
    _closeWhenIdle = false;
    storePlacement();
    event->accept();
}

int MainFrame::activePane() const {
    QWidget* focus = QApplication::focusWidget();
    for (int p = 0; p < PANE_COUNT; ++p)
        if (focus && _panes[p] && (focus == _panes[p] || _panes[p]->isAncestorOf(focus))) return p;
    return -1;
}

void MainFrame::cyclePane(int step) {
    int p = activePane();
    if (p < 0) return;
    for (int i = 1; i < PANE_COUNT; ++i) {
        QWidget* next = _panes[(p + i * step + 2 * PANE_COUNT) % PANE_COUNT];
        if (next && next->isVisible()) {
            focusTarget(next)->setFocus(step > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return;
        }
    }
}

void MainFrame::rewriteArchive() {
    if (!_doc.canRewrite()) return;
    // Only committed transactions count, not the one a scan holds pending.
    int count = 0;
    for (const Txn* t = _doc.archive().txns(); t; t = t->older)
        count += t->time < _doc.archive().now();
    RewriteDlg dlg(_doc.archive().path(), count, this);
    if (dlg.exec() == QDialog::Accepted) _doc.rewrite(dlg.newPath(), dlg.options());
}

void MainFrame::updateCommands() {
    _actions[CMD_SAVE]->setEnabled(_doc.canSave());
    _actions[CMD_SELECT_FILES]->setEnabled(_doc.canSelectFiles());
    _actions[CMD_EXPORT]->setEnabled(_doc.canExport());
    _actions[CMD_REWRITE]->setEnabled(_doc.canRewrite());
    _actions[CMD_REFRESH]->setEnabled(_doc.canRefresh());
    for (Command c : {CMD_CURRENT, CMD_TODAY, CMD_THIS_WEEK, CMD_THIS_MONTH, CMD_THIS_YEAR})
        _actions[c]->setEnabled(_doc.canRecentChanges());
    for (Command c : {CMD_NEW, CMD_OPEN})
        _actions[c]->setEnabled(!_doc.busy());
    for (QAction* a : _recentActions)
        a->setEnabled(!_doc.busy());
}

void MainFrame::updateViewing() {
    if (_doc.busy()) return;
    const Tresmo& a = _doc.archive();
    // The period the user chose stays checked while its range is shown: on the first day of
    // a week Today and This Week show the same range.
    std::optional<ArchiveDoc::Period> period;
    QAction* checked = _periods->checkedAction();
    int chosen = checked ? static_cast<int>(std::find(_actions.begin(), _actions.end(), checked) -
                                            _actions.begin()) -
                               CMD_CURRENT
                         : -1;
    if (chosen >= 0 && a.root() && ViewingBar::shows(a, ArchiveDoc::Period(chosen)))
        period = ArchiveDoc::Period(chosen);
    else if (_doc.valid() && a.root())
        period = ViewingBar::periodOf(a);
    for (QAction* p : _periods->actions())
        p->setChecked(period && p == _actions[CMD_CURRENT + static_cast<int>(*period)]);
    _viewing->refresh(a, _doc.valid() ? period : std::nullopt);
    if (!_doc.valid()) _viewing->hide();
    _stack->setCurrentWidget(_empty->update() ? static_cast<QWidget*>(_empty) : _outer);
    sizePanes();
    updateTitle();
}

void MainFrame::updateTitle() {
    std::string name = _doc.displayName();
    QString title = name.empty() ? QStringLiteral("Untitled") : fromLocalPath(name);
    if (_viewing->isVisibleTo(this)) title += QStringLiteral(" (%1)").arg(_viewing->text());
    setWindowTitle(title + QStringLiteral(" - Tresmo"));
}

void MainFrame::addRecent(const QString& path) {
    _recent.removeAll(path);
    _recent.prepend(path);
    while (_recent.size() > RECENT_FILES)
        _recent.removeLast();
    for (int i = 0; i < RECENT_FILES; ++i)
        writeRegString(recentName(i).c_str(), _recent.value(i).toUtf8().constData());
    updateRecentMenu();
}

void MainFrame::updateRecentMenu() {
    _noRecent->setVisible(_recent.isEmpty());
    for (int i = 0; i < RECENT_FILES; ++i) {
        QAction* a = _recentActions[i];
        a->setVisible(i < _recent.size());
        if (i < _recent.size())
            a->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(
                QString(_recent[i]).replace('&', QStringLiteral("&&"))));
    }
}

void MainFrame::open() {
    QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(),
                                     uiString(IDS_FILE_FILTER) + QStringLiteral(";;All Files (*)"));
    if (!path.isEmpty()) openDocument(path);
}

bool MainFrame::openDocument(const QString& path) {
    return _doc.openDocument(toLocalPath(QFileInfo(path).absoluteFilePath()));
}

void MainFrame::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* data = event->mimeData();
    if (data->hasUrls() && !data->urls().isEmpty() && data->urls().first().isLocalFile() &&
        !_doc.busy())
        event->acceptProposedAction();
}

void MainFrame::dropEvent(QDropEvent* event) {
    QList<QUrl> urls = event->mimeData()->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile()) return;
    event->acceptProposedAction();
    QString path = urls.first().toLocalFile();
    // The drop returns to the dragging program before the document loads.
    QMetaObject::invokeMethod(
        this, [this, path] { openDocument(path); }, Qt::QueuedConnection);
}

void MainFrame::about() {
    QDialog box(this);
    box.setWindowTitle(QStringLiteral("About Tresmo"));
    auto* icon = new QLabel;
    icon->setPixmap(appIcon().pixmap(48, 48));
    auto* version = new QLabel(uiFormat(IDS_VERSION, {"1", "1", "0"}));
    version->setObjectName(QStringLiteral("version"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addSpacing(12);
    row->addWidget(version, 1);
    auto* layout = new QVBoxLayout(&box);
    layout->addLayout(row);
    layout->addWidget(buttons);
    box.exec();
}

void MainFrame::showHelp() {
    openHelpPage(this);
}
