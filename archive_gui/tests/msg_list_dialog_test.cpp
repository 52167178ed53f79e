#include "archive_gui/dialogs/MsgListDlg.h"
#include "gui_test_util.h"

#include "archive/support/msg.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTest>

#include <cerrno>
#include <cstring>

namespace {

// Outermost first: 2011 "Could not read Tresmo file", 3000, then the system's 9000.
Error threeErrorChain() {
    return makeError(makeError(systemError(ENOENT), "StgFile.open.1"), "Tresmo.read.1");
}

class HelpRecorder : public MsgListDlg {
  public:
    using MsgListDlg::MsgListDlg;
    std::vector<int> topics;

  protected:
    void openHelp(int topic) override { topics.push_back(topic); }
};

QFont fixedFont() {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(12);
    return f;
}

// The width of n characters of the fixed font.
int chars(const QFontMetrics& fm, int n) {
    return fm.horizontalAdvance(QString(n, 'x'));
}

QImage iconImage(QStyle::StandardPixmap which, const QWidget* w) {
    int size = w->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, w);
    return w->style()->standardIcon(which, nullptr, w).pixmap(size, size).toImage();
}

}  // namespace

class MsgListDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void chainIsPagedWithKeysAndScrollBar() {
        Error e = threeErrorChain();
        MsgListDlg dlg(MsgListDlg::Kind::Error, MsgListDlg::chainOf(e));
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Error 2011"));
        QVERIFY(dlg.textBox()->toPlainText().contains("Could not read Tresmo file"));
        QCOMPARE(dlg.iconLabel()->pixmap().toImage(),
                 iconImage(QStyle::SP_MessageBoxCritical, &dlg));
        QVERIFY(dlg.scrollBar()->isEnabled());
        QCOMPARE(dlg.scrollBar()->maximum(), 2);

        QTest::keyClick(dlg.textBox(), Qt::Key_PageDown);
        QCOMPARE(dlg.windowTitle(), QString("Error 3000"));
        QCOMPARE(dlg.scrollBar()->value(), 1);
        QTest::keyClick(dlg.okButton(), Qt::Key_PageDown, Qt::ControlModifier);
        QCOMPARE(dlg.windowTitle(), QString("Error 9000"));
        QCOMPARE(dlg.textBox()->toPlainText().simplified(),
                 QString::fromUtf8(std::strerror(ENOENT)).simplified());
        QTest::keyClick(dlg.textBox(), Qt::Key_PageDown);
        QCOMPARE(dlg.current(), 2);
        QTest::keyClick(dlg.textBox(), Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(dlg.windowTitle(), QString("Error 2011"));
        QTest::keyClick(dlg.textBox(), Qt::Key_PageUp);
        QCOMPARE(dlg.current(), 0);

        dlg.scrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(dlg.windowTitle(), QString("Error 3000"));
        dlg.scrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
        QCOMPARE(dlg.current(), 0);
        // A dragged thumb changes the message only when it is released.
        dlg.scrollBar()->setSliderDown(true);
        dlg.scrollBar()->setSliderPosition(2);
        QCOMPARE(dlg.current(), 0);
        dlg.scrollBar()->setSliderDown(false);
        QCOMPARE(dlg.windowTitle(), QString("Error 9000"));
    }

    void singleWarningCannotBePaged() {
        MsgList list{makeMsg("FileFinder.4", "/w/src", "readme")};
        MsgListDlg dlg(MsgListDlg::Kind::Warning, {&list[0]});
        dlg.show();
        QCOMPARE(dlg.windowTitle(), QString("Warning 3703"));
        QCOMPARE(dlg.iconLabel()->pixmap().toImage(),
                 iconImage(QStyle::SP_MessageBoxWarning, &dlg));
        QVERIFY(!dlg.scrollBar()->isEnabled());
        QTest::keyClick(dlg.textBox(), Qt::Key_PageDown);
        QTest::keyClick(dlg.textBox(), Qt::Key_PageUp, Qt::ControlModifier);
        QCOMPARE(dlg.current(), 0);
        QCOMPARE(dlg.windowTitle(), QString("Warning 3703"));
    }

    void helpFollowsTheMessagesFlag() {
        Msg plain = makeMsg("FileFinder.4", "/a", "b");
        Msg helped = plain;
        helped.code = 4321;
        helped.hasHelp = true;
        HelpRecorder dlg(MsgListDlg::Kind::Warning, {&plain, &helped});
        dlg.show();
        QVERIFY(!dlg.helpButton()->isEnabled());
        QTest::keyClick(dlg.textBox(), Qt::Key_PageDown);
        QVERIFY(dlg.helpButton()->isEnabled());
        QTest::mouseClick(dlg.helpButton(), Qt::LeftButton);
        QCOMPARE(dlg.topics, std::vector<int>{4321});
        QCOMPARE(dlg.focusWidget(), static_cast<QWidget*>(dlg.textBox()));
    }

    void longTextIsWrappedToTheBox() {
        Msg msg = makeMsg("FileFinder.4", std::string(40, 'd') + "/deeper/and/deeper/folder",
                          "a file name that goes on for quite a while, longer than any line");
        MsgListDlg dlg(MsgListDlg::Kind::Warning, {&msg});
        dlg.show();
        QStringList lines = dlg.textBox()->toPlainText().split('\n');
        QVERIFY(lines.size() > 1);
        QCOMPARE(lines.join(QString()), QString::fromStdString(msg.text));
        QFontMetrics fm(dlg.textBox()->font());
        for (const QString& line : lines)
            QVERIFY(fm.horizontalAdvance(line) <= dlg.textBox()->viewport()->width());
    }

    void printLinesKeepsAFittingText() {
        QFontMetrics fm(fixedFont());
        QString s;
        QVERIFY(printLines(s, 1000, "short text", fm.horizontalAdvance("short text"), 0.8, fm));
        QCOMPARE(s, QString("short text"));
        QVERIFY(printLines(s, 1000, "", 10, 0.8, fm));
        QCOMPARE(s, QString());
    }

    void printLinesBreaksAfterBlanks() {
        QFontMetrics fm(fixedFont());
        QString s;
        QVERIFY(printLines(s, 1000, "alpha beta gamma delta epsilon", chars(fm, 12), 0.8, fm));
        // Windows of 12 characters, the last blank in the last fifth ends each line.
        QCOMPARE(s, QString("alpha beta \r\ngamma delta \r\nepsilon"));
    }

    void printLinesPrefersSignsThenDigitsThenLowerCase() {
        QFontMetrics fm(fixedFont());
        QString s;
        // 10 characters fit and about 8 are the shortest line: the window ends at position 9.
        QVERIFY(printLines(s, 1000, "ABCDEFGabCDEFGH", chars(fm, 10), 0.8, fm));
        QCOMPARE(s, QString("ABCDEFGab\r\nCDEFGH"));
        QVERIFY(printLines(s, 1000, "abcdefg-1bcdefgh", chars(fm, 10), 0.8, fm));
        QCOMPARE(s, QString("abcdefg-\r\n1bcdefgh"));
        QVERIFY(printLines(s, 1000, "abcdefgh1bcdefgh", chars(fm, 10), 0.8, fm));
        QCOMPARE(s, QString("abcdefgh1\r\nbcdefgh"));
        // Only upper-case letters: the latest position wins.
        QVERIFY(printLines(s, 1000, "ABCDEFGHIJKLM", chars(fm, 10), 0.8, fm));
        QCOMPARE(s, QString("ABCDEFGHIJ\r\nKLM"));
    }

    void printLinesFailsWhenTheBufferOrWidthIsTooSmall() {
        QFontMetrics fm(fixedFont());
        QString s;
        QVERIFY(!printLines(s, 1000, "abc", chars(fm, 1) / 2, 0.8, fm));
        QString text = "aaaa bbbb cccc";
        // 14 characters, two line ends and the terminating NUL.
        QVERIFY(printLines(s, 19, text, chars(fm, 5), 0.8, fm));
        QCOMPARE(s, QString("aaaa \r\nbbbb \r\ncccc"));
        QVERIFY(!printLines(s, 18, text, chars(fm, 5), 0.8, fm));
        QVERIFY(!printLines(s, 14, "abcdefghijklmn", chars(fm, 100), 0.8, fm));
    }

    void presenterShowsErrorsAndWarningsInTheDialog() {
        MsgListPresenter presenter;
        Presenter* old = installPresenter(&presenter);
        QStringList titles;
        whenModal<MsgListDlg>([&](MsgListDlg* dlg) {
            titles << dlg->windowTitle();
            QTest::keyClick(dlg->textBox(), Qt::Key_PageDown, Qt::ControlModifier);
            titles << dlg->windowTitle();
            dlg->okButton()->click();
        });
        showError(threeErrorChain());
        QCOMPARE(titles, QStringList({"Error 2011", "Error 9000"}));

        titles.clear();
        whenModal<MsgListDlg>([&](MsgListDlg* dlg) {
            titles << dlg->windowTitle();
            dlg->accept();
        });
        showMsgs({makeMsg("FileFinder.5", "x", "y"), makeMsg("FileFinder.4", "x", "y")});
        QCOMPARE(titles, QStringList({"Warning 3704"}));
        installPresenter(old);
    }

    void verificationFailureShowsInternalErrorAndExitsWithOne() {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The process ends inside a call, with the application still alive: its memory is
        // not a leak of this test.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--verify-child"});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        QString out = QString::fromUtf8(child.readAllStandardOutput());
        QVERIFY2(out.startsWith("Internal Error|Verification failed: msg_list_dialog_test.cpp("),
                 qPrintable(out));
        QVERIFY2(out.contains("): argc < 0"), qPrintable(out));
    }
};

namespace {

// The child of the verification test: answers the box by printing what it showed.
int verifyChild(int argc, char** argv) {
    QApplication app(argc, argv);
    MsgListPresenter presenter;
    installPresenter(&presenter);
    whenModal<QMessageBox>([](QMessageBox* box) {
        std::printf("%s|%s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
        std::fflush(stdout);
        box->accept();
    });
    VERIFY(argc < 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--verify-child") == 0) return verifyChild(argc, argv);
    QApplication app(argc, argv);
    MsgListDialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "msg_list_dialog_test.moc"
