#pragma once
// Printing of Text in test failure messages, and small conversions for tests.

#include <functional>
#include <ostream>
#include <string>

#include "base/Exception.h"
#include "base/Text.h"

namespace zv {

inline void PrintTo(const Text& aText, std::ostream* aOut) { *aOut << '"' << ToUtf8(aText) << '"'; }

}  // namespace zv

namespace zvtest {

inline zv::Text T(const std::string& aUtf8) { return zv::FromUtf8(aUtf8); }
inline std::string U8(const zv::Text& aText) { return zv::ToUtf8(aText); }

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
