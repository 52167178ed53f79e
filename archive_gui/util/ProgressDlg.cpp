#include "archive_gui/util/ProgressDlg.h"

#include <QApplication>
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
    (void)bytes;
    _expectedFiles = files;
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
        QString counts = _expectedFiles > 0
                             ? QString("%1 of %2 files").arg(_files).arg(_expectedFiles)
                             : QString("%1 files").arg(_files);
        if (_bytes > 0) counts += QString(", %1 KB").arg((_bytes + 1023) / 1024);
        _box->setLabelText(_label + "\n" + counts);
        if (_expectedFiles > 0) {
            _box->setRange(0, 1000);
            _box->setValue(
                static_cast<int>(1000 * std::min(_files, _expectedFiles) / _expectedFiles));
        } else {
            _box->setRange(0, 0);
        }
    }
    // Until the modal box is up nothing blocks the other windows, so their input waits:
    // a click there must not start a second operation inside this one.
    QApplication::processEvents(_box ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    if (_box && _box->wasCanceled()) _cancelled = true;
}
