#pragma once
// The host's regional settings that the system's texts depend on.

#include "base/Text.h"

namespace zv::platform {

char16_t TimeSeparator();
char16_t DecimalSeparator();
// A date in the regional short date format.
Text FormatShortDate(int aYear, int aMonth, int aDay);

}  // namespace zv::platform
