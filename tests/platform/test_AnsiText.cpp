// Text as bytes of the system's ANSI code page: Windows-1252 on Linux, and on a Windows
// system set to it (as Wine is by default).

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <string>

#include "base/Text.h"
#include "platform/Regional.h"

namespace zv::platform {
namespace {

TEST(AnsiText, TextBecomesTheBytesOfWindows1252) {
#ifdef _WIN32
  if (GetACP() != 1252) GTEST_SKIP() << "the system's ANSI code page is " << GetACP();
#endif
  const struct {
    const char* name;
    Text text;
    std::string bytes;
  } cases[] = {
      {"ASCII and control characters", u"A\r\n\x01~", "A\r\n\x01~"},
      {"Latin-1 letters keep their codes", u"\u00e9\u00ff\u00a0", "\xE9\xFF\xA0"},
      {"the letters 1252 places at 0x80 to 0x9F",
       u"\u20ac\u201a\u0192\u2026\u0160\u0152\u017d\u2018\u2122\u0161\u0153\u017e\u0178",
       "\x80\x82\x83\x85\x8A\x8C\x8E\x91\x99\x9A\x9C\x9E\x9F"},
      {"its unused bytes stand for the control codes", u"\u0081\u008d\u008f\u0090\u009d", "\x81\x8D\x8F\x90\x9D"},
      // No best fit: the missing letter is marked, not replaced by a similar one.
      {"a letter 1252 lacks", u"\u0100\u0142", "??"},
      {"a control code that 1252 gives a letter's byte", u"\u0080", "?"},
      // Each half of a surrogate pair is a code unit the code page lacks.
      {"a character outside the basic plane", u"\U0001F600.", "??."},
      {"half a surrogate pair", Text(1, u'\xD83D') + u".", "?."},
      {"nothing", u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToAnsi(c.text), c.bytes);
  }
}

}  // namespace
}  // namespace zv::platform
