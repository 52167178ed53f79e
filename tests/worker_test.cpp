#include "archive/support/Worker.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

// The owner's pattern: hand a job over, work meanwhile, collect. Each job must see the
// owner's writes made before start() and the owner must see the job's writes after wait(),
// whether the worker was still spinning or had gone to sleep in between.
TEST(Worker, RunsJobsOnItsThreadAndPublishesTheirResults) {
    Worker w(std::chrono::microseconds(500));
    std::vector<int> data(1000);
    std::thread::id caller = std::this_thread::get_id();
    for (int round = 0; round < 200; ++round) {
        for (int& v : data)
            v = round;
        bool elsewhere = false;
        ASSERT_TRUE(w.start([&] {
            elsewhere = std::this_thread::get_id() != caller;
            for (int& v : data)
                v += 1;
        }));
        if (round % 50 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(3));  // worker asleep
        w.wait();
        ASSERT_TRUE(elsewhere);
        for (int v : data)
            ASSERT_EQ(v, round + 1);
    }
}

TEST(Worker, WaitRethrowsTheJobsFailureOnceAndStopDropsIt) {
    Worker w(std::chrono::microseconds(0));
    ASSERT_TRUE(w.start([] { throw std::runtime_error("disk full"); }));
    EXPECT_THROW(w.wait(), std::runtime_error);
    // The failure is collected: the thread goes on with the next job.
    int ran = 0;
    ASSERT_TRUE(w.start([&] { ++ran; }));
    EXPECT_NO_THROW(w.wait());
    EXPECT_EQ(ran, 1);
    // A failure never collected is dropped by stop(), and the worker starts again afterwards.
    ASSERT_TRUE(w.start([] { throw std::runtime_error("lost"); }));
    w.stop();
    ASSERT_TRUE(w.start([&] { ++ran; }));
    EXPECT_NO_THROW(w.wait());
    EXPECT_EQ(ran, 2);
}
