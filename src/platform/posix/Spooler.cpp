// The spooler as the printing module provides it, loaded on the first use.

#include "platform/Spooler.h"

#include "platform/posix/PrintModule.h"

namespace zv::platform {

SpoolResult SendRawJob(const Text& aPrinter, const Text& aTitle, std::string_view aBytes) {
  Text error;
  const print::ModuleTable* module = print::Module(error);
  return module != nullptr ? module->SendRawJob(aPrinter, aTitle, aBytes) : SpoolResult{false, error};
}

PrinterList InstalledPrinters() {
  Text error;
  const print::ModuleTable* module = print::Module(error);
  return module != nullptr ? module->InstalledPrinters() : PrinterList{false, {}, error};
}

struct PrintedPage::State {
  const print::ModuleTable* Module = nullptr;
  print::Page* Page = nullptr;
  ~State() { Module->FreePage(Page); }
};

PrintedPage::PrintedPage() = default;
PrintedPage::~PrintedPage() = default;

SpoolResult PrintedPage::Begin(const Text& aPrinter, const Text& aTitle) {
  Text error;
  const print::ModuleTable* module = print::Module(error);
  if (module == nullptr) return {false, error};
  SpoolResult result;
  PageMetrics metrics;
  print::Page* page = module->BeginPage(aPrinter, aTitle, metrics, result);
  if (page == nullptr) return result;
  fState = std::make_unique<State>();
  fState->Module = module;
  fState->Page = page;
  fMetrics = metrics;
  return result;
}

SpoolResult PrintedPage::DrawBitmap(const Bitmap& aPicture, const PixelRect& aRect) {
  if (!fState) return {false, u"No page has been begun"};
  return fState->Module->DrawBitmap(*fState->Page, aPicture, aRect);
}

SpoolResult PrintedPage::End() {
  if (!fState) return {false, u"No page has been begun"};
  const std::unique_ptr<State> state = std::move(fState);
  return state->Module->EndPage(*state->Page);
}

}  // namespace zv::platform
