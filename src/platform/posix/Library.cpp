#include "platform/Library.h"

namespace zv::platform {

// The dynamic loader runs destructors without a lock that a thread's end would need.
bool UnloadingUnderLoaderLock() { return false; }

}  // namespace zv::platform
