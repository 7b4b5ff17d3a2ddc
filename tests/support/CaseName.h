#pragma once
// Names of the cases of a table (TEST_P): what a case tries, as gtest, ctest and a failure
// show it, never the parameter's bytes, and the same from run to run.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace zvtest {

// aText as a test name (letters, digits and underscores only): letters and digits as they
// stand, every other character spelled out between underscores ("12.50" gives 12_dot_50,
// "<V/>" gives lt_V_slash_gt), and the empty text "empty".
inline std::string CaseName(std::string_view aText) {
  if (aText.empty()) return "empty";
  std::string name;
  const auto append = [&name](std::string_view aWord, bool aSpelled) {
    if (aSpelled && !name.empty() && name.back() != '_') name += '_';
    name += aWord;
    if (aSpelled) name += '_';
  };
  for (const char c : aText) {
    const auto u = static_cast<unsigned char>(c);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
      name += c;
      continue;
    }
    switch (c) {
      case '_': append("_", false); break;
      case ' ': append("blank", true); break;
      case '.': append("dot", true); break;
      case ',': append("comma", true); break;
      case ':': append("colon", true); break;
      case ';': append("semicolon", true); break;
      case '-': append("minus", true); break;
      case '+': append("plus", true); break;
      case '/': append("slash", true); break;
      case '\\': append("backslash", true); break;
      case '%': append("percent", true); break;
      case '$': append("dollar", true); break;
      case '=': append("eq", true); break;
      case '<': append("lt", true); break;
      case '>': append("gt", true); break;
      case '|': append("bar", true); break;
      case '"': append("quote", true); break;
      case '\'': append("apostrophe", true); break;
      case '\r': append("CR", true); break;
      case '\n': append("LF", true); break;
      case '\t': append("tab", true); break;
      default: {
        char hex[4];
        std::snprintf(hex, sizeof hex, "x%02X", u);
        append(hex, true);
      }
    }
  }
  while (name.size() > 1 && name.back() == '_') name.pop_back();
  return name;
}

inline std::string CaseName(const zv::Text& aText) { return CaseName(zv::ToUtf8(aText)); }
inline std::string CaseName(const char16_t* aText) { return CaseName(zv::Text(aText)); }

// The name generator of a table whose case type has a NameOf(const Case&), found beside the
// type: INSTANTIATE_TEST_SUITE_P(Table, Suite, Values(...), zvtest::ByNameOf()). The same
// NameOf serves the type's PrintTo, so that a failure names the case as ctest does.
struct ByNameOf {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& aInfo) const {
    return NameOf(aInfo.param);
  }
};

}  // namespace zvtest
