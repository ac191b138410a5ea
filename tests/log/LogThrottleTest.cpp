#include "log/LogThrottle.h"
#include "support/EventLoop.h"
#include "support/LogRecorder.h"

#include <gtest/gtest.h>

#include <string>

TEST(LogThrottle, SaysHowManyLinesOfACauseWereLeftOutOnceItsWindowEnds)
{
    LogRecorder log;
    const std::chrono::milliseconds window(300);
    LogThrottle throttle(window);
    const std::string cause = "connections refused from 10.0.0.9";
    const auto start = std::chrono::steady_clock::now();
    int allowed = 0;
    int refused = 0;
    const auto attempt = [&] {
        if (throttle.Allow(cause))
            ++allowed;
        else
            ++refused;
    };
    for (int i = 0; i < 25; ++i)
        attempt();
    EXPECT_EQ(allowed, 10);
    EXPECT_TRUE(throttle.Allow("failed openings of serial port /dev/ttyUSB0")) << "each cause counts alone";

    // The cause keeps coming until the summary: were the window moved on by
    // refused attempts, it would never end.
    ASSERT_TRUE(PumpUntil([&] {
        if (!log.Messages().empty())
            return true;
        attempt();
        return false;
    }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, window);
    EXPECT_EQ(allowed, 10);
    PumpFor(window);
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{cause + ": " + std::to_string(refused) + " more in the last 300 ms"});

    // A new window, with its full count of lines.
    allowed = refused = 0;
    for (int i = 0; i < 11; ++i)
        attempt();
    EXPECT_EQ(allowed, 10);
    EXPECT_EQ(refused, 1);
}
