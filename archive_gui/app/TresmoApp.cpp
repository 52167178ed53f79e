#include "archive_gui/app/TresmoApp.h"

#include "archive_gui/doc/ArchiveDoc.h"
#include "archive_gui/frame/MainFrame.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/support/cfg.h"

#include <QApplication>

TresmoApp::TresmoApp() = default;

TresmoApp::~TresmoApp() {
    // The window goes first: it still refers to the document.
    _frame.reset();
    _doc.reset();
}

void TresmoApp::initInstance(const QStringList& args) {
    QApplication::setApplicationName(QStringLiteral("Tresmo"));
    QApplication::setOrganizationName(QStringLiteral("Norvik Software"));
    QApplication::setDesktopFileName(QStringLiteral("tresmo"));
    loadSettings();
    registerUiMsgs();
    _doc = std::make_unique<ArchiveDoc>();
    _frame = std::make_unique<MainFrame>(*_doc);
    if (args.isEmpty() || !_frame->openDocument(args.first())) _doc->newDocument();
    _frame->showStored();
}
