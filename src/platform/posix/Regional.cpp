#include "platform/Regional.h"

#include <cstdio>

namespace zv::platform {

// Linux hosts have no per-user regional settings that the library could honour
// consistently; the driver uses the settings of its reference region.
char16_t TimeSeparator() { return u':'; }
char16_t DecimalSeparator() { return u'.'; }

Text FormatShortDate(int aYear, int aMonth, int aDay) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d", aDay, aMonth, aYear);
  return FromAscii(buffer);
}

}  // namespace zv::platform
