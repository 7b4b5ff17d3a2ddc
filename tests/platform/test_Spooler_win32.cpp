// The Windows spooler under Wine. Wine's spooler knows no printer in a fresh prefix and
// has no driver of a real printer, so a real driver's page metrics cannot be shown
// here: these tests cover the names of printers that do not exist (the system's own
// text), the printer list, and a page that cannot begin.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "TestText.h"
#include "platform/Spooler.h"

namespace zv::platform {
namespace {

using zvtest::T;
using zvtest::U8;

// The system's text for aCode, as FormatMessageW gives it without its line break.
std::string SystemText(DWORD aCode) {
  wchar_t buffer[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, aCode, 0, buffer,
                           512, nullptr);
  while (n > 0 && (buffer[n - 1] == L'\n' || buffer[n - 1] == L'\r' || buffer[n - 1] == L' ')) --n;
  return U8(Text(reinterpret_cast<const char16_t*>(buffer), n));
}

TEST(WindowsSpooler, ThePrinterListIsRead) {
  const PrinterList list = InstalledPrinters();
  ASSERT_TRUE(list.Ok) << U8(list.Message);
  for (const Text& name : list.Names) EXPECT_FALSE(name.empty());
}

TEST(WindowsSpooler, ARawJobToAPrinterThatDoesNotExistGivesTheSystemsText) {
  ASSERT_FALSE(SystemText(ERROR_INVALID_PRINTER_NAME).empty());
  for (const char* name : {"ZvNoSuchPrinter", ""}) {
    SCOPED_TRACE(name);
    const SpoolResult result = SendRawJob(T(name), u"PXR Receipt", "text");
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(U8(result.Message), SystemText(ERROR_INVALID_PRINTER_NAME));
  }
}

TEST(WindowsSpooler, APageOnAPrinterThatDoesNotExistDoesNotBegin) {
  PrintedPage page;
  const SpoolResult begun = page.Begin(u"ZvNoSuchPrinter", u"Caxtor Spool Output");
  EXPECT_FALSE(begun.Ok);
  EXPECT_FALSE(begun.Message.empty());
  // Nothing to draw on and nothing to end.
  EXPECT_FALSE(page.DrawBitmap(Bitmap(2, 2), {0, 0, 2, 2}).Ok);
  EXPECT_FALSE(page.End().Ok);
}

}  // namespace
}  // namespace zv::platform
