#include "platform/Clock.h"

namespace zv {

DateTime Now() {
  const platform::CivilTime t = platform::LocalNow();
  return TryEncodeDateTime({t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Millisecond}).value_or(0);
}

DateTime UtcToLocal(DateTime aUtc) {
  const int64_t offset = platform::LocalOffsetSeconds(ToUnixSeconds(aUtc));
  return aUtc + static_cast<double>(offset) / 86400.0;
}

}  // namespace zv
