#include "platform/Regional.h"

#include <cstdio>

namespace zv::platform {

namespace {

// Windows-1252 for the code points 0x80 to 0x9F that it places elsewhere; the unused
// bytes of that range stand for the control code of the same value.
uint8_t AnsiByte(char16_t aCode) {
  if (aCode < 0x80 || (aCode >= 0xA0 && aCode <= 0xFF)) return static_cast<uint8_t>(aCode);
  static constexpr char16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  for (uint8_t i = 0; i < 32; ++i)
    if (kHigh[i] == aCode) return static_cast<uint8_t>(0x80 + i);
  return '?';
}

}  // namespace

// Linux hosts have no per-user regional settings that the library could honour
// consistently; the driver uses the settings of its reference region.
char16_t TimeSeparator() { return u':'; }
char16_t DecimalSeparator() { return u'.'; }

Text FormatShortDate(int aYear, int aMonth, int aDay) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d/%02d/%04d", aDay, aMonth, aYear);
  return FromAscii(buffer);
}

std::string ToAnsi(TextView aText) {
  std::string bytes;
  bytes.reserve(aText.size());
  for (const char16_t unit : aText) bytes.push_back(static_cast<char>(AnsiByte(unit)));
  return bytes;
}

}  // namespace zv::platform
