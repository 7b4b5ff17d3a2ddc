#pragma once
// The print spooler: raw jobs sent to a printer queue by name, the list of installed
// printers, and one printed page with a picture on it. Failures come back as results
// with the system's text; nothing here raises.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "base/Bitmap.h"
#include "base/Text.h"

namespace zv::platform {

// The system's text for a printer that does not exist (ERROR_INVALID_PRINTER_NAME on
// Windows, whose wording every platform gives).
constexpr char16_t kInvalidPrinterName[] = u"The printer name is invalid.";

struct SpoolResult {
  bool Ok = false;
  Text Message;  // the system's text when not Ok
};

struct PrinterList {
  bool Ok = false;
  std::vector<Text> Names;  // in the spooler's order
  Text Message;             // the system's text when not Ok
};

// A printer's page in its device pixels. The printable area lies inside the paper;
// drawing positions count from the paper's top-left corner.
struct PageMetrics {
  int32_t PaperWidth = 0;   // the whole sheet
  int32_t PaperHeight = 0;
  int32_t Width = 0;        // the printable area (HORZRES, VERTRES)
  int32_t Height = 0;
  int32_t OffsetX = 0;      // the printable area's top-left corner (PHYSICALOFFSETX/Y)
  int32_t OffsetY = 0;
  int32_t DpiX = 0;         // resolution in dots per inch (LOGPIXELSX, LOGPIXELSY)
  int32_t DpiY = 0;
};

// A rectangle in device pixels from the paper's top-left corner.
struct PixelRect {
  int64_t X = 0;
  int64_t Y = 0;
  int64_t Width = 0;
  int64_t Height = 0;
};

// Sends aBytes unchanged as one job of data type RAW titled aTitle to the printer
// aPrinter. Without bytes nothing is sent, once the printer is known to exist.
SpoolResult SendRawJob(const Text& aPrinter, const Text& aTitle, std::string_view aBytes);

// The names of the printers installed, as the spooler lists them.
PrinterList InstalledPrinters();

// One page of a printer's default paper, sent as one job when it is ended. A page that
// is destroyed without End is discarded.
class PrintedPage {
 public:
  PrintedPage();
  ~PrintedPage();
  PrintedPage(const PrintedPage&) = delete;
  PrintedPage& operator=(const PrintedPage&) = delete;

  // Starts a document titled aTitle on the printer aPrinter (its name as listed) with
  // one empty page, and reads the page's metrics.
  SpoolResult Begin(const Text& aPrinter, const Text& aTitle);
  // Valid after a successful Begin.
  const PageMetrics& Metrics() const { return fMetrics; }
  // Draws aPicture into aRect, stretched when the sizes differ; its pixels are
  // scaled without smoothing, as a printer's own stretching does.
  SpoolResult DrawBitmap(const Bitmap& aPicture, const PixelRect& aRect);
  // Ends the page and the document and hands the job to the spooler.
  SpoolResult End();

 private:
  struct State;
  std::unique_ptr<State> fState;
  PageMetrics fMetrics;
};

}  // namespace zv::platform
