#include "platform/Library.h"

namespace zv::platform {

// The dynamic loader runs destructors without a lock that a thread's end would need,
// and the other threads still run at exit.
bool UnloadingUnderLoaderLock() { return false; }
bool ProcessExitUnderWay() { return false; }
void EndStalledThread(std::thread& aThread) { aThread.detach(); }

}  // namespace zv::platform
