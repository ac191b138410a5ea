#include "store/LogThrottle.h"
#include "support/EventLoop.h"
#include "support/LogRecorder.h"

#include <gtest/gtest.h>

TEST(LogThrottle, SaysHowManyLinesOfACauseWereLeftOutOnceItsWindowEnds)
{
    LogRecorder log;
    LogThrottle throttle(std::chrono::milliseconds(200));
    int allowed = 0;
    for (int i = 0; i < 25; ++i)
        allowed += throttle.Allow("connections refused from 10.0.0.9");
    EXPECT_EQ(allowed, 10);
    EXPECT_TRUE(throttle.Allow("failed openings of serial port /dev/ttyUSB0")) << "each cause counts alone";

    ASSERT_TRUE(PumpUntil([&] { return !log.Messages().empty(); }));
    PumpFor(std::chrono::milliseconds(300));
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{"connections refused from 10.0.0.9: 15 more in the last 200 ms"});
    EXPECT_TRUE(throttle.Allow("connections refused from 10.0.0.9")) << "a new window";
}
