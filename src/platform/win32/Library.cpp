#include "platform/Library.h"

#include <atomic>

namespace zv::platform {

// Set by the DLL's entry point (entry/DllMain.cpp) before the runtime runs the
// library's destructors.
std::atomic<bool> gUnloadingUnderLoaderLock{false};
std::atomic<bool> gProcessExitUnderWay{false};

bool UnloadingUnderLoaderLock() { return gUnloadingUnderLoaderLock; }
bool ProcessExitUnderWay() { return gProcessExitUnderWay; }

}  // namespace zv::platform
