#pragma once
// The host's regional settings that the system's texts depend on.

#include <string>

#include "base/Text.h"

namespace zv::platform {

char16_t TimeSeparator();
char16_t DecimalSeparator();
// A date in the regional short date format.
Text FormatShortDate(int aYear, int aMonth, int aDay);

// Text as bytes of the system's ANSI code page, the one programs without Unicode use
// (Windows: the system's setting; Linux: Windows-1252, that of the reference region).
// Each UTF-16 code unit the code page lacks becomes its replacement, "?" (so a character
// outside the basic plane, two units, gives two, as Windows converts it).
std::string ToAnsi(TextView aText);

}  // namespace zv::platform
