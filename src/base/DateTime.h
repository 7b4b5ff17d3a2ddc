#pragma once
// Date-time: days since 1899-12-30 with the time of day as the fraction, local time
// unless said otherwise. The value 0 means unset.

#include <optional>

#include "base/Text.h"

namespace zv {

using DateTime = double;

struct DateTimeParts {
  int Year = 1899, Month = 12, Day = 30, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

bool IsValidDate(int aYear, int aMonth, int aDay);
// Nothing when the parts are not a moment of the calendar (year 1 to 9999).
std::optional<DateTime> TryEncodeDateTime(const DateTimeParts& aParts);
std::optional<DateTime> TryEncodeDate(int aYear, int aMonth, int aDay);
DateTimeParts DecodeDateTime(DateTime aValue);
// The parts moved by aMinutes on the calendar (across days, months and years).
DateTimeParts AddMinutes(const DateTimeParts& aParts, int64_t aMinutes);

// Whole seconds since 1970-01-01 of a date-time read as UTC, and back.
int64_t ToUnixSeconds(DateTime aValue);

// "yyyy-mm-ddThh:nn:ss.zzzZ": the value as held, with a fixed Z.
Text FormatIsoZ(DateTime aValue);
// "yyyymmddhhnnsszzz".
Text FormatCompactStamp(DateTime aValue);
// "yyyymmdd".
Text FormatCompactDate(DateTime aValue);

}  // namespace zv
