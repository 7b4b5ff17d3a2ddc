#pragma once
// The printing module's own parts, which its table hands out.

#include <string_view>

#include "platform/posix/PrintModule.h"

namespace zv::print {

platform::SpoolResult SendRawJob(const Text& aPrinter, const Text& aTitle, std::string_view aBytes) noexcept;
platform::PrinterList InstalledPrinters() noexcept;
Page* BeginPage(const Text& aPrinter, const Text& aTitle, platform::PageMetrics& aMetrics,
                platform::SpoolResult& aResult) noexcept;
platform::SpoolResult DrawBitmap(Page& aPage, const Bitmap& aPicture, const platform::PixelRect& aRect) noexcept;
platform::SpoolResult EndPage(Page& aPage) noexcept;
void FreePage(Page* aPage) noexcept;
platform::ImageLoadResult DecodePng(std::string_view aBytes) noexcept;

}  // namespace zv::print
