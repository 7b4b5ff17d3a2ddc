// The spooler over CUPS: jobs go to the scheduler that libcups finds (CUPS_SERVER,
// client.conf, or the local default); a printed page is a PDF page drawn with Cairo.

#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "platform/posix/print/PrintModuleParts.h"

namespace zv::print {

using platform::kInvalidPrinterName;
using platform::PageMetrics;
using platform::PixelRect;
using platform::PrinterList;
using platform::SpoolResult;

namespace {

constexpr double kHundredthsOfMmPerInch = 2540.0;

struct HttpCloser {
  void operator()(http_t* aHttp) const { httpClose(aHttp); }
};
using Http = std::unique_ptr<http_t, HttpCloser>;

struct DestFreer {
  void operator()(cups_dest_t* aDest) const { cupsFreeDests(1, aDest); }
};
struct DestInfoFreer {
  void operator()(cups_dinfo_t* aInfo) const { cupsFreeDestInfo(aInfo); }
};
struct SurfaceFreer {
  void operator()(cairo_surface_t* aSurface) const { cairo_surface_destroy(aSurface); }
};
struct ContextFreer {
  void operator()(cairo_t* aContext) const { cairo_destroy(aContext); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceFreer>;

SpoolResult Ok() { return {true, {}}; }
SpoolResult Fail(Text aMessage) { return {false, std::move(aMessage)}; }

// The scheduler's text for the last failure; a printer the scheduler does not know
// gives the text every platform shows for an invalid printer name.
Text LastCupsError() {
  if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return kInvalidPrinterName;
  const char* text = cupsLastErrorString();
  return FromUtf8(text != nullptr && *text != '\0' ? text : ippErrorString(cupsLastError()));
}

// A connection of its own to the scheduler, so that no other kind of destination
// (printers announced on the network) is looked for.
Http Connect(Text& aError) {
  Http http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000, nullptr));
  if (!http) {
    const int code = errno;
    std::string text("Unable to connect to the print scheduler ");
    text.append(cupsServer()).append(":").append(std::to_string(ippPort())).append(": ");
    text.append(cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE ? cupsLastErrorString() : std::strerror(code));
    aError = FromUtf8(text);
  }
  return http;
}

// The destination of the queue aPrinter, as the scheduler reports it. An empty name
// names no queue (libcups would take the default printer for it).
cups_dest_t* NamedDest(http_t* aHttp, const std::string& aPrinter, Text& aError) {
  cups_dest_t* dest = aPrinter.empty() ? nullptr : cupsGetNamedDest(aHttp, aPrinter.c_str(), nullptr);
  if (dest == nullptr) aError = aPrinter.empty() ? Text(kInvalidPrinterName) : LastCupsError();
  return dest;
}

// One job of one document of format aFormat; a job whose document does not arrive is
// cancelled rather than left held in the queue.
SpoolResult SendJob(http_t* aHttp, const std::string& aPrinter, const std::string& aTitle, const char* aFormat,
                    std::string_view aBytes) {
  const int job = cupsCreateJob(aHttp, aPrinter.c_str(), aTitle.c_str(), 0, nullptr);
  if (job == 0) return Fail(LastCupsError());
  bool sent = cupsStartDocument(aHttp, aPrinter.c_str(), job, aTitle.c_str(), aFormat, 1) == HTTP_STATUS_CONTINUE;
  if (sent && !aBytes.empty())
    sent = cupsWriteRequestData(aHttp, aBytes.data(), aBytes.size()) == HTTP_STATUS_CONTINUE;
  // Finishing reads the scheduler's answer, which carries the failure's text.
  const ipp_status_t finished = cupsFinishDocument(aHttp, aPrinter.c_str());
  if (sent && finished <= IPP_STATUS_OK_EVENTS_COMPLETE) return Ok();
  const Text error = LastCupsError();
  cupsCancelJob2(aHttp, aPrinter.c_str(), job, 0);
  return Fail(error);
}

int32_t DotsPerInch(ipp_attribute_t* aResolution) {
  if (aResolution == nullptr || ippGetValueTag(aResolution) != IPP_TAG_RESOLUTION) return 0;
  ipp_res_t units = IPP_RES_PER_INCH;
  int y = 0;
  const int x = ippGetResolution(aResolution, 0, &y, &units);
  return units == IPP_RES_PER_CM ? static_cast<int32_t>(std::lround(x * 2.54)) : x;
}

int32_t DotsPerInchY(ipp_attribute_t* aResolution) {
  ipp_res_t units = IPP_RES_PER_INCH;
  int y = 0;
  ippGetResolution(aResolution, 0, &y, &units);
  return units == IPP_RES_PER_CM ? static_cast<int32_t>(std::lround(y * 2.54)) : y;
}

int32_t ToPixels(int aHundredthsOfMm, int32_t aDpi) {
  return static_cast<int32_t>(std::lround(aHundredthsOfMm * static_cast<double>(aDpi) / kHundredthsOfMmPerInch));
}

cairo_status_t AppendToString(void* aTarget, const unsigned char* aData, unsigned int aLength) {
  static_cast<std::string*>(aTarget)->append(reinterpret_cast<const char*>(aData), aLength);
  return CAIRO_STATUS_SUCCESS;
}

Text CairoError(cairo_status_t aStatus) { return FromUtf8(cairo_status_to_string(aStatus)); }

// What a failure that raised (memory) shows: nothing raises out of the module.
SpoolResult Raised(const std::exception& aFailure) { return Fail(FromUtf8(aFailure.what())); }

}  // namespace

SpoolResult SendRawJob(const Text& aPrinter, const Text& aTitle, std::string_view aBytes) noexcept try {
  Text error;
  Http http = Connect(error);
  if (!http) return Fail(error);
  // Looked up first: libcups' own look-up in cupsCreateJob reports a missing queue
  // only as an internal error.
  const std::string printer = ToUtf8(aPrinter);
  cups_dest_t* dest = NamedDest(http.get(), printer, error);
  if (dest == nullptr) return Fail(error);
  cupsFreeDests(1, dest);
  // The scheduler refuses a document without data, and the printer would receive
  // nothing either way: an empty job is done once the printer is known.
  if (aBytes.empty()) return Ok();
  return SendJob(http.get(), printer, ToUtf8(aTitle), CUPS_FORMAT_RAW, aBytes);
} catch (const std::exception& e) {
  return Raised(e);
}

PrinterList InstalledPrinters() noexcept try {
  PrinterList list;
  Http http = Connect(list.Message);
  if (!http) return list;
  cups_dest_t* dests = nullptr;
  const int count = cupsGetDests2(http.get(), &dests);
  // A scheduler without printers answers "not found"; that is an empty list.
  if (count == 0 && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE && cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND) {
    list.Message = FromUtf8(cupsLastErrorString());
    return list;
  }
  for (int i = 0; i < count; ++i)
    if (dests[i].instance == nullptr) list.Names.push_back(FromUtf8(dests[i].name));
  cupsFreeDests(count, dests);
  list.Ok = true;
  return list;
} catch (const std::exception& e) {
  return {false, {}, FromUtf8(e.what())};
}

struct Page {
  Http Connection;
  std::unique_ptr<cups_dest_t, DestFreer> Dest;
  std::unique_ptr<cups_dinfo_t, DestInfoFreer> Info;
  std::string Printer;
  std::string Title;
  std::string Document;  // the PDF as Cairo writes it
  Surface PdfSurface;
  std::unique_ptr<cairo_t, ContextFreer> Canvas;
};

namespace {

std::unique_ptr<Page> Begin(const Text& aPrinter, const Text& aTitle, PageMetrics& aMetrics, SpoolResult& aResult) {
  const auto fail = [&aResult](Text aMessage) {
    aResult = Fail(std::move(aMessage));
    return nullptr;
  };
  auto state = std::make_unique<Page>();
  Text error;
  state->Connection = Connect(error);
  if (!state->Connection) return fail(error);
  http_t* http = state->Connection.get();
  state->Printer = ToUtf8(aPrinter);
  state->Title = ToUtf8(aTitle);

  state->Dest.reset(NamedDest(http, state->Printer, error));
  if (!state->Dest) return fail(error);
  state->Info.reset(cupsCopyDestInfo(http, state->Dest.get()));
  if (!state->Info) return fail(LastCupsError());

  cups_size_t size{};
  if (!cupsGetDestMediaDefault(http, state->Dest.get(), state->Info.get(), 0, &size) || size.width <= 0 ||
      size.length <= 0)
    return fail(u"The printer " + aPrinter + u" reports no paper size");
  ipp_attribute_t* resolution = cupsFindDestDefault(http, state->Dest.get(), state->Info.get(), "printer-resolution");
  if (DotsPerInch(resolution) <= 0)
    resolution = cupsFindDestSupported(http, state->Dest.get(), state->Info.get(), "printer-resolution");
  const int32_t dpiX = DotsPerInch(resolution);
  const int32_t dpiY = dpiX > 0 ? DotsPerInchY(resolution) : 0;
  if (dpiX <= 0 || dpiY <= 0) return fail(u"The printer " + aPrinter + u" reports no resolution");

  PageMetrics m;
  m.DpiX = dpiX;
  m.DpiY = dpiY;
  m.PaperWidth = ToPixels(size.width, dpiX);
  m.PaperHeight = ToPixels(size.length, dpiY);
  m.OffsetX = ToPixels(size.left, dpiX);
  m.OffsetY = ToPixels(size.top, dpiY);
  m.Width = ToPixels(size.width - size.right, dpiX) - m.OffsetX;
  m.Height = ToPixels(size.length - size.bottom, dpiY) - m.OffsetY;
  if (m.Width <= 0 || m.Height <= 0) return fail(u"The printer " + aPrinter + u" reports no printable area");

  // The page is as large as the paper, in PDF points.
  state->PdfSurface.reset(cairo_pdf_surface_create_for_stream(AppendToString, &state->Document,
                                                        size.width * 72.0 / kHundredthsOfMmPerInch,
                                                        size.length * 72.0 / kHundredthsOfMmPerInch));
  if (cairo_surface_status(state->PdfSurface.get()) != CAIRO_STATUS_SUCCESS)
    return fail(CairoError(cairo_surface_status(state->PdfSurface.get())));
  cairo_pdf_surface_set_metadata(state->PdfSurface.get(), CAIRO_PDF_METADATA_TITLE, state->Title.c_str());
  state->Canvas.reset(cairo_create(state->PdfSurface.get()));
  // Device pixels from the paper's top-left corner.
  cairo_scale(state->Canvas.get(), 72.0 / dpiX, 72.0 / dpiY);
  if (cairo_status(state->Canvas.get()) != CAIRO_STATUS_SUCCESS)
    return fail(CairoError(cairo_status(state->Canvas.get())));

  aMetrics = m;
  aResult = Ok();
  return state;
}

}  // namespace

Page* BeginPage(const Text& aPrinter, const Text& aTitle, PageMetrics& aMetrics, SpoolResult& aResult) noexcept try {
  return Begin(aPrinter, aTitle, aMetrics, aResult).release();
} catch (const std::exception& e) {
  aResult = Raised(e);
  return nullptr;
}

SpoolResult DrawBitmap(Page& aPage, const Bitmap& aPicture, const PixelRect& aRect) noexcept try {
  // An empty picture or rectangle leaves no mark, as a stretch into nothing does.
  if (aPicture.Empty() || aRect.Width <= 0 || aRect.Height <= 0) return Ok();

  Surface image(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, aPicture.Width(), aPicture.Height()));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS)
    return Fail(CairoError(cairo_surface_status(image.get())));
  cairo_surface_flush(image.get());
  unsigned char* data = cairo_image_surface_get_data(image.get());
  const int stride = cairo_image_surface_get_stride(image.get());
  for (int32_t y = 0; y < aPicture.Height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
    for (int32_t x = 0; x < aPicture.Width(); ++x) {
      // Cairo holds premultiplied alpha.
      const uint32_t p = aPicture.Pixel(x, y);
      const uint32_t a = p >> 24;
      const auto scaled = [a](uint32_t c) { return (c * a + 127) / 255; };
      row[x] = a << 24 | scaled((p >> 16) & 0xFF) << 16 | scaled((p >> 8) & 0xFF) << 8 | scaled(p & 0xFF);
    }
  }
  cairo_surface_mark_dirty(image.get());

  cairo_t* cr = aPage.Canvas.get();
  cairo_save(cr);
  cairo_translate(cr, static_cast<double>(aRect.X), static_cast<double>(aRect.Y));
  cairo_scale(cr, static_cast<double>(aRect.Width) / aPicture.Width(),
              static_cast<double>(aRect.Height) / aPicture.Height());
  cairo_set_source_surface(cr, image.get(), 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
  const cairo_status_t status = cairo_status(cr);
  return status == CAIRO_STATUS_SUCCESS ? Ok() : Fail(CairoError(status));
} catch (const std::exception& e) {
  return Raised(e);
}

SpoolResult EndPage(Page& aPage) noexcept try {
  aPage.Canvas.reset();
  cairo_surface_finish(aPage.PdfSurface.get());
  const cairo_status_t status = cairo_surface_status(aPage.PdfSurface.get());
  if (status != CAIRO_STATUS_SUCCESS) return Fail(CairoError(status));
  return SendJob(aPage.Connection.get(), aPage.Printer, aPage.Title, CUPS_FORMAT_PDF, aPage.Document);
} catch (const std::exception& e) {
  return Raised(e);
}

void FreePage(Page* aPage) noexcept { const std::unique_ptr<Page> freed(aPage); }

}  // namespace zv::print
