// Text as bytes of the system's ANSI code page: Windows-1252 on Linux, and on Windows the
// system's setting, tested where it is 1252 (Wine's default) and 1251 (Cyrillic: the run
// prefixed "cp1251:" sets Wine up with it).

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "base/Text.h"
#include "platform/Regional.h"

namespace zv::platform {
namespace {

struct AnsiCase {
  const char* name;
  Text text;
  std::string bytes;
};

const std::map<unsigned, std::vector<AnsiCase>> kCodePages = {
    {1252,
     {
         {"ASCII and control characters", u"A\r\n\x01~", "A\r\n\x01~"},
         {"Latin-1 letters keep their codes", u"\u00e9\u00ff\u00a0", "\xE9\xFF\xA0"},
         {"the letters 1252 places at 0x80 to 0x9F",
          u"\u20ac\u201a\u0192\u2026\u0160\u0152\u017d\u2018\u2122\u0161\u0153\u017e\u0178",
          "\x80\x82\x83\x85\x8A\x8C\x8E\x91\x99\x9A\x9C\x9E\x9F"},
         {"its unused bytes stand for the control codes", u"\u0081\u008d\u008f\u0090\u009d", "\x81\x8D\x8F\x90\x9D"},
         // No best fit: the missing letter is marked, not replaced by a similar one.
         {"a letter 1252 lacks", u"\u0100\u0142\u0416", "???"},
         {"a control code that 1252 gives a letter's byte", u"\u0080", "?"},
         // Each half of a surrogate pair is a code unit the code page lacks.
         {"a character outside the basic plane", u"\U0001F600.", "??."},
         {"half a surrogate pair", Text(1, u'\xD83D') + u".", "?."},
         {"nothing", u"", ""},
     }},
    {1251,
     {
         {"ASCII and control characters", u"A\r\n\x01~", "A\r\n\x01~"},
         {"Cyrillic letters", u"\u0416\u0430\u044f\u0401\u0451", "\xC6\xE0\xFF\xA8\xB8"},
         {"the euro sign", u"\u20ac", "\x88"},
         {"Latin-1 letters 1251 lacks", u"\u00e9\u00ff", "??"},
         {"a character outside the basic plane", u"\U0001F600.", "??."},
     }},
};

unsigned SystemCodePage() {
#ifdef _WIN32
  return GetACP();
#else
  return 1252;
#endif
}

TEST(AnsiText, TextBecomesTheBytesOfTheSystemsCodePage) {
  const unsigned codePage = SystemCodePage();
#ifdef _WIN32
  // The run prefixed "cp1251:" asks Wine for a Russian system.
  const char* locale = std::getenv("LC_ALL");
  if (locale != nullptr && std::string(locale).rfind("ru_RU", 0) == 0) {
    ASSERT_EQ(codePage, 1251u) << "the system did not take the code page of LC_ALL=" << locale;
  }
#endif
  const auto cases = kCodePages.find(codePage);
  if (cases == kCodePages.end()) GTEST_SKIP() << "no cases for the system's ANSI code page " << codePage;
  for (const AnsiCase& c : cases->second) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToAnsi(c.text), c.bytes);
  }
}

}  // namespace
}  // namespace zv::platform
