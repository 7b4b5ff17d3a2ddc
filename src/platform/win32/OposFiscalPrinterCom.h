#pragma once
// The OPOS FiscalPrinter control reached through its IDispatch: every member is called
// late-bound by name, as a script host calls the control.

#include <oaidl.h>

#include <memory>

#include "platform/OposFiscalPrinter.h"

namespace zv::platform {

// The control behind an IDispatch that the caller made, in the caller's apartment; the
// new object holds a reference of its own and releases it when destroyed.
std::unique_ptr<OposFiscalPrinter> OposFiscalPrinterOverDispatch(IDispatch* aControl);

}  // namespace zv::platform
