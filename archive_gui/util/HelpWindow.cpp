#include "archive_gui/util/HelpWindow.h"

#include "archive_gui/util/Icons.h"
#include "archive_gui/util/UiStrings.h"

#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

const char* const HelpWindow::PAGE = "qrc:/help/help.html";

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent) {
    setWindowTitle(uiString(IDS_HELP_TITLE));
    setWindowIcon(appIcon());  // also registers the resources the page comes from
    setAttribute(Qt::WA_DeleteOnClose);
    _browser = new QTextBrowser;
    _browser->setOpenExternalLinks(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(_browser, 1);
    layout->addWidget(buttons);
    int em = fontMetrics().horizontalAdvance(QLatin1Char('m'));
    resize(50 * em, 40 * fontMetrics().height());
}

HelpWindow* HelpWindow::showTopic(QWidget* parent, const QString& topic) {
    QWidget* owner = parent ? parent->window() : nullptr;
    HelpWindow* help =
        owner ? owner->findChild<HelpWindow*>(QString(), Qt::FindDirectChildrenOnly) : nullptr;
    if (!help) help = new HelpWindow(owner);
    QUrl url(QString::fromLatin1(PAGE));
    if (!topic.isEmpty() && topic != QLatin1String("0")) url.setFragment(topic);
    help->_browser->setSource(url);
    help->show();
    help->raise();
    help->activateWindow();
    return help;
}
