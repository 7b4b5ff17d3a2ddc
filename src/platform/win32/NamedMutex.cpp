#include "platform/NamedMutex.h"

#include <mutex>
#include <set>

#include "Wide.h"

namespace zv::platform {

namespace {

// The kernel object's name: a backslash would name a namespace.
Text KernelName(const Text& aName) {
  Text name = aName;
  for (char16_t& c : name)
    if (c == u'\\' || c == u'\0') c = u'_';
  return name;
}

// The names that an object of this process holds. A Windows mutex is recursive for the
// thread that owns it, but a second opening in this process must still fail.
std::mutex gHeldLock;
std::set<Text>& HeldNames() {
  static std::set<Text> names;
  return names;
}

}  // namespace

Text NamedMutex::LocationOf(const Text& aName) { return KernelName(aName); }

NamedMutex::NamedMutex(const Text& aName) : fName(KernelName(aName)) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, Wide(KernelName(aName)));
  if (mutex != nullptr) fHandle = reinterpret_cast<intptr_t>(mutex);
}

NamedMutex::~NamedMutex() {
  Release();
  if (fHandle >= 0) CloseHandle(reinterpret_cast<HANDLE>(fHandle));
}

bool NamedMutex::TryTake() {
  if (fHandle < 0) return false;
  if (fHeld) return true;
  std::lock_guard guard(gHeldLock);
  if (HeldNames().count(fName) != 0) return false;
  const DWORD rc = WaitForSingleObject(reinterpret_cast<HANDLE>(fHandle), 0);
  if (rc != WAIT_OBJECT_0 && rc != WAIT_ABANDONED) return false;
  HeldNames().insert(fName);
  fHeld = true;
  return true;
}

// Ownership belongs to the thread that took the mutex: release from that thread.
void NamedMutex::Release() {
  if (!fHeld) return;
  ReleaseMutex(reinterpret_cast<HANDLE>(fHandle));
  std::lock_guard guard(gHeldLock);
  HeldNames().erase(fName);
  fHeld = false;
}

}  // namespace zv::platform
