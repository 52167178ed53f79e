#include "archive_gui/dialogs/MsgListDlg.h"

#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/UiStrings.h"

#include "archive/support/paths.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace {

// Break preference of a character; the highest class in the window ends the line.
int charClass(QChar ch) {
    char16_t c = ch.unicode();
    if ((c >= 'A' && c <= 'Z') || (c >= 192 && c <= 222 && c != 215)) return 0;
    if ((c >= 'a' && c <= 'z') || (c >= 224 && c <= 254 && c != 247)) return 1;
    if (c >= '0' && c <= '9') return 2;
    if (c == ' ') return 4;
    return 3;
}

// How many leading characters of text fit into width pixels.
qsizetype fitting(QStringView text, int width, const QFontMetrics& fm) {
    qsizetype lo = 0, hi = text.size();
    while (lo < hi) {
        qsizetype mid = (lo + hi + 1) / 2;
        if (fm.horizontalAdvance(text.left(mid).toString()) <= width)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

}  // namespace

bool printLines(QString& s, size_t capacity, const QString& text, int width, double factor,
                const QFontMetrics& fm) {
    s.clear();
    size_t left = capacity;
    QStringView rest(text);
    for (;;) {
        qsizetype n = rest.size();
        qsizetype fit = fitting(rest, width, fm);
        if (fit >= n) break;
        qsizetype min = fitting(rest, static_cast<int>(width * factor), fm);
        qsizetype len = 0;
        int best = -1;
        for (qsizetype p = std::max<qsizetype>(min - 1, 0); p < fit; ++p) {
            int c = charClass(rest[p]);
            if (c >= best) {
                best = c;
                len = p + 1;
            }
        }
        // A pair of UTF-16 halves is one character: never end a line between them.
        if (len > 0 && len < n && rest[len - 1].isHighSurrogate()) ++len;
        if (len == 0 || static_cast<size_t>(len) + 2 >= left) return false;
        s += rest.left(len);
        s += QStringLiteral("\r\n");
        left -= static_cast<size_t>(len) + 2;
        rest = rest.mid(len);
    }
    if (static_cast<size_t>(rest.size()) >= left) return false;
    s += rest;
    return true;
}

MsgListDlg::MsgListDlg(Kind kind, std::vector<const Msg*> msgs, QWidget* parent)
    : QDialog(parent), _kind(kind), _msgs(std::move(msgs)) {
    _icon = new QLabel;
    _icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    _text = new QPlainTextEdit;
    _text->setReadOnly(true);
    _text->setLineWrapMode(QPlainTextEdit::NoWrap);
    _text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    _text->setMinimumSize(360, 120);
    _scroll = new QScrollBar(Qt::Vertical);
    // Without tracking a dragged thumb moves to its message only when it is released.
    _scroll->setTracking(false);
    _ok = new QPushButton(tr("OK"));
    _ok->setDefault(true);
    _help = new QPushButton(tr("Help"));
    _copy = new QPushButton(uiString(IDS_COPY));
    _copy->setAutoDefault(false);
    _headline = new QLabel;
    _headline->setWordWrap(true);
    _headline->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont bold = _headline->font();
    bold.setBold(true);
    _headline->setFont(bold);
    _position = new QLabel;
    _position->setAlignment(Qt::AlignCenter);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(_ok);
    buttons->addWidget(_help);
    buttons->addWidget(_copy);
    buttons->addStretch();
    buttons->addWidget(_position);
    auto* row = new QHBoxLayout;
    row->addWidget(_text, 1);
    row->addWidget(_scroll);
    row->addSpacing(6);
    row->addLayout(buttons);
    auto* right = new QVBoxLayout;
    right->addWidget(_headline);
    right->addLayout(row, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(_icon);
    layout->addLayout(right, 1);

    // The chain runs from what the user asked for down to the system's words: the first
    // names the file, the last says what went wrong.
    if (kind == Kind::Error && !_msgs.empty()) {
        QString first = QString::fromUtf8(_msgs.front()->text);
        if (_msgs.size() > 1) first += QStringLiteral(": ") + QString::fromUtf8(_msgs.back()->text);
        _headline->setText(first + QLatin1Char('.'));
    } else {
        _headline->hide();
    }
    _position->setVisible(_msgs.size() > 1);

    QStyle::StandardPixmap icon =
        kind == Kind::Error ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxWarning;
    int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    _icon->setPixmap(style()->standardIcon(icon, nullptr, this).pixmap(size, size));

    if (_msgs.size() > 1) {
        _scroll->setRange(0, static_cast<int>(_msgs.size()) - 1);
        _scroll->setPageStep(1);
        _scroll->setValue(0);
    } else {
        _scroll->setRange(0, 0);
        _scroll->setEnabled(false);
    }

    connect(_scroll, &QScrollBar::valueChanged, this, [this](int i) {
        if (i != _current) showMsg(i);
    });
    connect(_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(_copy, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(allText()); });
    connect(_help, &QPushButton::clicked, this, [this] {
        if (_current >= 0) openHelp(_msgs[static_cast<size_t>(_current)]->code);
        _text->setFocus();
    });
    for (QWidget* w : findChildren<QWidget*>())
        w->installEventFilter(this);
    showMsg(0);
}

QString MsgListDlg::allText() const {
    QString title = uiString(_kind == Kind::Error ? IDS_ERROR_TITLE : IDS_WARNING_TITLE);
    QStringList lines;
    for (const Msg* m : _msgs)
        lines << QString(title).replace("%d", QString::number(m->code)) + QStringLiteral(": ") +
                     QString::fromUtf8(m->text);
    return lines.join('\n');
}

std::vector<const Msg*> MsgListDlg::chainOf(const Error& error) {
    std::vector<const Msg*> chain;
    for (const Error* e = &error; e; e = e->cause.get())
        chain.push_back(e);
    return chain;
}

void MsgListDlg::showMsg(int i) {
    if (i < 0 || static_cast<size_t>(i) >= _msgs.size()) return;
    _current = i;
    const Msg& msg = *_msgs[static_cast<size_t>(i)];
    QString title = uiString(_kind == Kind::Error ? IDS_ERROR_TITLE : IDS_WARNING_TITLE);
    setWindowTitle(title.replace("%d", QString::number(msg.code)));
    showText();
    if (_msgs.size() > 1) _scroll->setValue(i);
    _position->setText(
        uiFormat(IDS_MSG_POSITION, {QString::number(i + 1), QString::number(_msgs.size())}));
    _help->setEnabled(msg.hasHelp);
}

void MsgListDlg::showText() {
    if (_current < 0) return;
    QString text = QString::fromUtf8(_msgs[static_cast<size_t>(_current)]->text);
    int width =
        _text->viewport()->width() - 2 * static_cast<int>(_text->document()->documentMargin()) - 1;
    QString wrapped;
    if (printLines(wrapped, MAX_TEXT, text, width, FACTOR, QFontMetrics(_text->font()))) {
        _text->setLineWrapMode(QPlainTextEdit::NoWrap);
        _text->setPlainText(wrapped.replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    } else {
        _text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        _text->setPlainText(text);
    }
}

bool MsgListDlg::pageKey(QKeyEvent* event) {
    bool ctrl = event->modifiers() & Qt::ControlModifier;
    int last = static_cast<int>(_msgs.size()) - 1;
    if (event->key() == Qt::Key_PageDown) {
        showMsg(ctrl ? last : _current + 1);
        return true;
    }
    if (event->key() == Qt::Key_PageUp) {
        showMsg(ctrl ? 0 : _current - 1);
        return true;
    }
    return false;
}

bool MsgListDlg::eventFilter(QObject* watched, QEvent* event) {
    // The text is wrapped for the box's width, so a new width wraps it again.
    if (watched == _text->viewport() && event->type() == QEvent::Resize) showText();
    // Page keys belong to the dialog whichever control has the focus; the text box would
    // otherwise scroll its lines with them.
    if (event->type() == QEvent::KeyPress && pageKey(static_cast<QKeyEvent*>(event))) return true;
    return QDialog::eventFilter(watched, event);
}

void MsgListDlg::keyPressEvent(QKeyEvent* event) {
    if (!pageKey(event)) QDialog::keyPressEvent(event);
}

void MsgListDlg::openHelp(int topic) {
    openHelpPage(this, topic);
}

void MsgListPresenter::showError(const Error& error) {
    if (!qApp) {  // on the terminal, names escaped as the command line shows them
        for (const Error* e = &error; e; e = e->cause.get())
            std::fprintf(stderr, "Error %d: %s\n", e->code, escapedName(e->text).c_str());
        return;
    }
    MsgListDlg dlg(MsgListDlg::Kind::Error, MsgListDlg::chainOf(error),
                   QApplication::activeWindow());
    dlg.exec();
}

void MsgListPresenter::showMsgs(const MsgList& list) {
    if (list.empty()) return;
    if (!qApp) {
        for (const Msg& m : list)
            std::fprintf(stderr, "Warning %d: %s\n", m.code, escapedName(m.text).c_str());
        return;
    }
    std::vector<const Msg*> msgs;
    for (const Msg& m : list)
        msgs.push_back(&m);
    MsgListDlg dlg(MsgListDlg::Kind::Warning, std::move(msgs), QApplication::activeWindow());
    dlg.exec();
}

void MsgListPresenter::verifyFailed(const char* file, int line, const char* expr) {
    QString text = QString::asprintf("Verification failed: %s(%d): %s", file, line, expr);
    std::fprintf(stderr, "Internal Error: %s\n", text.toUtf8().constData());
    if (!qApp) return;
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Internal Error"), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}
