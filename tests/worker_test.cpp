#include "archive/support/Worker.h"

#include <gtest/gtest.h>

#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

// Writes cross start() and wait() both ways, whether the worker spun, slept or never picked
// the job up (wait() then runs it itself).
TEST(Worker, RunsJobsOnItsThreadAndPublishesTheirResultsAndFailures) {
    Worker w(std::chrono::microseconds(500));
    std::vector<int> data(1000);
    const std::thread::id caller = std::this_thread::get_id();
    int elsewhere = 0;
    for (int round = 0; round < 200; ++round) {
        for (int& v : data)
            v = round;
        ASSERT_TRUE(w.start([&] {
            elsewhere += std::this_thread::get_id() != caller;
            for (int& v : data)
                v += 1;
        }));
        if (round % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        w.wait();
        for (int v : data)
            ASSERT_EQ(v, round + 1);
    }
    EXPECT_GT(elsewhere, 0);
    // A failure is rethrown once, also from a job taken back from a sleeping worker; one never
    // collected is dropped by stop().
    for (int round = 0; round < 20; ++round) {
        std::this_thread::sleep_for(std::chrono::microseconds(round % 2 ? 0 : 1000));
        ASSERT_TRUE(w.start([] { throw std::runtime_error("disk full"); }));
        EXPECT_THROW(w.wait(), std::runtime_error);
    }
    ASSERT_TRUE(w.start([] { throw std::runtime_error("lost"); }));
    w.stop();
    ASSERT_TRUE(w.start([] {}));
    EXPECT_NO_THROW(w.wait());
}

// However long the owner asks it to spin, an idle worker soon sleeps: spinning on a busy
// machine takes the time of the threads that do the work.
TEST(Worker, IdleWorkerSleepsAfterAShortSpin) {
    auto cpu = [](clockid_t clock) {
        timespec t;
        clock_gettime(clock, &t);
        return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
    };
    Worker w(std::chrono::seconds(1));
    ASSERT_TRUE(w.start([] {}));
    w.wait();
    // Only the worker runs while this thread sleeps.
    double others = cpu(CLOCK_PROCESS_CPUTIME_ID) - cpu(CLOCK_THREAD_CPUTIME_ID);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double spun = cpu(CLOCK_PROCESS_CPUTIME_ID) - cpu(CLOCK_THREAD_CPUTIME_ID) - others;
    EXPECT_LT(spun, 0.010) << "the idle worker kept spinning";
}
