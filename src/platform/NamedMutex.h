#pragma once
// A mutex with a process-wide name, shared by every process that opens the same name.
// Opening never takes it; TryTake never waits. Destroying the object releases it.

#include <cstdint>

#include "base/Text.h"

namespace zv::platform {

class NamedMutex {
 public:
  // Creates or opens the mutex without taking it. Opened() tells whether that worked.
  explicit NamedMutex(const Text& aName);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  bool Opened() const { return fHandle >= 0; }
  // Takes the mutex without waiting. False when another holder (another process, or
  // another opening in this process) has it, or when it could not be opened.
  bool TryTake();
  bool Held() const { return fHeld; }
  void Release();

  // Where the mutex of this name lives (on Linux the lock file in the runtime
  // directory: $XDG_RUNTIME_DIR, else /tmp).
  static Text LocationOf(const Text& aName);

 private:
  intptr_t fHandle = -1;  // the system's handle or descriptor; -1 when not opened
  bool fHeld = false;
  Text fName;
};

}  // namespace zv::platform
