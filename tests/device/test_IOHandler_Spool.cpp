// The spool I/O handler against a private CUPS scheduler whose queues' devices are
// listeners of the test: raw jobs are compared byte for byte, printed pages by where
// their PDF places the picture.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "PdfPage.h"
#include "PrintModule.h"
#include "PrivateCups.h"
#include "TcpTestPeer.h"
#include "TestText.h"
#include "base/Bitmap.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_Spool.h"
#include "device/uZvDeviceHandler.h"
#include "test_IOHandler_Support.h"

namespace zv {
namespace {

using zvtest::CupsQueue;
using zvtest::FailureOf;
using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::PrivateCups;
using zvtest::T;
using zvtest::U8;

// 4 x 6 inches at 300 dpi with margins of 1/4 inch left and top and 1/2 inch right
// and bottom: printable 975 x 1575 pixels at (75, 75).
const CupsQueue kReceipt300{"ZvReceipt300", false, 288, 432, 18, 18, 36, 36, 300};
// 3 x 5 inches at 600 dpi with margins of 1/2 inch left and 1/4 inch elsewhere:
// printable 1350 x 2700 pixels at (300, 150).
const CupsQueue kLabel600{"ZvLabel600", false, 216, 360, 36, 18, 18, 18, 600};
// 8 x 10 inches at 203 dpi, as thermal printers have it, with 1 inch margins:
// printable 1218 x 1624 pixels at (203, 203).
const CupsQueue kSheet203{"ZvSheet203", false, 576, 720, 72, 72, 72, 72, 203};
// A raw queue, as receipt printers are set up: no paper, no resolution.
const CupsQueue kRawQueue{"ZvRawQueue", true};

class SpoolHandler : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    zvtest::UseBuiltPrintModule();
    try {
      sCups = std::make_unique<PrivateCups>(std::vector<CupsQueue>{kReceipt300, kLabel600, kSheet203, kRawQueue});
    } catch (const std::exception& e) {
      sStartFailure = e.what();
    }
  }
  static void TearDownTestSuite() { sCups.reset(); }
  void SetUp() override {
    ASSERT_TRUE(sCups) << sStartFailure;
    sCups->ClearJobs();
  }

  std::unique_ptr<kIOHandler_Spool> Handler(const std::string& aPrinter) {
    kConnection connection;
    connection.SetConnectionType(zvConnectionType::Spool);
    connection.SetPrinterName(T(aPrinter));
    return std::make_unique<kIOHandler_Spool>(&connection, fLog.Dir(), u"Spool");
  }

  std::vector<std::string> Lines() { return LogLines(fLog.Path() / ("Spool_" + zvtest::Today() + ".log")); }

  // The one job that reached aQueue.
  std::string OnlyJob(const std::string& aQueue) {
    EXPECT_TRUE(sCups->WaitForJobs(aQueue, 1)) << sCups->ErrorLog();
    const std::vector<std::string> jobs = sCups->Jobs(aQueue);
    EXPECT_EQ(jobs.size(), 1u);
    return jobs.empty() ? std::string() : jobs.front();
  }

  static std::unique_ptr<PrivateCups> sCups;
  static std::string sStartFailure;
  LogDir fLog;
};

std::unique_ptr<PrivateCups> SpoolHandler::sCups;
std::string SpoolHandler::sStartFailure;

TEST_F(SpoolHandler, RawWriteSendsTheMessageInTheCodePageUnchanged) {
  struct Case {
    int32_t CodePage;
    std::string Message;  // UTF-8
    std::string Bytes;
  } cases[] = {
      // 0 is the ANSI code page, Windows-1252: the euro sign is byte 128.
      {0, "Total \xE2\x82\xAC 12,50\r\n\xC3\x84\xC3\xB6\xC3\x9F \xE2\x80\x9Cok\xE2\x80\x9D\x1B@",
       "Total \x80 12,50\r\n\xC4\xF6\xDF \x93ok\x94\x1B@"},
      {1252, "\xE2\x82\xAC\xC5\xA0\xC5\xB8\xC3\xBF", "\x80\x8A\x9F\xFF"},
      // A DOS code page: the euro sign is not in it.
      {850, "\xC3\x84\xC3\xB6 \xE2\x82\xAC", "\x8E\x94 ?"},
      // A character outside the code page becomes "?".
      {0, "\xE4\xB8\xAD|\xCE\xA9", "?|?"},
      {0, std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.CodePage);
    SCOPED_TRACE(c.Bytes);
    sCups->ClearJobs();
    auto handler = Handler(kRawQueue.Name);
    handler->SetOutputType(zvSpoolOutputType::Raw);
    handler->SetCodePage(c.CodePage);
    EXPECT_TRUE(handler->Write(T(c.Message))) << U8(handler->ErrorMessage());
    EXPECT_EQ(OnlyJob(kRawQueue.Name), c.Bytes);
    EXPECT_FALSE(handler->ErrorFound());
    EXPECT_EQ(U8(handler->ErrorMessage()), "");
  }
  // Nothing of a raw write is logged: each handler's log holds its banners only.
  for (const std::string& line : Lines()) EXPECT_TRUE(line.find("*****") != std::string::npos) << line;
}

TEST_F(SpoolHandler, RawWriteOfAnEmptyMessageSucceedsWithoutSendingAByte) {
  auto handler = Handler(kRawQueue.Name);
  handler->SetOutputType(zvSpoolOutputType::Raw);
  EXPECT_TRUE(handler->Write(u"")) << U8(handler->ErrorMessage());
  EXPECT_EQ(U8(handler->ErrorMessage()), "");
  ASSERT_TRUE(handler->Write(u"next"));
  EXPECT_EQ(OnlyJob(kRawQueue.Name), "next");
  // The printer must still exist.
  auto unknown = Handler("NoSuchPrinter");
  unknown->SetOutputType(zvSpoolOutputType::Raw);
  EXPECT_FALSE(unknown->Write(u""));
  EXPECT_EQ(U8(unknown->ErrorMessage()), "The printer name is invalid");
}

TEST_F(SpoolHandler, RawWriteToAnUnknownPrinterAnswersFalseWithTheSystemsText) {
  auto handler = Handler("NoSuchPrinter");
  handler->SetOutputType(zvSpoolOutputType::Raw);
  EXPECT_FALSE(handler->Write(u"text"));
  EXPECT_EQ(U8(handler->ErrorMessage()), "The printer name is invalid");
  EXPECT_FALSE(handler->ErrorFound());
  EXPECT_EQ(handler->ErrorCode(), 0);

  // An error state set before stays set: only the message changes.
  handler->SetCustomError(7, u"earlier");
  EXPECT_FALSE(handler->Write(u"text"));
  EXPECT_TRUE(handler->ErrorFound());
  EXPECT_EQ(handler->ErrorCode(), 7);
  EXPECT_EQ(U8(handler->ErrorMessage()), "The printer name is invalid");
  EXPECT_EQ(Lines(), std::vector<std::string>{"I *************************** START ***************************"});
}

TEST_F(SpoolHandler, RawWriteInACodePageWithoutATableAnswersFalse) {
  auto handler = Handler(kRawQueue.Name);
  handler->SetOutputType(zvSpoolOutputType::Raw);
  handler->SetCodePage(932);
  EXPECT_FALSE(handler->Write(u"text"));
  EXPECT_EQ(U8(handler->ErrorMessage()), "Code page 932 is not supported");
  EXPECT_FALSE(handler->ErrorFound());
}

TEST_F(SpoolHandler, NormalWriteToAnUnknownPrinterRaisesNotFound) {
  Bitmap picture(10, 10);
  auto handler = Handler("NoSuchPrinter");
  handler->SetBitmap(&picture);
  EXPECT_EQ(FailureOf([&] { handler->Write(u"ignored"); }),
            "kIOHandler_Spool.WriteNormal: Printer NoSuchPrinter not found");
}

// A picture whose pixels show where its corners went: red at the top left, blue at the
// bottom right, white elsewhere.
Bitmap Marked(int32_t aWidth, int32_t aHeight) {
  Bitmap picture(aWidth, aHeight);
  picture.SetPixel(0, 0, 0xFFFF0000u);
  picture.SetPixel(aWidth - 1, aHeight - 1, 0xFF0000FFu);
  return picture;
}

TEST_F(SpoolHandler, NormalWriteCentresThePictureScaledFrom300DpiWithinThePrintableArea) {
  struct Case {
    std::string Printer;
    const CupsQueue* Queue;
    int32_t Width, Height;              // the picture
    int64_t X, Y, DrawnWidth, DrawnHeight;  // device pixels from the paper's corner
  } cases[] = {
      // 300 dpi: unscaled, centred with the halves truncated ((975-200)/2 = 387).
      {"ZvReceipt300", &kReceipt300, 200, 101, 75 + 387, 75 + 737, 200, 101},
      // The printer is found whatever the case of its name.
      {"zvRECEIPT300", &kReceipt300, 200, 101, 75 + 387, 75 + 737, 200, 101},
      // As wide as the printable area: still unscaled.
      {"ZvReceipt300", &kReceipt300, 975, 10, 75, 75 + 782, 975, 10},
      // Too high: shrunk to the height (scale 1/2).
      {"ZvReceipt300", &kReceipt300, 300, 3150, 75 + 412, 75, 150, 1575},
      // 600 dpi: twice the pixel size.
      {"ZvLabel600", &kLabel600, 200, 100, 300 + 475, 150 + 1250, 400, 200},
      // Twice would be wider than the page: shrunk to the width (scale 1.25), the
      // height truncated (101 x 1.25 = 126.25).
      {"ZvLabel600", &kLabel600, 1080, 101, 300, 150 + 1287, 1350, 126},
      // Shrunk to the width (scale 1), then still too high: shrunk to the height.
      {"ZvLabel600", &kLabel600, 1350, 5400, 300 + 337, 150, 675, 2700},
      // 203 dpi: scale 203/300, sizes truncated where rounding would differ (67.67 x
      // 33.83 drawn as 67 x 33), the halves too ((1624-33)/2 = 795.5).
      {"ZvSheet203", &kSheet203, 100, 50, 203 + 575, 203 + 795, 67, 33},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Printer + " " + std::to_string(c.Width) + "x" + std::to_string(c.Height));
    sCups->ClearJobs();
    const Bitmap picture = Marked(c.Width, c.Height);
    auto handler = Handler(c.Printer);
    handler->SetBitmap(&picture);
    ASSERT_TRUE(handler->Write(u"ignored"));
    const zvtest::PdfPage page = zvtest::ReadPdfPage(OnlyJob(c.Queue->Name));
    EXPECT_EQ(page.PageCount, 1);
    EXPECT_NEAR(page.Width, c.Queue->PaperWidth, 0.01);
    EXPECT_NEAR(page.Height, c.Queue->PaperHeight, 0.01);
    ASSERT_EQ(page.Images.size(), 1u);
    const double pixelsPerPoint = c.Queue->Dpi / 72.0;
    const zvtest::PdfRect& drawn = page.Images.front();
    EXPECT_NEAR(drawn.X * pixelsPerPoint, c.X, 0.01);
    EXPECT_NEAR(drawn.Y * pixelsPerPoint, c.Y, 0.01);
    EXPECT_NEAR(drawn.Width * pixelsPerPoint, c.DrawnWidth, 0.01);
    EXPECT_NEAR(drawn.Height * pixelsPerPoint, c.DrawnHeight, 0.01);
  }
}

TEST_F(SpoolHandler, EachWriteIsOneJobWithTheTitleOfItsKind) {
  const Bitmap picture = Marked(20, 20);
  auto handler = Handler(kLabel600.Name);
  handler->SetBitmap(&picture);
  const size_t before = sCups->JobTitles(kLabel600.Name).size();
  ASSERT_TRUE(handler->Write(u""));
  handler->SetOutputType(zvSpoolOutputType::Raw);
  ASSERT_TRUE(handler->Write(u"receipt"));
  ASSERT_TRUE(sCups->WaitForJobs(kLabel600.Name, 2)) << sCups->ErrorLog();
  const std::vector<std::string> titles = sCups->JobTitles(kLabel600.Name);
  EXPECT_EQ(std::vector<std::string>(titles.begin() + static_cast<ptrdiff_t>(std::min(before, titles.size())), titles.end()),
            (std::vector<std::string>{"Caxtor Spool Output", "PXR Receipt"}));
  const std::vector<std::string> jobs = sCups->Jobs(kLabel600.Name);
  EXPECT_NE(jobs[0].find("/Title (Caxtor Spool Output)"), std::string::npos);
  EXPECT_EQ(jobs[1], "receipt");
}

TEST_F(SpoolHandler, NormalWriteWithoutAPictureRaisesAndPrintsNothing) {
  const Bitmap empty;
  struct Case {
    const Bitmap* Picture;
    std::string Message;
  } cases[] = {
      {nullptr, "kIOHandler_Spool.WriteNormal: No bitmap assigned to print"},
      {&empty, "kIOHandler_Spool.WriteNormal: The bitmap to print is empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    sCups->ClearJobs();
    auto handler = Handler(kReceipt300.Name);
    handler->SetBitmap(c.Picture);
    EXPECT_EQ(FailureOf([&] { handler->Write(u"x"); }), c.Message);
    // A raw job sent afterwards is the first the queue prints: no blank page was queued.
    handler->SetOutputType(zvSpoolOutputType::Raw);
    ASSERT_TRUE(handler->Write(u"after"));
    EXPECT_EQ(OnlyJob(kReceipt300.Name), "after");
  }
}

TEST_F(SpoolHandler, NormalWriteToAQueueWithoutPaperRaisesTheReason) {
  const Bitmap picture = Marked(20, 20);
  auto handler = Handler(kRawQueue.Name);
  handler->SetBitmap(&picture);
  EXPECT_EQ(FailureOf([&] { handler->Write(u""); }), "The printer ZvRawQueue reports no paper size");
}

// A scheduler that does not answer: a port of 127.0.0.1 that was free a moment ago.
TEST(SpoolHandlerWithoutScheduler, RawAnswersFalseAndNormalRaisesWithTheReason) {
  zvtest::UseBuiltPrintModule();
  int port = 0;
  {
    zvtest::TcpTestPeer closed({});
    port = closed.Port();
  }
  const char* saved = std::getenv("CUPS_SERVER");
  const std::string savedValue = saved ? saved : "";
  setenv("CUPS_SERVER", zvtest::Concat(std::string("127.0.0.1:"), std::to_string(port)).c_str(), 1);
  bool rawResult = true;
  std::string rawMessage, normalMessage;
  // libcups keeps the server it found per thread: a thread of its own reads it anew.
  std::thread([&] {
    LogDir log;
    kConnection connection;
    connection.SetPrinterName(u"Receipts");
    kIOHandler_Spool handler(&connection, log.Dir(), u"Spool");
    handler.SetOutputType(zvSpoolOutputType::Raw);
    rawResult = handler.Write(u"text");
    rawMessage = U8(handler.ErrorMessage());
    const Bitmap picture(4, 4);
    handler.SetBitmap(&picture);
    handler.SetOutputType(zvSpoolOutputType::Normal);
    normalMessage = FailureOf([&] { handler.Write(u""); });
  }).join();
  if (saved)
    setenv("CUPS_SERVER", savedValue.c_str(), 1);
  else
    unsetenv("CUPS_SERVER");
  // The reason is libcups' text for the refused connection.
  const std::string prefix =
      zvtest::Concat(std::string("Unable to connect to the print scheduler 127.0.0.1:"), std::to_string(port), std::string(": "));
  EXPECT_FALSE(rawResult);
  EXPECT_TRUE(rawMessage.starts_with(prefix) && rawMessage.size() > prefix.size()) << rawMessage;
  EXPECT_EQ(normalMessage, rawMessage);
}

TEST(SpoolHandlerChannel, FixedResultsOfTheChannelOperations) {
  LogDir log;
  kConnection connection;
  connection.SetPrinterName(u"Receipts");
  kIOHandler_Spool handler(&connection, log.Dir(), u"Spool");
  EXPECT_EQ(U8(handler.PrinterName()), "Receipts");
  EXPECT_EQ(handler.OutputType(), zvSpoolOutputType::Normal);
  EXPECT_EQ(handler.GetBitmap(), nullptr);
  EXPECT_TRUE(handler.Connected());
  EXPECT_TRUE(handler.Connect());
  EXPECT_TRUE(handler.Disconnect());
  EXPECT_TRUE(handler.Connected());
  handler.ClearBuffers();
  handler.SetParameter(u"a", u"b");
  EXPECT_EQ(U8(handler.ReadUpTo({13})), "");
  EXPECT_EQ(U8(handler.ReadChars(5)), "");
  EXPECT_EQ(U8(handler.DecodeError(5)), "");
  EXPECT_EQ(FailureOf([&] { handler.ReadAll(); }), "ReadAll Unsupported");
  EXPECT_EQ(FailureOf([&] { handler.InputBufferContainsData(); }), "InputBufferContainsData Unsupported");
}

TEST(SpoolHandlerChannel, FactoryMakesASpoolHandlerForTheSpoolConnection) {
  LogDir dir;
  const auto file = dir.Path() / ("ZVPA_LORVANI_10_Till9_" + zvtest::Today() + ".log");
  {
    kDeviceHandler request;
    request.Deserialize(
        T("<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>Till9</LogId><Connection><Type>spool</Type>"
          "<PrinterName>Front Desk</PrinterName></Connection><Parameters><HexLog>true</HexLog></Parameters></OPEN>"));
    std::unique_ptr<kIOHandler> handler = request.CreateIOHandler(dir.Dir());
    auto* spool = dynamic_cast<kIOHandler_Spool*>(handler.get());
    ASSERT_NE(spool, nullptr);
    EXPECT_EQ(U8(spool->PrinterName()), "Front Desk");
    EXPECT_EQ(spool->OutputType(), zvSpoolOutputType::Normal);
    EXPECT_TRUE(handler->HexLog());
    EXPECT_EQ(U8(handler->GetLogFileName()), file.string());
  }
  EXPECT_EQ(LogLines(file), (std::vector<std::string>{
                                "I *************************** START ***************************",
                                "I *************************** STOP ****************************",
                            }));
}

}  // namespace
}  // namespace zv
