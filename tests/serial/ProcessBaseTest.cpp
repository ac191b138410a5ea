#include "serial/ProcessBase.h"
#include "support/LogRecorder.h"
#include "support/PtyPair.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace
{
// A worker whose passes the test can hold open and whose requests it can see.
class Probe : public ProcessBase
{
public:
    ~Probe() override { stop(); }

    bool run() override
    {
        // Thread ids may be reused, thread-local storage is not.
        thread_local bool counted = false;
        if (!counted)
        {
            counted = true;
            ++threadCount;
        }
        inPass = true;
        {
            std::unique_lock<std::mutex> lock(mutex);
            gateChanged.wait(lock, [this] { return gateOpen; });
        }
        ++passes;
        inPass = false;
        return !endAfterPass;
    }

    void reset() override { ++resets; }

    void OpenGate()
    {
        std::lock_guard<std::mutex> lock(mutex);
        gateOpen = true;
        gateChanged.notify_all();
    }

    void CloseGate()
    {
        std::lock_guard<std::mutex> lock(mutex);
        gateOpen = false;
    }

    std::atomic<int> threadCount{0};
    std::atomic<int> passes{0};
    std::atomic<int> resets{0};
    std::atomic<int> interrupts{0};
    std::atomic<bool> inPass{false};
    std::atomic<bool> endAfterPass{false};

protected:
    void interrupt() override { ++interrupts; }

private:
    std::mutex mutex;                  // protects gateOpen
    std::condition_variable gateChanged;
    bool gateOpen = true;
};

class ProcessBaseTest : public ::testing::Test
{
protected:
    LogRecorder log;
    Probe probe;
};
} // namespace

TEST_F(ProcessBaseTest, StartTwiceRunsOneThreadAndResetsOnce)
{
    probe.start();
    probe.start();
    ASSERT_TRUE(WaitFor([&] { return probe.passes > 10; }));
    EXPECT_EQ(probe.threadCount, 1);
    EXPECT_EQ(probe.resets, 1);
}

TEST_F(ProcessBaseTest, StopWithoutAThreadReturnsQuietly)
{
    probe.stop();
    EXPECT_EQ(probe.resets, 0);
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_FALSE(probe.isRunning());
}

TEST_F(ProcessBaseTest, StopReturnsOnlyAfterTheCurrentPassEnded)
{
    probe.CloseGate();
    probe.start();
    ASSERT_TRUE(WaitFor([&] { return probe.inPass.load(); }));

    // The gate opens only once stop has asked the worker to end, so stop is
    // already waiting when the pass ends.
    std::thread opener([&] {
        WaitFor([&] { return probe.interrupts > 0; });
        probe.OpenGate();
    });
    probe.stop();
    const bool passEndedBeforeStopReturned = !probe.inPass && probe.passes == 1;
    opener.join();

    EXPECT_TRUE(passEndedBeforeStopReturned);
    EXPECT_FALSE(probe.isRunning());
    EXPECT_EQ(probe.resets, 2) << "once by start, once by stop";
    ASSERT_FALSE(log.Messages().empty());
    EXPECT_EQ(log.Messages().back(), "ProcessBase::stop() FINISH");
}

TEST_F(ProcessBaseTest, RunReturningFalseEndsTheThreadAndStartMakesANewOne)
{
    probe.endAfterPass = true;
    probe.start();
    ASSERT_TRUE(WaitFor([&] { return probe.passes == 1 && !probe.isRunning(); }));
    probe.stop();
    EXPECT_EQ(probe.resets, 1) << "stop found no thread";

    probe.endAfterPass = false;
    probe.start();
    ASSERT_TRUE(WaitFor([&] { return probe.passes > 3; }));
    EXPECT_EQ(probe.threadCount, 2);
    EXPECT_TRUE(probe.isRunning());
}

TEST_F(ProcessBaseTest, IsRunningFollowsTheWorker)
{
    EXPECT_FALSE(probe.isRunning());
    probe.start();
    EXPECT_TRUE(probe.isRunning());
    probe.stop();
    EXPECT_FALSE(probe.isRunning());
}

TEST_F(ProcessBaseTest, PauseParksBetweenPassesAndResumeGoesOn)
{
    probe.start();
    ASSERT_TRUE(WaitFor([&] { return probe.passes > 0; }));
    probe.Pause();
    EXPECT_FALSE(probe.inPass);
    EXPECT_FALSE(probe.isRunning());
    const int parkedAt = probe.passes;
    std::this_thread::sleep_for(20ms); // a parked worker must stay parked
    EXPECT_EQ(probe.passes, parkedAt);

    probe.Resume();
    EXPECT_TRUE(WaitFor([&] { return probe.passes > parkedAt; }));
    EXPECT_TRUE(probe.isRunning());
}

TEST_F(ProcessBaseTest, StopEndsAParkedWorker)
{
    probe.start();
    probe.Pause();
    probe.stop();
    EXPECT_FALSE(probe.isRunning());
    EXPECT_EQ(log.Messages().back(), "ProcessBase::stop() FINISH");
}

TEST_F(ProcessBaseTest, StopRacingTheWorkersOwnEndNeverHangs)
{
    // Each worker ends by itself after one pass while stop is asking it to.
    probe.endAfterPass = true;
    for (int round = 0; round < 200; ++round)
    {
        probe.start();
        probe.stop();
        ASSERT_FALSE(probe.isRunning()) << "round " << round;
    }
    probe.endAfterPass = false;
    for (int round = 0; round < 200; ++round)
    {
        probe.start();
        probe.Pause();
        probe.Resume();
        probe.stop();
    }
    EXPECT_FALSE(probe.isRunning());
}
