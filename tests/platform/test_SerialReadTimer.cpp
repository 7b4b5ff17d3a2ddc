// One serial read's time-outs, on instants the test chooses: nothing here waits.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "platform/SerialReadTimer.h"

namespace zv::platform {
namespace {

using Clock = SerialReadTimer::Clock;
using std::chrono::milliseconds;

const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1000);

TEST(SerialReadTimer, TheTotalBoundsTheWaitUntilItPasses) {
  const SerialReadTimer timer(300, 100, kStart);
  EXPECT_EQ(timer.WaitMs(kStart), 300);
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(299)), 1);
  // Part of a millisecond left is waited as a whole one, never as none.
  EXPECT_EQ(timer.WaitMs(kStart + std::chrono::microseconds(299'500)), 1);
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(300)), 0);
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(5000)), 0);
}

TEST(SerialReadTimer, AfterTheFirstByteTheIntervalBoundsTheWaitToo) {
  SerialReadTimer timer(1000, 100, kStart);
  timer.ByteArrived(kStart + milliseconds(50));
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(60)), 90);
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(150)), 0);
  // Each byte starts the interval again; the total still ends the read.
  timer.ByteArrived(kStart + milliseconds(940));
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(950)), 50);
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(1000)), 0);
}

TEST(SerialReadTimer, WithoutATotalOnlyTheIntervalBounds) {
  SerialReadTimer timer(0, 100, kStart);
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(100000)), -1);
  timer.ByteArrived(kStart + milliseconds(100000));
  EXPECT_EQ(timer.WaitMs(kStart + milliseconds(100040)), 60);
  EXPECT_EQ(SerialReadTimer(0, 0, kStart).WaitMs(kStart), -1);
}

// Totals beyond what one wait can take are waited in parts: each part is as long as one
// wait may be, and the read still ends when the whole total has passed.
TEST(SerialReadTimer, TotalsBeyondOneWaitAreWaitedInParts) {
  for (const uint32_t total : {uint32_t{INT32_MAX}, uint32_t{INT32_MAX} + 1, 3'000'000'000u, UINT32_MAX}) {
    SCOPED_TRACE(total);
    const SerialReadTimer timer(total, 100, kStart);
    EXPECT_EQ(timer.WaitMs(kStart), INT_MAX);
    EXPECT_EQ(timer.WaitMs(kStart + milliseconds(total) - milliseconds(7)), 7);
    EXPECT_EQ(timer.WaitMs(kStart + milliseconds(total)), 0);
  }
}

}  // namespace
}  // namespace zv::platform
