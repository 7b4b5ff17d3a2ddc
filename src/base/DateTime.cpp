#include "base/DateTime.h"

#include <cmath>
#include <cstdio>

namespace zv {

namespace {

constexpr double kMsPerDay = 86400000.0;

// Days from 1970-01-01 of a proleptic Gregorian date.
constexpr int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// Constant-initialised: the library's load-time objects use dates before any dynamic
// initialisation of this file has run.
constexpr int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);  // 1899-12-30 in Unix days

int DaysInMonth(int aYear, int aMonth) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (aYear % 4 == 0 && aYear % 100 != 0) || aYear % 400 == 0;
  return aMonth == 2 && leap ? 29 : kDays[aMonth - 1];
}

}  // namespace

bool IsValidDate(int aYear, int aMonth, int aDay) {
  return aYear >= 1 && aYear <= 9999 && aMonth >= 1 && aMonth <= 12 && aDay >= 1 &&
         aDay <= DaysInMonth(aYear, aMonth);
}

std::optional<DateTime> TryEncodeDate(int aYear, int aMonth, int aDay) {
  if (!IsValidDate(aYear, aMonth, aDay)) return std::nullopt;
  return static_cast<double>(DaysFromCivil(aYear, static_cast<unsigned>(aMonth), static_cast<unsigned>(aDay)) -
                             kEpochOffset);
}

std::optional<DateTime> TryEncodeDateTime(const DateTimeParts& p) {
  auto date = TryEncodeDate(p.Year, p.Month, p.Day);
  if (!date) return std::nullopt;
  if (p.Hour < 0 || p.Hour > 23 || p.Minute < 0 || p.Minute > 59 || p.Second < 0 || p.Second > 59 ||
      p.Millisecond < 0 || p.Millisecond > 999)
    return std::nullopt;
  double time = (((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second) * 1000.0 + p.Millisecond) / kMsPerDay;
  // Before 1899-12-30 the time of day counts away from zero, as the day count does.
  return *date < 0 ? *date - time : *date + time;
}

DateTimeParts DecodeDateTime(DateTime aValue) {
  double whole = std::trunc(aValue);
  auto days = static_cast<int64_t>(whole);
  auto ms = static_cast<int64_t>(std::llround(std::fabs(aValue - whole) * kMsPerDay));
  if (ms >= 86400000) {
    ms -= 86400000;
    days += aValue < 0 ? -1 : 1;
  }
  DateTimeParts p;
  CivilFromDays(days + kEpochOffset, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

DateTimeParts AddMinutes(const DateTimeParts& aParts, int64_t aMinutes) {
  const int64_t days = DaysFromCivil(aParts.Year, static_cast<unsigned>(aParts.Month), static_cast<unsigned>(aParts.Day));
  int64_t minutes = days * 1440 + aParts.Hour * 60 + aParts.Minute + aMinutes;
  int64_t newDays = minutes / 1440;
  int64_t minuteOfDay = minutes % 1440;
  if (minuteOfDay < 0) {
    minuteOfDay += 1440;
    newDays -= 1;
  }
  DateTimeParts p = aParts;
  CivilFromDays(newDays, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(minuteOfDay / 60);
  p.Minute = static_cast<int>(minuteOfDay % 60);
  return p;
}

int64_t ToUnixSeconds(DateTime aValue) {
  DateTimeParts p = DecodeDateTime(aValue);
  return (DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day))) * 86400 +
         p.Hour * 3600 + p.Minute * 60 + p.Second;
}

Text FormatIsoZ(DateTime aValue) {
  DateTimeParts p = DecodeDateTime(aValue);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", p.Year, p.Month, p.Day, p.Hour,
                p.Minute, p.Second, p.Millisecond);
  return FromAscii(buffer);
}

Text FormatCompactStamp(DateTime aValue) {
  DateTimeParts p = DecodeDateTime(aValue);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d%02d%02d%02d%03d", p.Year, p.Month, p.Day, p.Hour, p.Minute,
                p.Second, p.Millisecond);
  return FromAscii(buffer);
}

Text FormatCompactDate(DateTime aValue) {
  DateTimeParts p = DecodeDateTime(aValue);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", p.Year, p.Month, p.Day);
  return FromAscii(buffer);
}

}  // namespace zv
