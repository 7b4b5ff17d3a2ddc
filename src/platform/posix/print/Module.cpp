// The printing module's entry point: the table of its parts.

#include "platform/posix/print/PrintModuleParts.h"

namespace {

constexpr zv::print::ModuleTable kTable{
    sizeof(zv::print::ModuleTable), zv::print::kModuleVersion, zv::print::SendRawJob, zv::print::InstalledPrinters,
    zv::print::BeginPage,           zv::print::DrawBitmap,      zv::print::EndPage,    zv::print::FreePage,
    zv::print::DecodePng,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const zv::print::ModuleTable* ZvPrintModule() { return &kTable; }
