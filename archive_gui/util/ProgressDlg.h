// Progress of long work on the one user-interface thread, with a Cancel button.
//
// The engine calls advance() and cancelled() between units of work; each call lets the
// window system run (at most every POLL_MS), so the window repaints and the Cancel button
// can be pressed while the work goes on. The box appears only once the work has taken
// longer than the delay, so short work never flashes a window. Before it is up only painting
// and timers run; once it is up the rest of the program takes no input (the box is modal).
// Either way nothing can start a second operation from inside the first. Destroying the
// object closes the box.
//
// When the work knows its total the bar fills (by the bytes when they are known, else by the
// files) and the box says how much is done of how much, the percent, and, once the pace is
// known, the time left; otherwise the bar runs without end over the counts alone.
#pragma once

#include "archive/support/Progress.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QProgressDialog>
#include <QString>

#include <cstdint>

class QWidget;

class ProgressDlg : public Progress {
  public:
    static constexpr int POLL_MS = 50;

    // label: what is being done, shown above the counts.
    ProgressDlg(QWidget* owner, QString label, int delayMs = 400);
    ~ProgressDlg() override;

    void expect(int64_t files, int64_t bytes) override;
    void advance(int64_t files, int64_t bytes) override;
    bool cancelled() const override;

    int64_t filesDone() const { return _files; }

    struct Counts {
        int64_t files = 0;
        int64_t expectedFiles = 0;
        int64_t bytes = 0;
        int64_t expectedBytes = 0;
    };
    // Thousandths done, or -1 when no total is known.
    static int permille(const Counts& c);
    // The lines under the label, for work that has run elapsedMs so far.
    static QString countsText(const Counts& c, int64_t elapsedMs);
    // The box, once it is shown (null before).
    QProgressDialog* box() const { return _box; }

  private:
    void poll() const;
    void show() const;

    QWidget* _owner;
    QString _label;
    int _delayMs;
    int64_t _files = 0;
    int64_t _bytes = 0;
    int64_t _expectedFiles = 0;
    int64_t _expectedBytes = 0;
    QElapsedTimer _started;
    mutable QElapsedTimer _lastPoll;
    mutable bool _polled = false;
    mutable bool _cancelled = false;
    mutable QPointer<QProgressDialog> _box;
};
