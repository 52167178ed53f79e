// A second thread that runs one job at a time for its owner.
//
// The owner hands over a job with start(), does its own share of the work, then collects the
// job with wait(), which rethrows what the job threw. The thread is started with the first job
// and joined by stop() or the destructor. Jobs come in quick succession while a stream or a
// save is under way, and waking a sleeping thread costs as much as a good part of a job on a
// virtual machine, so both sides spin for a while (the owner's choice) before they sleep.
// The spin is cut to MAX_SPIN whatever the owner asks: on a machine whose cores are all busy
// a spinning thread takes its time slice from the very thread it waits for (or from the
// owner's other work), and a wait of milliseconds that way made two threads slower than one.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

// Tells the processor that this thread is waiting in a loop (the pause instruction on x86).
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

class Worker {
  public:
    static constexpr std::chrono::microseconds MAX_SPIN{50};

    explicit Worker(std::chrono::microseconds spin) : _spin(std::min(spin, MAX_SPIN)) {}
    ~Worker() { stop(); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs job on the thread. False when no thread could be started: the job has not run, and
    // the caller runs it itself. Only one job at a time: wait() before the next start().
    bool start(std::function<void()> job);
    // No job running: the next start() begins at once.
    bool idle() const { return !_busy.load(std::memory_order_acquire); }
    // Waits for the job handed over last and rethrows its failure. A job the thread has not
    // picked up yet is taken back and run here: on a machine with no core to spare the thread
    // may not run for a whole time slice, and the owner would sit idle meanwhile.
    void wait();
    // Waits for the job, drops its failure and joins the thread.
    void stop();

  private:
    void loop();
    template <class Pred>
    void spinUntil(Pred done) const;

    const std::chrono::microseconds _spin;
    std::thread _thread;
    std::mutex _mutex;
    std::condition_variable _wake;
    std::function<void()> _job;  // empty once the thread or wait() has taken it
    // Written under _mutex; read without it while spinning.
    std::atomic<bool> _busy = false;
    std::atomic<bool> _quit = false;
    std::exception_ptr _failure;
};
