#include "device/uZVIOHandler_Spool.h"

#include "base/Exception.h"
#include "device/uZVIOHandler_TCP.h"
#include "platform/Regional.h"
#include "platform/Spooler.h"

namespace zv {

namespace {

// The system's text as error messages show it: without trailing control characters,
// blanks and periods.
Text TrimmedSystemText(Text aText) {
  while (!aText.empty() && (aText.back() <= u' ' || aText.back() == u'.')) aText.pop_back();
  return aText;
}

[[noreturn]] void RaiseNormal(const Text& aReason) {
  throw kException(Text(u"kIOHandler_Spool.WriteNormal: ").append(aReason));
}

// Where a picture of aWidth x aHeight pixels goes on the page: a 300 dpi picture
// scaled to the printer's horizontal resolution, shrunk to the printable width and
// then height, sizes truncated, centred in the printable area and moved by its offsets.
// The arithmetic is in extended precision, as the printers' hosts have always done it.
platform::PixelRect PlaceBitmap(int32_t aWidth, int32_t aHeight, const platform::PageMetrics& aPage) {
  long double scale = aPage.DpiX == kIOHandler_Spool::kBitmapDpi
                          ? 1.0L
                          : static_cast<long double>(aPage.DpiX) / kIOHandler_Spool::kBitmapDpi;
  if (aWidth * scale > aPage.Width) scale = static_cast<long double>(aPage.Width) / aWidth;
  if (aHeight * scale > aPage.Height) scale = static_cast<long double>(aPage.Height) / aHeight;
  const auto w = static_cast<int64_t>(aWidth * scale);
  const auto h = static_cast<int64_t>(aHeight * scale);
  return {aPage.OffsetX + (aPage.Width - w) / 2, aPage.OffsetY + (aPage.Height - h) / 2, w, h};
}

}  // namespace

kIOHandler_Spool::kIOHandler_Spool(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName)
    : kIOHandler(aConnection, aDirectory, aFileName) {
  if (aConnection != nullptr) fPrinterName = aConnection->PrinterName();
}

kIOHandler_Spool::~kIOHandler_Spool() = default;

Text kIOHandler_Spool::ReadAll() { throw kException(u"ReadAll Unsupported"); }

bool kIOHandler_Spool::InputBufferContainsData() { throw kException(u"InputBufferContainsData Unsupported"); }

bool kIOHandler_Spool::Write(const Text& aMessage) {
  return fOutputType == zvSpoolOutputType::Raw ? WriteRaw(aMessage) : WriteNormal();
}

std::string kIOHandler_Spool::RawBytes(const Text& aMessage) const {
  return CodePage() > 0 ? kIOHandler_TCP::Encode(aMessage, CodePage()) : platform::ToAnsi(aMessage);
}

bool kIOHandler_Spool::WriteRaw(const Text& aMessage) {
  // Every failure of a raw job is answered, not raised: only the message changes.
  std::string bytes;
  try {
    bytes = RawBytes(aMessage);
  } catch (const kException& e) {
    SetErrorMessage(e.Message());
    return false;
  }
  const platform::SpoolResult sent = platform::SendRawJob(fPrinterName, kRawTitle, bytes);
  if (!sent.Ok) SetErrorMessage(TrimmedSystemText(sent.Message));
  return sent.Ok;
}

bool kIOHandler_Spool::WriteNormal() {
  const platform::PrinterList printers = platform::InstalledPrinters();
  // Failures of the printing system carry its own text.
  if (!printers.Ok) throw kException(printers.Message);
  const Text wanted = LowerCase(fPrinterName);
  const Text* found = nullptr;
  for (const Text& name : printers.Names) {
    if (LowerCase(name) == wanted) {
      found = &name;
      break;
    }
  }
  if (found == nullptr) RaiseNormal(Text(u"Printer ").append(fPrinterName).append(u" not found"));
  // Checked before the document starts, so that no blank page is printed.
  if (fBitmap == nullptr) RaiseNormal(u"No bitmap assigned to print");
  if (fBitmap->Empty()) RaiseNormal(u"The bitmap to print is empty");

  platform::PrintedPage page;
  platform::SpoolResult step = page.Begin(*found, kNormalTitle);
  if (!step.Ok) throw kException(step.Message);
  step = page.DrawBitmap(*fBitmap, PlaceBitmap(fBitmap->Width(), fBitmap->Height(), page.Metrics()));
  if (!step.Ok) throw kException(step.Message);
  step = page.End();
  if (!step.Ok) throw kException(step.Message);
  return true;
}

}  // namespace zv
