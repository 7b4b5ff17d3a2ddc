#pragma once
// The read time-outs of a serial port as a Windows port applies them, for one read: it
// returns when the requested count arrived, when the interval passed between two bytes
// after the first one, or when the total passed since the read began (0 for either: no
// such bound).

#include <chrono>
#include <cstdint>

namespace zv::platform {

class SerialReadTimer {
 public:
  using Clock = std::chrono::steady_clock;

  SerialReadTimer(uint32_t aTotalMs, uint32_t aIntervalMs, Clock::time_point aStart = Clock::now());

  void ByteArrived(Clock::time_point aWhen = Clock::now());
  // Milliseconds to wait for more input at aNow: -1 without a bound, 0 once a time-out
  // passed. A bound beyond what one wait of the system can take (about 24.8 days) is
  // waited in parts: the caller waits again until this answers 0.
  int WaitMs(Clock::time_point aNow = Clock::now()) const;
  // A read that failed returns no earlier than its total time-out would have, so that a
  // caller reading in a loop does not spin on a port that fails at once.
  void SleepOutTotal() const;

 private:
  Clock::time_point fStart;
  uint32_t fTotalMs;
  uint32_t fIntervalMs;
  bool fGotByte = false;
  Clock::time_point fLastByte{};
};

// For tests: the longest single wait that WaitMs answers, normally what one wait of the
// system can take, so that a read whose bound is waited in parts shows within a test;
// 0 restores the system's. (A read on Windows waits in the system's serial driver.)
void SetLongestSerialWaitForTests(int aMs);

}  // namespace zv::platform
