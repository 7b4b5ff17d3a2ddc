#include "platform/SerialReadTimer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <thread>

namespace zv::platform {

namespace {

using Clock = SerialReadTimer::Clock;

std::atomic<int> gLongestWaitMs{INT_MAX};

// What is left until aWhen in whole milliseconds, rounded up so that a wait never ends
// before its bound; at most the longest single wait.
int64_t MsUntil(Clock::time_point aWhen, Clock::time_point aNow) {
  if (aWhen <= aNow) return 0;
  return std::min<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(aWhen - aNow).count(), gLongestWaitMs.load());
}

}  // namespace

SerialReadTimer::SerialReadTimer(uint32_t aTotalMs, uint32_t aIntervalMs, Clock::time_point aStart)
    : fStart(aStart), fTotalMs(aTotalMs), fIntervalMs(aIntervalMs) {}

void SerialReadTimer::ByteArrived(Clock::time_point aWhen) {
  fGotByte = true;
  fLastByte = aWhen;
}

int SerialReadTimer::WaitMs(Clock::time_point aNow) const {
  int64_t wait = -1;
  if (fTotalMs > 0) wait = MsUntil(fStart + std::chrono::milliseconds(fTotalMs), aNow);
  if (fGotByte && fIntervalMs > 0) {
    const int64_t interval = MsUntil(fLastByte + std::chrono::milliseconds(fIntervalMs), aNow);
    wait = wait < 0 ? interval : std::min(wait, interval);
  }
  return static_cast<int>(wait);
}

void SerialReadTimer::SleepOutTotal() const {
  if (fTotalMs > 0) std::this_thread::sleep_until(fStart + std::chrono::milliseconds(fTotalMs));
}

void SetLongestSerialWaitForTests(int aMs) { gLongestWaitMs = aMs > 0 ? aMs : INT_MAX; }

}  // namespace zv::platform
