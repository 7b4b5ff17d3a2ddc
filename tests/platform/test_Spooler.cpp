// The spooler seam against a private CUPS scheduler: the printers it lists, the page
// metrics of its queues, raw jobs, and the failures for printers that do not exist.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PrintModule.h"
#include "PrivateCups.h"
#include "TestText.h"
#include "platform/Spooler.h"

namespace zv::platform {
namespace {

using zvtest::CupsQueue;
using zvtest::PrivateCups;
using zvtest::U8;

// Margins chosen so that every edge falls on a whole pixel: 4 x 6 inches with 1/4
// inch left and top, 1/2 inch right and bottom; 3 x 5 inches with 1/2 inch left and
// 1/4 inch elsewhere; 8 x 10 inches with 1 inch all round, resolution per inch.
const CupsQueue kReceipt300{"ZvReceipt300", false, 288, 432, 18, 18, 36, 36, 300};
const CupsQueue kLabel600{"ZvLabel600", false, 216, 360, 36, 18, 18, 18, 600, true};
const CupsQueue kSheet203{"ZvSheet203", false, 576, 720, 72, 72, 72, 72, 203};
const CupsQueue kRawQueue{"ZvRawQueue", true};

class Spooler : public testing::Test {
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

  static std::unique_ptr<PrivateCups> sCups;
  static std::string sStartFailure;
};

std::unique_ptr<PrivateCups> Spooler::sCups;
std::string Spooler::sStartFailure;

TEST_F(Spooler, ListsTheInstalledPrinters) {
  const PrinterList list = InstalledPrinters();
  ASSERT_TRUE(list.Ok) << U8(list.Message);
  std::vector<std::string> names;
  for (const Text& name : list.Names) names.push_back(U8(name));
  EXPECT_EQ(names, (std::vector<std::string>{"ZvLabel600", "ZvRawQueue", "ZvReceipt300", "ZvSheet203"}));
}

TEST_F(Spooler, PageMetricsComeFromTheQueuesPaperMarginsAndResolution) {
  struct Case {
    const CupsQueue* Queue;
    PageMetrics Expected;
  } cases[] = {
      {&kReceipt300, {1200, 1800, 975, 1575, 75, 75, 300, 300}},
      {&kLabel600, {1800, 3000, 1350, 2700, 300, 150, 600, 600}},
      // 203 dpi (a thermal printer's): 1 inch margins are 203 pixels, 8 inches 1624.
      {&kSheet203, {1624, 2030, 1218, 1624, 203, 203, 203, 203}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Queue->Name);
    PrintedPage page;
    const SpoolResult begun = page.Begin(zvtest::T(c.Queue->Name), u"metrics");
    ASSERT_TRUE(begun.Ok) << U8(begun.Message);
    const PageMetrics& m = page.Metrics();
    EXPECT_EQ(m.PaperWidth, c.Expected.PaperWidth);
    EXPECT_EQ(m.PaperHeight, c.Expected.PaperHeight);
    EXPECT_EQ(m.Width, c.Expected.Width);
    EXPECT_EQ(m.Height, c.Expected.Height);
    EXPECT_EQ(m.OffsetX, c.Expected.OffsetX);
    EXPECT_EQ(m.OffsetY, c.Expected.OffsetY);
    EXPECT_EQ(m.DpiX, c.Expected.DpiX);
    EXPECT_EQ(m.DpiY, c.Expected.DpiY);
  }
  // A page that is never ended sends nothing.
  EXPECT_FALSE(sCups->WaitForJobs(kReceipt300.Name, 1, std::chrono::milliseconds(1500)));
}

TEST_F(Spooler, RawJobArrivesUnchanged) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  bytes += std::string(100000, 'x');  // more than one write's worth
  const SpoolResult sent = SendRawJob(u"ZvRawQueue", u"PXR Receipt", bytes);
  ASSERT_TRUE(sent.Ok) << U8(sent.Message);
  ASSERT_TRUE(sCups->WaitForJobs(kRawQueue.Name, 1)) << sCups->ErrorLog();
  EXPECT_TRUE(sCups->Jobs(kRawQueue.Name).front() == bytes);
}

TEST_F(Spooler, APrinterThatDoesNotExistIsAnInvalidPrinterName) {
  // An empty name is no printer, not the default one.
  for (const Text& name : {Text(u"NoSuchPrinter"), Text()}) {
    SCOPED_TRACE(U8(name));
    const SpoolResult raw = SendRawJob(name, u"PXR Receipt", "x");
    EXPECT_FALSE(raw.Ok);
    EXPECT_EQ(U8(raw.Message), "The printer name is invalid.");
    PrintedPage page;
    const SpoolResult begun = page.Begin(name, u"page");
    EXPECT_FALSE(begun.Ok);
    EXPECT_EQ(U8(begun.Message), "The printer name is invalid.");
  }
  EXPECT_FALSE(sCups->WaitForJobs(kLabel600.Name, 1, std::chrono::milliseconds(1500)));
}

TEST_F(Spooler, ARawQueueHasNoPageToDrawOn) {
  PrintedPage page;
  const SpoolResult begun = page.Begin(u"ZvRawQueue", u"page");
  EXPECT_FALSE(begun.Ok);
  EXPECT_EQ(U8(begun.Message), "The printer ZvRawQueue reports no paper size");
  EXPECT_EQ(U8(page.End().Message), "No page has been begun");
}

}  // namespace
}  // namespace zv::platform
