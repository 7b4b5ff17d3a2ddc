#pragma once
// Printing of Text in test failure messages, and small conversions for tests.

#include <functional>
#include <ostream>
#include <string>

#include "base/Exception.h"
#include "base/Text.h"
#include "platform/Regional.h"

namespace zv {

inline void PrintTo(const Text& aText, std::ostream* aOut) { *aOut << '"' << ToUtf8(aText) << '"'; }

}  // namespace zv

namespace zvtest {

inline zv::Text T(const std::string& aUtf8) { return zv::FromUtf8(aUtf8); }
inline std::string U8(const zv::Text& aText) { return zv::ToUtf8(aText); }

// An ASCII text of aLength characters cycling through the ten letters a to j, so that
// where it was cut shows.
inline std::string LongValue(size_t aLength) {
  std::string value;
  for (size_t i = 0; i < aLength; ++i) value += static_cast<char>('a' + i % 10);
  return value;
}

// The texts joined in order. Tables of expected messages use it where "literal" +
// std::string would meet GCC 12's false -Wrestrict report at -O3.
template <typename... Parts>
std::string Concat(const Parts&... aParts) {
  std::string joined;
  (joined.append(aParts), ...);
  return joined;
}

// An ASCII request value as failure messages quote it: the first 200 characters and a
// note of the whole length when it is longer.
inline std::string Quoted(const std::string& aValue) {
  if (aValue.size() <= 200) return aValue;
  return aValue.substr(0, 200) + "... (cut, " + std::to_string(aValue.size()) + " characters)";
}

// This library's release date, 10 November 2021, as the regional short date format
// writes it: dd/mm/yyyy on Linux, the user's own format on Windows.
inline zv::Text ReleaseDateText() {
#ifdef _WIN32
  return zv::platform::FormatShortDate(2021, 11, 10);
#else
  return u"10/11/2021";
#endif
}

// The message of the failure that aAction raises, or "<no failure>".
inline std::string FailureOf(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const zv::kException& e) {
    return U8(e.Message());
  }
  return "<no failure>";
}

}  // namespace zvtest
