// The desktop program's start. For now it shows the dialogs on their own:
//   tresmo [--viewer-setup | --diff-tool-setup | --select-files [folder]]
// Without an option a small window offers the three.
#include "archive_gui/app/UiStrings.h"
#include "archive_gui/dialogs/MsgListDlg.h"
#include "archive_gui/dialogs/SelectFilesDlg.h"
#include "archive_gui/dialogs/ToolSetupDlg.h"
#include "archive_gui/util/DlgUtils.h"

#include "archive/FileSel.h"
#include "archive/ToolConfig.h"
#include "archive/cfg.h"
#include "archive/msg.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstring>

namespace {

void selectFiles(QWidget* parent, const char* folder) {
    FileSel sel;
    if (folder) sel.setFolder(folder);
    SelectFilesDlg dlg(sel, parent);
    dlg.exec();
}

int launcher() {
    QDialog window;
    window.setWindowTitle(QStringLiteral("Tresmo"));
    auto* layout = new QVBoxLayout(&window);
    auto* viewer = new QPushButton(QStringLiteral("&Viewer Setup..."));
    auto* diff = new QPushButton(QStringLiteral("&Diff Tool Setup..."));
    auto* files = new QPushButton(QStringLiteral("Select &Files..."));
    for (QPushButton* b : {viewer, diff, files}) {
        b->setAutoDefault(false);
        layout->addWidget(b);
    }
    QObject::connect(viewer, &QPushButton::clicked, &window,
                     [&] { ToolSetupDlg(IDS_VIEWER_SETUP, viewerConfig(), &window).exec(); });
    QObject::connect(diff, &QPushButton::clicked, &window,
                     [&] { ToolSetupDlg(IDS_DIFF_TOOL_SETUP, diffToolConfig(), &window).exec(); });
    QObject::connect(files, &QPushButton::clicked, &window, [&] { selectFiles(&window, nullptr); });
    window.exec();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tresmo"));
    MsgListPresenter presenter;
    installPresenter(&presenter);
    loadSettings();
    registerUiMsgs();

    int rc = 0;
    const char* option = argc > 1 ? argv[1] : "";
    if (std::strcmp(option, "--viewer-setup") == 0) {
        ToolSetupDlg(IDS_VIEWER_SETUP, viewerConfig()).exec();
    } else if (std::strcmp(option, "--diff-tool-setup") == 0) {
        ToolSetupDlg(IDS_DIFF_TOOL_SETUP, diffToolConfig()).exec();
    } else if (std::strcmp(option, "--select-files") == 0) {
        selectFiles(nullptr, argc > 2 ? argv[2] : nullptr);
    } else {
        rc = launcher();
    }
    installPresenter(nullptr);
    return rc;
}
