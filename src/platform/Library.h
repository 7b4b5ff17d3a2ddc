#pragma once
// The library's own unloading as the system reports it.

#include <thread>

namespace zv::platform {

// True while the system's loader unloads the library under its lock (Windows): no
// thread can end then, so nothing may wait for one to end (join); waiting for a thread
// to finish its work and leaving it detached is safe. Always false where the loader
// holds no such lock.
bool UnloadingUnderLoaderLock();

// True while the system's loader loads the library under its lock (Windows, while the
// library's own objects are constructed): a thread started then cannot begin before the
// load is complete, and the library may be unloaded before it does. Always false where
// the loader holds no such lock, and in a program that is no library.
bool LoadingUnderLoaderLock();

// True when that unloading is part of the process's exit: the system has already ended
// every other thread, wherever it was, so none of them will make progress again.
bool ProcessExitUnderWay();

// While the loader unloads the library under its lock, a thread of the library must not
// run the library's code once that is gone, yet cannot end by itself (ending needs the
// lock; one not yet started waits for it too). Such a thread, its work done, parks in
// ParkForUnloading, which never returns; EndThreadForUnloading then ends it wherever it
// is. Where the loader holds no such lock neither is needed: the thread is left to end.
[[noreturn]] void ParkForUnloading();
void EndThreadForUnloading(std::thread& aThread);

}  // namespace zv::platform
