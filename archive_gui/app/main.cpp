// The desktop program:
//   tresmo [DOCUMENT]
// opens the document (an archive's storage file) when one is named, else starts with a new one.
#include "archive_gui/app/TresmoApp.h"
#include "archive_gui/dialogs/MsgListDlg.h"

#include "archive/os/os.h"
#include "archive/support/msg.h"

#include <QApplication>

int main(int argc, char** argv) {
    os::keepFreedMemory();
    QApplication app(argc, argv);
    MsgListPresenter presenter;
    installPresenter(&presenter);
    int rc = 0;
    {
        TresmoApp tresmo;
        tresmo.initInstance(QApplication::arguments().mid(1));
        rc = QApplication::exec();
    }
    installPresenter(nullptr);
    return rc;
}
