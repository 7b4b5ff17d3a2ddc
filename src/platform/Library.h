#pragma once
// The library's own loading and unloading as the system reports them.

namespace zv::platform {

// True while the system's loader runs the library's unloading (on Windows under the
// loader lock): a thread cannot end then, so nothing may wait for one to end (join);
// waiting for it to finish its work and leaving it detached is safe. Always false on
// systems without such a lock.
bool UnloadingUnderLoaderLock();

}  // namespace zv::platform
