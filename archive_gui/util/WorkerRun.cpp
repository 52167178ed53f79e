#include "archive_gui/util/WorkerRun.h"

#include "archive_gui/util/DlgUtils.h"
#include "archive_gui/util/ProgressDlg.h"

#include "archive/support/Progress.h"
#include "archive/support/msg.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// The counts and the cancel flag, written by one thread and read by the other.
class SharedProgress : public Progress {
  public:
    // A new stage (the save after its catch-up) counts from nothing towards its own total.
    void expect(int64_t files, int64_t bytes) override {
        _files = 0;
        _bytes = 0;
        _expectedFiles = files;
        _expectedBytes = bytes;
    }
    void advance(int64_t files, int64_t bytes) override {
        _files += files;
        _bytes += bytes;
    }
    bool cancelled() const override { return _cancel; }

    std::atomic<int64_t> _files{0};
    std::atomic<int64_t> _bytes{0};
    std::atomic<int64_t> _expectedFiles{0};
    std::atomic<int64_t> _expectedBytes{0};
    std::atomic<bool> _cancel{false};
};

// Hands every message to the presenter that was installed before the run, on the UI thread.
class UiThreadPresenter : public Presenter {
  public:
    // cancel: the run's cancel flag, or null; an error that reports it is swallowed into
    // swallowed.
    UiThreadPresenter(const std::atomic<bool>* cancel, bool& swallowed)
        : _previous(installPresenter(this)), _cancel(cancel), _swallowed(swallowed) {}
    ~UiThreadPresenter() override { installPresenter(_previous); }
    UiThreadPresenter(const UiThreadPresenter&) = delete;
    UiThreadPresenter& operator=(const UiThreadPresenter&) = delete;

    void showError(const Error& error) override {
        if (_cancel && *_cancel && error.hasCode(CANCEL_CODE)) {
            _swallowed = true;
            return;
        }
        forward([&] { ::showError(error); });
    }
    void showMsgs(const MsgList& list) override {
        forward([&] { ::showMsgs(list); });
    }
    void verifyFailed(const char* file, int line, const char* expr) override {
        forward([&] {
            if (_previous) _previous->verifyFailed(file, line, expr);
        });
    }

  private:
    // The previous presenter may be the default one (null), reached only through the free
    // functions, so it is put back for the length of the call. The worker waits meanwhile,
    // so nothing else sees the swap.
    void forward(const std::function<void()>& show) {
        WorkerRun::onUiThread([&] {
            installPresenter(_previous);
            show();
            installPresenter(this);
        });
    }

    static constexpr int32_t CANCEL_CODE = 2032;  // "Cancelled by the user"

    Presenter* _previous;
    const std::atomic<bool>* _cancel;
    bool& _swallowed;
};

}  // namespace

WorkerRun::WorkerRun(QWidget* owner, QString label, int delayMs, const bool* stop)
    : _owner(owner), _label(std::move(label)), _delayMs(delayMs), _stop(stop) {}

void WorkerRun::onUiThread(const std::function<void()>& f) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) {
        f();
        return;
    }
    QMetaObject::invokeMethod(app, f, Qt::BlockingQueuedConnection);
}

bool WorkerRun::run(const std::function<bool(Progress&)>& work) {
    WaitCursor wait;
    SharedProgress shared;
    _cancelled = false;
    UiThreadPresenter presenter(_quietCancel ? &shared._cancel : nullptr, _cancelled);
    ProgressDlg box(_owner, _label, _delayMs);

    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    bool result = false;
    std::thread worker([&] {
        bool ok = work(shared);
        std::lock_guard<std::mutex> hold(lock);
        result = ok;
        done = true;
        wake.notify_one();
    });

    int64_t files = 0;
    int64_t bytes = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock);
            // A message from the worker is a posted call that waits for this thread, so the
            // wait is short and the events run in between.
            if (wake.wait_for(hold, std::chrono::milliseconds(ProgressDlg::POLL_MS + 1),
                              [&] { return done; }))
                break;
        }
        box.expect(shared._expectedFiles, shared._expectedBytes);
        int64_t f = shared._files;
        int64_t b = shared._bytes;
        box.advance(f - files, b - bytes);
        files = f;
        bytes = b;
        if (box.cancelled() || (_stop && *_stop)) shared._cancel = true;
        // The box stops turning the event loop once it is cancelled, but the worker may
        // still have a message to show before it stops.
        QCoreApplication::processEvents(box.box() ? QEventLoop::AllEvents
                                                  : QEventLoop::ExcludeUserInputEvents);
    }
    worker.join();
    return result;
}
