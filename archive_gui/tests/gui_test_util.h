// Helpers for Qt tests: a private string store, files on disk, answers to modal windows.
#pragma once

#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

// A temporary folder that is also the string store's folder for as long as it lives.
class TempStore {
  public:
    TempStore() { qputenv("TRESMO_CONFIG_DIR", _dir.path().toUtf8()); }
    ~TempStore() { qunsetenv("TRESMO_CONFIG_DIR"); }

    std::string path(const QString& rel = {}) const {
        return QFile::encodeName(rel.isEmpty() ? _dir.path() : _dir.filePath(rel)).toStdString();
    }
    // Writes data to rel, creating its folders, modified at mtime if one is given.
    std::string write(const QString& rel, const QByteArray& data, qint64 mtime = 0) const {
        QString full = _dir.filePath(rel);
        QDir().mkpath(QFileInfo(full).path());
        QFile f(full);
        if (f.open(QIODevice::WriteOnly) && f.write(data) >= 0 && f.flush() && mtime)
            f.setFileTime(QDateTime::fromSecsSinceEpoch(mtime), QFileDevice::FileModificationTime);
        return QFile::encodeName(full).toStdString();
    }

  private:
    QTemporaryDir _dir;
};

// Runs f on the first modal window of type W within a few seconds, also inside long operations.
template <class W>
void whenModal(std::function<void(W*)> f) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, f, deadline = QDeadlineTimer(5000)] {
        W* w = qobject_cast<W*>(QApplication::activeModalWidget());
        if (!w && !deadline.hasExpired()) return;
        timer->stop();
        timer->deleteLater();
        if (w) f(w);
    });
    timer->start();
}

// "title|text" of the next message box, which is accepted or answered with key.
inline std::shared_ptr<QString> answerNextBox(Qt::Key key = Qt::Key(0)) {
    auto seen = std::make_shared<QString>();
    whenModal<QMessageBox>([seen, key](QMessageBox* box) {
        *seen = box->windowTitle() + '|' + box->text();
        key ? QTest::keyClick(box, key) : box->accept();
    });
    return seen;
}

// Answers the next file or folder picker with path; returns the path the picker proposed.
inline std::shared_ptr<QString> answerPicker(const std::string& path) {
    auto seen = std::make_shared<QString>();
    whenModal<QFileDialog>([seen, path](QFileDialog* dlg) {
        auto* name = dlg->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (name) *seen = dlg->directory().filePath(name->text());
        dlg->selectFile(QString::fromStdString(path));
        dlg->setOption(QFileDialog::DontConfirmOverwrite);
        static_cast<QDialog*>(dlg)->accept();
    });
    return seen;
}
