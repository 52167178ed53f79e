#include "archive_gui/util/ProgressDlg.h"

#include "archive_gui/util/UiStrings.h"

#include <QApplication>
#include <QLocale>
#include <QProgressDialog>

#include <algorithm>

ProgressDlg::ProgressDlg(QWidget* owner, QString label, int delayMs)
    : _owner(owner), _label(std::move(label)), _delayMs(delayMs) {
    _started.start();
}

ProgressDlg::~ProgressDlg() {
    if (_box) {
        QApplication::restoreOverrideCursor();
        delete _box;
    }
}

void ProgressDlg::expect(int64_t files, int64_t bytes) {
    _expectedFiles = files;
    _expectedBytes = bytes;
    poll();
}

void ProgressDlg::advance(int64_t files, int64_t bytes) {
    _files += files;
    _bytes += bytes;
    poll();
}

bool ProgressDlg::cancelled() const {
    poll();
    return _cancelled;
}

void ProgressDlg::show() const {
    _box = new QProgressDialog(_owner);
    _box->setWindowModality(Qt::WindowModal);
    _box->setMinimumDuration(0);
    _box->setAutoReset(false);
    _box->setAutoClose(false);
    _box->setMinimumWidth(360);
    // The caller runs under the wait cursor; over this box the user must see that Cancel
    // can be pressed.
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    _box->show();
}

void ProgressDlg::poll() const {
    // The first call always lets the window system run, so a Cancel that is already on its
    // way is seen before any work is done.
    if (_cancelled || (_polled && _lastPoll.elapsed() < POLL_MS)) return;
    _polled = true;
    _lastPoll.start();
    if (!_box && _started.elapsed() >= _delayMs) show();
    if (_box) {
        Counts c{_files, _expectedFiles, _bytes, _expectedBytes};
        _box->setLabelText(_label + "\n" + countsText(c, _started.elapsed()));
        int done = permille(c);
        _box->setRange(0, done < 0 ? 0 : 1000);
        if (done >= 0) _box->setValue(done);
    }
    // Until the modal box is up nothing blocks the other windows, so their input waits:
    // a click there must not start a second operation inside this one.
    QApplication::processEvents(_box ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    if (_box && _box->wasCanceled()) _cancelled = true;
}

int ProgressDlg::permille(const Counts& c) {
    auto part = [](int64_t done, int64_t total) {
        return static_cast<int>(1000 * std::min(done, total) / total);
    };
    if (c.expectedBytes > 0) return part(c.bytes, c.expectedBytes);
    if (c.expectedFiles > 0) return part(c.files, c.expectedFiles);
    return -1;
}

QString ProgressDlg::countsText(const Counts& c, int64_t elapsedMs) {
    QLocale l;
    QString text =
        c.expectedFiles > 0
            ? uiFormat(IDS_PROGRESS_FILES, {l.toString(c.files), l.toString(c.expectedFiles)})
            : uiFormat(c.files == 1 ? IDS_FILE : IDS_FILES, {l.toString(c.files)});
    if (c.expectedBytes > 0)
        text += ", " + uiFormat(IDS_PROGRESS_BYTES, {l.formattedDataSize(c.bytes, 1),
                                                     l.formattedDataSize(c.expectedBytes, 1)});
    else if (c.bytes > 0)
        text += ", " + l.formattedDataSize(c.bytes, 1);
    int done = permille(c);
    if (done < 0) return text;
    text += ", " + l.toString(done / 10) + '%';
    // The pace of the first seconds and the first percent says little of the rest.
    if (elapsedMs < 2000 || done < 20 || done >= 1000) return text;
    int64_t left = (elapsedMs * (1000 - done) / done + 999) / 1000;
    text += '\n' + (left <= 90 ? uiFormat(IDS_TIME_LEFT, {l.toString(left)})
                               : uiFormat(IDS_TIME_LEFT_MIN, {l.toString((left + 30) / 60)}));
    return text;
}
