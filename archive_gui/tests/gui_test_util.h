// Helpers for driving windows in Qt tests: a private string store, files on disk, and
// answering the modal windows (message boxes, pickers, progress) a command opens.
#pragma once

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

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
        *seen = {true, box->windowTitle(), box->text(), box->icon()};
        box->accept();
    });
    return seen;
}

// Answers the next file or folder picker with path, as a user who already agreed to replace
// what is there; returns the picker's title, filter, folder and proposed name.
struct PickerSeen {
    QString title, filter, folder, proposed;
};

inline std::shared_ptr<PickerSeen> answerPicker(const std::string& path) {
    auto seen = std::make_shared<PickerSeen>();
    whenModal<QFileDialog>([seen, path](QFileDialog* dlg) {
        auto* name = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        *seen = {dlg->windowTitle(), dlg->selectedNameFilter(), dlg->directory().absolutePath(),
                 name ? dlg->directory().filePath(name->text()) : QString()};
        if (path.empty()) {
            dlg->reject();
            return;
        }
        dlg->selectFile(QString::fromStdString(path));
        dlg->setOption(QFileDialog::DontConfirmOverwrite);
        static_cast<QDialog*>(dlg)->accept();
    });
    return seen;
}
