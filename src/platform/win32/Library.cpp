#include "platform/Library.h"

#include <windows.h>
#include <pthread.h>

#include <atomic>

namespace zv::platform {

// Set by the DLL's entry point (entry/DllMain.cpp) before the runtime runs the
// library's destructors.
std::atomic<bool> gUnloadingUnderLoaderLock{false};
std::atomic<bool> gProcessExitUnderWay{false};
// Set by the entry point once the runtime has constructed the library's objects.
std::atomic<bool> gLoadCompleted{false};

bool LoadingUnderLoaderLock() {
  if (gLoadCompleted) return false;
  // Before the entry point has run: true in a DLL being loaded, false in a program.
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&gLoadCompleted), &self);
  return self != nullptr && self != GetModuleHandleW(nullptr);
}

bool UnloadingUnderLoaderLock() { return gUnloadingUnderLoaderLock; }
bool ProcessExitUnderWay() { return gProcessExitUnderWay; }

void ParkForUnloading() {
  for (;;) Sleep(INFINITE);
}

void EndThreadForUnloading(std::thread& aThread) {
  // Ending another thread needs no loader lock: it runs no detach notifications.
  const HANDLE handle = pthread_gethandle(aThread.native_handle());
  if (handle != nullptr && TerminateThread(handle, 0)) WaitForSingleObject(handle, 5000);
  aThread.detach();
}

}  // namespace zv::platform
