// The DLL's entry point. The runtime calls it after it has constructed the library's
// objects on loading, and before it runs their destructors on unloading: both run under
// the loader lock. They learn it from the flags set here: they start no thread while
// loading, and neither join threads nor wait for threads that the process's exit has
// ended while unloading.

#include <windows.h>

#include <atomic>

namespace zv::platform {
extern std::atomic<bool> gUnloadingUnderLoaderLock;
extern std::atomic<bool> gProcessExitUnderWay;
extern std::atomic<bool> gLoadCompleted;
}  // namespace zv::platform

extern "C" BOOL WINAPI DllMain(HINSTANCE aInstance, DWORD aReason, LPVOID aReserved) {
  if (aReason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(aInstance);
    zv::platform::gLoadCompleted = true;
  }
  if (aReason == DLL_PROCESS_DETACH) {
    // A non-null argument: the process is exiting (FreeLibrary passes null).
    zv::platform::gProcessExitUnderWay = aReserved != nullptr;
    zv::platform::gUnloadingUnderLoaderLock = true;
  }
  return TRUE;
}
