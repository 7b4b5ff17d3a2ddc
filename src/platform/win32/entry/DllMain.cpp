// The DLL's entry point. The runtime calls it before it runs the library's destructors
// on unloading, which then run under the loader lock: they learn it from the flags set
// here, and neither join threads nor wait for threads that the process's exit has ended.

#include <windows.h>

#include <atomic>

namespace zv::platform {
extern std::atomic<bool> gUnloadingUnderLoaderLock;
extern std::atomic<bool> gProcessExitUnderWay;
}  // namespace zv::platform

extern "C" BOOL WINAPI DllMain(HINSTANCE aInstance, DWORD aReason, LPVOID aReserved) {
  if (aReason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(aInstance);
  if (aReason == DLL_PROCESS_DETACH) {
    // A non-null argument: the process is exiting (FreeLibrary passes null).
    zv::platform::gProcessExitUnderWay = aReserved != nullptr;
    zv::platform::gUnloadingUnderLoaderLock = true;
  }
  return TRUE;
}
