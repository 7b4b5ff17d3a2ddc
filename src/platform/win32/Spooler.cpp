// The spooler over winspool and GDI: raw jobs through the spooler's own document
// calls, the printer list from EnumPrintersW, and a printed page on the printer's
// device context with its driver's default paper.

#include "platform/Spooler.h"

#include <windows.h>
#include <winspool.h>

#include <climits>
#include <string>
#include <vector>

#include "Wide.h"

namespace zv::platform {

namespace {

SpoolResult Ok() { return {true, {}}; }
SpoolResult Fail(Text aMessage) { return {false, std::move(aMessage)}; }

// The system's text for aCode; a step that failed without a code names itself.
SpoolResult Failed(DWORD aCode, const char* aStep) {
  if (aCode != 0) return Fail(SystemMessage(aCode));
  return Fail(FromAscii(aStep).append(u" failed"));
}

struct PrinterCloser {
  void operator()(HANDLE aPrinter) const { ClosePrinter(aPrinter); }
};

// A wide, writable copy: the spooler's structures take non-const strings.
std::wstring Copy(const Text& aText) { return std::wstring(Wide(aText), aText.size()); }

}  // namespace

SpoolResult SendRawJob(const Text& aPrinter, const Text& aTitle, std::string_view aBytes) {
  // An empty name would open the print server, not a printer.
  if (aPrinter.empty()) return Fail(SystemMessage(ERROR_INVALID_PRINTER_NAME));
  std::wstring printer = Copy(aPrinter);
  HANDLE opened = nullptr;
  if (!OpenPrinterW(printer.data(), &opened, nullptr)) return Failed(GetLastError(), "OpenPrinterW");
  const std::unique_ptr<void, PrinterCloser> handle(opened);

  std::wstring title = Copy(aTitle);
  wchar_t noFile[] = L"";
  wchar_t raw[] = L"RAW";
  DOC_INFO_1W document{title.data(), noFile, raw};
  if (StartDocPrinterW(opened, 1, reinterpret_cast<BYTE*>(&document)) == 0)
    return Failed(GetLastError(), "StartDocPrinterW");
  bool written = false;
  DWORD code = 0;
  if (StartPagePrinter(opened)) {
    // One write of every byte; how many the spooler reports taking is not compared.
    static char none = 0;
    DWORD count = 0;
    written = WritePrinter(opened, aBytes.empty() ? &none : const_cast<char*>(aBytes.data()),
                           static_cast<DWORD>(aBytes.size()), &count) != FALSE;
    if (!written) code = GetLastError();
  } else {
    code = GetLastError();
  }
  // The document ends also when its page could not start.
  EndPagePrinter(opened);
  EndDocPrinter(opened);
  return written ? Ok() : Failed(code, "WritePrinter");
}

PrinterList InstalledPrinters() {
  PrinterList list;
  constexpr DWORD kWhich = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  std::vector<BYTE> buffer;
  DWORD needed = 0, count = 0;
  // The list may grow between asking for its size and reading it.
  while (!EnumPrintersW(kWhich, nullptr, 4, buffer.empty() ? nullptr : buffer.data(),
                        static_cast<DWORD>(buffer.size()), &needed, &count)) {
    const DWORD code = GetLastError();
    if (code != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) {
      list.Message = SystemMessage(code);
      return list;
    }
    buffer.resize(needed);
  }
  const auto* printers = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) list.Names.push_back(FromWide(printers[i].pPrinterName));
  list.Ok = true;
  return list;
}

struct PrintedPage::State {
  HDC Canvas = nullptr;
  bool Started = false;  // a document is open: it is aborted unless ended
  ~State() {
    if (Started) AbortDoc(Canvas);
    if (Canvas != nullptr) DeleteDC(Canvas);
  }
};

PrintedPage::PrintedPage() = default;
PrintedPage::~PrintedPage() = default;

SpoolResult PrintedPage::Begin(const Text& aPrinter, const Text& aTitle) {
  auto state = std::make_unique<State>();
  // The driver's defaults: its default paper, orientation and resolution.
  SetLastError(0);
  state->Canvas = CreateDCW(L"WINSPOOL", Wide(aPrinter), nullptr, nullptr);
  if (state->Canvas == nullptr) return Failed(GetLastError(), "CreateDCW");

  DOCINFOW document{};
  document.cbSize = sizeof document;
  document.lpszDocName = Wide(aTitle);
  SetLastError(0);
  if (StartDocW(state->Canvas, &document) <= 0) return Failed(GetLastError(), "StartDocW");
  state->Started = true;
  SetLastError(0);
  if (StartPage(state->Canvas) <= 0) return Failed(GetLastError(), "StartPage");

  HDC dc = state->Canvas;
  PageMetrics m;
  m.PaperWidth = GetDeviceCaps(dc, PHYSICALWIDTH);
  m.PaperHeight = GetDeviceCaps(dc, PHYSICALHEIGHT);
  m.Width = GetDeviceCaps(dc, HORZRES);
  m.Height = GetDeviceCaps(dc, VERTRES);
  m.OffsetX = GetDeviceCaps(dc, PHYSICALOFFSETX);
  m.OffsetY = GetDeviceCaps(dc, PHYSICALOFFSETY);
  m.DpiX = GetDeviceCaps(dc, LOGPIXELSX);
  m.DpiY = GetDeviceCaps(dc, LOGPIXELSY);
  if (m.Width <= 0 || m.Height <= 0 || m.DpiX <= 0 || m.DpiY <= 0)
    return Fail(u"The printer " + aPrinter + u" reports no printable area");
  fMetrics = m;
  fState = std::move(state);
  return Ok();
}

SpoolResult PrintedPage::DrawBitmap(const Bitmap& aPicture, const PixelRect& aRect) {
  if (!fState) return Fail(u"No page has been begun");
  if (aPicture.Empty() || aRect.Width <= 0 || aRect.Height <= 0) return Ok();
  // The device context counts from the printable area's corner, the rectangle from
  // the paper's.
  const int64_t x = aRect.X - fMetrics.OffsetX;
  const int64_t y = aRect.Y - fMetrics.OffsetY;
  if (x < INT_MIN || x > INT_MAX || y < INT_MIN || y > INT_MAX || aRect.Width > INT_MAX || aRect.Height > INT_MAX)
    return Fail(u"The picture lies outside the page");

  // 24-bit rows from the top, each padded to 4 bytes, the picture's alpha laid over
  // white paper as a page shows it.
  const int32_t width = aPicture.Width();
  const int32_t height = aPicture.Height();
  const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  std::vector<BYTE> rows(stride * static_cast<size_t>(height));
  for (int32_t row = 0; row < height; ++row) {
    BYTE* out = rows.data() + stride * static_cast<size_t>(row);
    for (int32_t col = 0; col < width; ++col) {
      const uint32_t p = aPicture.Pixel(col, row);
      const uint32_t a = p >> 24;
      const auto over = [a](uint32_t c) { return static_cast<BYTE>((c * a + 255 * (255 - a) + 127) / 255); };
      *out++ = over(p & 0xFF);
      *out++ = over((p >> 8) & 0xFF);
      *out++ = over((p >> 16) & 0xFF);
    }
  }
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;

  HDC dc = fState->Canvas;
  // Whole device pixels per picture pixel, without smoothing.
  SetStretchBltMode(dc, COLORONCOLOR);
  SetLastError(0);
  const int lines = StretchDIBits(dc, static_cast<int>(x), static_cast<int>(y), static_cast<int>(aRect.Width),
                                  static_cast<int>(aRect.Height), 0, 0, width, height, rows.data(), &info,
                                  DIB_RGB_COLORS, SRCCOPY);
  if (lines == 0 || lines == static_cast<int>(GDI_ERROR)) return Failed(GetLastError(), "StretchDIBits");
  return Ok();
}

SpoolResult PrintedPage::End() {
  if (!fState) return Fail(u"No page has been begun");
  std::unique_ptr<State> state = std::move(fState);
  HDC dc = state->Canvas;
  SetLastError(0);
  if (EndPage(dc) <= 0) return Failed(GetLastError(), "EndPage");
  SetLastError(0);
  if (EndDoc(dc) <= 0) return Failed(GetLastError(), "EndDoc");
  state->Started = false;
  return Ok();
}

}  // namespace zv::platform
