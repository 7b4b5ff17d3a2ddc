#include "platform/Library.h"

#include <atomic>

namespace zv::platform {

std::atomic<bool> gUnloadingUnderLoaderLock{false};

bool UnloadingUnderLoaderLock() { return gUnloadingUnderLoaderLock; }

}  // namespace zv::platform
