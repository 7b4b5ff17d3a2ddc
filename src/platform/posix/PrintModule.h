#pragma once
// The printing module: the spooler (CUPS), the printed page (Cairo) and the PNG reader
// (libpng) live in a library of their own, ZVPA_LORVANI_10_print.so beside the driver,
// loaded on first use, so that a host that never prints loads none of them. Driver and
// module are built together from one tree and share its C++ types; the table's size
// and version tell a module of another build, which is refused.

#include <cstdint>
#include <string_view>

#include "base/Bitmap.h"
#include "base/Text.h"
#include "platform/ImageFile.h"
#include "platform/Spooler.h"

namespace zv::print {

// A page begun in the module; only the module looks inside.
struct Page;

// The module's functions. None of them raises.
struct ModuleTable {
  uint32_t Size;
  uint32_t Version;
  platform::SpoolResult (*SendRawJob)(const Text& aPrinter, const Text& aTitle, std::string_view aBytes) noexcept;
  platform::PrinterList (*InstalledPrinters)() noexcept;
  // A page begun on aPrinter with its metrics in aMetrics, or null with the reason in
  // aResult.
  Page* (*BeginPage)(const Text& aPrinter, const Text& aTitle, platform::PageMetrics& aMetrics,
                     platform::SpoolResult& aResult) noexcept;
  platform::SpoolResult (*DrawBitmap)(Page& aPage, const Bitmap& aPicture, const platform::PixelRect& aRect) noexcept;
  // Ends the page and hands its job to the spooler; the page stays the caller's to free.
  platform::SpoolResult (*EndPage)(Page& aPage) noexcept;
  // Frees a page; one not ended is discarded.
  void (*FreePage)(Page* aPage) noexcept;
  platform::ImageLoadResult (*DecodePng)(std::string_view aBytes) noexcept;
};

constexpr uint32_t kModuleVersion = 1;
// The module's only export: extern "C" const ModuleTable* ZvPrintModule(void).
constexpr char kModuleEntry[] = "ZvPrintModule";
using ModuleEntry = const ModuleTable* (*)();

// The module's table, loaded on the first call and kept until the process ends. A
// module that cannot be had gives null and, in aError, "Printing is not available: "
// with the reason (the loader's text, or what is wrong with the module); the next call
// tries again.
const ModuleTable* Module(Text& aError);

}  // namespace zv::print
