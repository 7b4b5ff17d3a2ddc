#pragma once
// The library's own unloading as the system reports it.

#include <thread>

namespace zv::platform {

// True while the system's loader unloads the library under its lock (Windows): no
// thread can end then, so nothing may wait for one to end (join); waiting for a thread
// to finish its work and leaving it detached is safe. Always false where the loader
// holds no such lock.
bool UnloadingUnderLoaderLock();

// True when that unloading is part of the process's exit: the system has already ended
// every other thread, wherever it was, so none of them will make progress again.
bool ProcessExitUnderWay();

// Ends a thread of the library that has stopped making progress while the loader
// unloads the library under its lock (one not yet started waits for that lock): left
// running, it would run the library's code once that is gone. Where the loader holds no
// such lock the thread is left to end by itself.
void EndStalledThread(std::thread& aThread);

}  // namespace zv::platform
