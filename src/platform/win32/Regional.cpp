#include "platform/Regional.h"

#include <cstdio>

#include "Wide.h"

namespace zv::platform {

namespace {

// The user's setting for aType; aFallback when the system answers nothing.
Text LocaleInfo(LCTYPE aType, const Text& aFallback) {
  wchar_t buffer[128] = {};
  const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, aType, buffer, 128);
  return n > 1 ? FromWide(buffer, static_cast<size_t>(n - 1)) : aFallback;
}

}  // namespace

char16_t TimeSeparator() { return LocaleInfo(LOCALE_STIME, u":").front(); }
char16_t DecimalSeparator() { return LocaleInfo(LOCALE_SDECIMAL, u".").front(); }

// The short date pattern with its day, month and year fields filled; the pattern's
// quoted literals are copied without their quotes.
Text FormatShortDate(int aYear, int aMonth, int aDay) {
  const Text pattern = LocaleInfo(LOCALE_SSHORTDATE, u"dd/MM/yyyy");
  Text out;
  for (size_t i = 0; i < pattern.size();) {
    const char16_t c = pattern[i];
    size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c) ++run;
    char buffer[16];
    if (c == u'd' && run <= 2) {
      std::snprintf(buffer, sizeof buffer, run == 1 ? "%d" : "%02d", aDay);
      out += FromAscii(buffer);
    } else if (c == u'M' && run <= 2) {
      std::snprintf(buffer, sizeof buffer, run == 1 ? "%d" : "%02d", aMonth);
      out += FromAscii(buffer);
    } else if (c == u'y') {
      std::snprintf(buffer, sizeof buffer, run <= 2 ? "%02d" : "%04d", run <= 2 ? aYear % 100 : aYear);
      out += FromAscii(buffer);
    } else if (c == u'\'') {
      const size_t end = pattern.find(u'\'', i + 1);
      out += pattern.substr(i + 1, (end == Text::npos ? pattern.size() : end) - i - 1);
      i = end == Text::npos ? pattern.size() : end + 1;
      continue;
    } else {
      out.append(run, c);
    }
    i += run;
  }
  return out;
}

// The system's ANSI code page with its own replacement character; no best fit, which
// would send a different letter (A for Ā) instead of marking the one that is missing.
std::string ToAnsi(TextView aText) {
  if (aText.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(aText.data());
  const int length = static_cast<int>(aText.size());
  // A system whose ANSI code page is UTF-8 takes no such flag (and needs none).
  const DWORD flags = GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  const int n = WideCharToMultiByte(CP_ACP, flags, wide, length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(CP_ACP, flags, wide, length, bytes.data(), n, nullptr, nullptr);
  return bytes;
}

}  // namespace zv::platform
