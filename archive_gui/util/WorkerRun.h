// Runs one long engine operation (load, scan, save, export) on a worker thread, so the window
// keeps painting, while the user-interface thread waits in a modal progress box with Cancel.
//
// The work gets a Progress whose counts and cancel flag are shared between the threads; the
// UI thread copies the counts into a ProgressDlg, which puts the box up once the work has
// taken longer than its delay (until then only the wait cursor shows, and user input waits).
// Messages the engine raises on the worker are shown on the UI thread through the presenter
// that was installed before the run; the worker waits until the user has closed them.
//
// The work is cancelled as by the box's Cancel when the box is cancelled or *stop (read on the
// UI thread between events) turns true. With setQuietCancel, the error the engine raises for
// that cancel is taken as the user's own request coming back, not a failure: it is not shown,
// and cancelled() tells, for the caller to say what became of the work.
//
// run() returns only when the work is done: nothing else in the program runs the engine in
// the meantime, since every path into it goes through the UI thread, which stays inside run().
#pragma once

#include <QString>

#include <functional>

class Progress;
class QWidget;

class WorkerRun {
  public:
    // label: what is being done ("Saving ..."), shown above the counts.
    WorkerRun(QWidget* owner, QString label, int delayMs = 400, const bool* stop = nullptr);

    // Runs work on a worker thread and returns its result.
    bool run(const std::function<bool(Progress&)>& work);

    // Calls f on the UI thread and waits for it; called on the UI thread it just runs f.
    static void onUiThread(const std::function<void()>& f);

    void setQuietCancel(bool on) { _quietCancel = on; }
    // After run() with a quiet cancel: the work stopped because it was cancelled.
    bool cancelled() const { return _cancelled; }

  private:
    QWidget* _owner;
    QString _label;
    int _delayMs;
    const bool* _stop;
    bool _quietCancel = false;
    bool _cancelled = false;
};
