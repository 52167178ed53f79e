// Helpers for driving dialogs in Qt tests: a private string store, files on disk, and
// answering the modal windows (message boxes, pickers, progress) a dialog opens.
#pragma once

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

// A temporary folder that is also the string store's folder for as long as it lives, so a
// test never reads or writes the user's settings.
class TempStore {
  public:
    TempStore() { qputenv("TRESMO_CONFIG_DIR", _dir.path().toUtf8()); }
    ~TempStore() { qunsetenv("TRESMO_CONFIG_DIR"); }

    std::string path(const QString& rel = {}) const {
        return QFile::encodeName(rel.isEmpty() ? _dir.path() : _dir.filePath(rel)).toStdString();
    }
    // Writes size bytes to rel, creating its folders.
    std::string write(const QString& rel, qint64 size) const {
        QString full = _dir.filePath(rel);
        QDir().mkpath(QFileInfo(full).path());
        QFile f(full);
        if (f.open(QIODevice::WriteOnly)) f.write(QByteArray(size, 'x'));
        return QFile::encodeName(full).toStdString();
    }

  private:
    QTemporaryDir _dir;
};

// Runs f on the first modal window of type W that appears, within a few seconds. The check
// runs whenever the event loop turns, so it also answers windows shown inside a long
// operation that only lets events through now and then.
template <class W>
void whenModal(std::function<void(W*)> f) {
    auto* timer = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    timer->setInterval(0);
    QObject::connect(timer, &QTimer::timeout, [timer, clock, f] {
        W* w = qobject_cast<W*>(QApplication::activeModalWidget());
        if (!w && clock->elapsed() < 5000) return;
        timer->stop();
        timer->deleteLater();
        delete clock;
        if (w) f(w);
    });
    timer->start();
}

// What the next message box showed; it is answered with its default button.
struct BoxSeen {
    bool shown = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

inline std::shared_ptr<BoxSeen> answerNextBox() {
    auto seen = std::make_shared<BoxSeen>();
    whenModal<QMessageBox>([seen](QMessageBox* box) {
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        box->accept();
    });
    return seen;
}
