// The DLL's entry point. The runtime calls it before it runs the library's destructors
// on unloading, which then run under the loader lock.

#include <windows.h>

#include <atomic>

namespace zv::platform {
extern std::atomic<bool> gUnloadingUnderLoaderLock;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE aInstance, DWORD aReason, LPVOID) {
  if (aReason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(aInstance);
  if (aReason == DLL_PROCESS_DETACH) zv::platform::gUnloadingUnderLoaderLock = true;
  return TRUE;
}
