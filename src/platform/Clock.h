#pragma once
// The local clock and the local time zone.

#include <cstdint>

#include "base/DateTime.h"

namespace zv {

// The current local date and time.
DateTime Now();
// A UTC date-time converted to local time with the zone's offset at that instant
// (milliseconds kept).
DateTime UtcToLocal(DateTime aUtc);

namespace platform {

struct CivilTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// The current local date and time, to the millisecond.
CivilTime LocalNow();
// Offset of local time from UTC, in seconds, at the given instant (seconds since
// 1970-01-01 UTC), so that daylight saving time is honoured for that moment.
int64_t LocalOffsetSeconds(int64_t aUnixSeconds);

}  // namespace platform

}  // namespace zv
