#include "platform/Clock.h"

#include <sys/time.h>
#include <time.h>

namespace zv::platform {

CivilTime LocalNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  CivilTime t;
  t.Year = local.tm_year + 1900;
  t.Month = local.tm_mon + 1;
  t.Day = local.tm_mday;
  t.Hour = local.tm_hour;
  t.Minute = local.tm_min;
  t.Second = local.tm_sec > 59 ? 59 : local.tm_sec;
  t.Millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return t;
}

int64_t LocalOffsetSeconds(int64_t aUnixSeconds) {
  time_t t = static_cast<time_t>(aUnixSeconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace zv::platform
