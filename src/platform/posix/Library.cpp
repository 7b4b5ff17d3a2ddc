#include "platform/Library.h"

#include <chrono>

namespace zv::platform {

// The dynamic loader runs destructors without a lock that a thread's end would need,
// and the other threads still run at exit.
bool LoadingUnderLoaderLock() { return false; }
bool UnloadingUnderLoaderLock() { return false; }
bool ProcessExitUnderWay() { return false; }
void ParkForUnloading() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}
void EndThreadForUnloading(std::thread& aThread) { aThread.detach(); }

}  // namespace zv::platform
