// The spool I/O handler on Windows under Wine, whose spooler knows no printer in a
// fresh prefix: a printer that does not exist, in both output types. Where the picture
// goes on a page is the same arithmetic on both systems and is tested on Linux.

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "TestText.h"
#include "base/Bitmap.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_Spool.h"
#include "device/uZvDeviceHandler.h"
#include "platform/Regional.h"

namespace zv {
namespace {

using zvtest::T;
using zvtest::U8;

class SpoolHandlerOnWindows : public testing::Test {
 protected:
  SpoolHandlerOnWindows() {
    std::random_device seed;
    fDir = std::filesystem::temp_directory_path() / ("zv-spool-" + std::to_string(seed()));
    std::filesystem::create_directories(fDir);
  }
  ~SpoolHandlerOnWindows() override {
    std::error_code ignored;
    std::filesystem::remove_all(fDir, ignored);
  }
  std::unique_ptr<kIOHandler_Spool> Handler(const std::string& aPrinter) {
    kConnection connection;
    connection.SetConnectionType(zvConnectionType::Spool);
    connection.SetPrinterName(T(aPrinter));
    return std::make_unique<kIOHandler_Spool>(&connection, Text(fDir.u16string()), u"Spool");
  }

  std::filesystem::path fDir;
};

TEST_F(SpoolHandlerOnWindows, RawToAPrinterThatDoesNotExistAnswersFalseWithTheSystemsText) {
  wchar_t buffer[512];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           ERROR_INVALID_PRINTER_NAME, 0, buffer, 512, nullptr);
  // Error messages show the text without trailing breaks, blanks and periods.
  while (n > 0 && (buffer[n - 1] <= L' ' || buffer[n - 1] == L'.')) --n;
  ASSERT_GT(n, 0u);
  const Text expected(reinterpret_cast<const char16_t*>(buffer), n);

  auto handler = Handler("ZvNoSuchPrinter");
  handler->SetOutputType(zvSpoolOutputType::Raw);
  EXPECT_FALSE(handler->Write(u"receipt \u20AC"));
  EXPECT_EQ(U8(handler->ErrorMessage()), U8(expected));
  EXPECT_FALSE(handler->ErrorFound());
}

TEST_F(SpoolHandlerOnWindows, NormalToAPrinterThatDoesNotExistRaisesNotFound) {
  auto handler = Handler("ZvNoSuchPrinter");
  const Bitmap picture(4, 4);
  handler->SetBitmap(&picture);
  try {
    handler->Write(u"");
    FAIL() << "no exception";
  } catch (const kException& e) {
    EXPECT_EQ(U8(e.Message()), "kIOHandler_Spool.WriteNormal: Printer ZvNoSuchPrinter not found");
  }
}

// Raw text goes out in the system's ANSI code page unless the connection names another:
// on a Cyrillic system (the run prefixed "cp1251:") Zhe is byte C6 and the euro sign 88.
TEST_F(SpoolHandlerOnWindows, RawTextIsInTheSystemsAnsiCodePage) {
  auto handler = Handler("ZvNoSuchPrinter");
  const Text text = u"A\u0416\u20ac\u00e9";
  EXPECT_EQ(handler->RawBytes(text), platform::ToAnsi(text));
  const std::map<unsigned, std::string> expected = {{1252, "A?\x80\xE9"}, {1251, "A\xC6\x88?"}};
  if (const auto bytes = expected.find(GetACP()); bytes != expected.end()) {
    EXPECT_EQ(handler->RawBytes(text), bytes->second);
  }
  handler->SetCodePage(1252);
  EXPECT_EQ(handler->RawBytes(text), "A?\x80\xE9");
}

}  // namespace
}  // namespace zv
