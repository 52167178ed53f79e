#include "archive/support/Worker.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

// Writes cross start() and wait() both ways, whether the worker spun or slept in between.
TEST(Worker, RunsJobsOnItsThreadAndPublishesTheirResultsAndFailures) {
    Worker w(std::chrono::microseconds(500));
    std::vector<int> data(1000);
    const std::thread::id caller = std::this_thread::get_id();
    for (int round = 0; round < 200; ++round) {
        for (int& v : data)
            v = round;
        bool elsewhere = false;
        ASSERT_TRUE(w.start([&] {
            elsewhere = std::this_thread::get_id() != caller;
            for (int& v : data)
                v += 1;
        }));
        if (round % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        w.wait();
        ASSERT_TRUE(elsewhere);
        for (int v : data)
            ASSERT_EQ(v, round + 1);
    }
    // A failure is rethrown once; one never collected is dropped by stop().
    ASSERT_TRUE(w.start([] { throw std::runtime_error("disk full"); }));
    EXPECT_THROW(w.wait(), std::runtime_error);
    ASSERT_TRUE(w.start([] { throw std::runtime_error("lost"); }));
    w.stop();
    ASSERT_TRUE(w.start([] {}));
    EXPECT_NO_THROW(w.wait());
}
