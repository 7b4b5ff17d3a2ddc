#include "driver/uZVDriverLibrary.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "base/Exception.h"
#include "platform/Library.h"

namespace zv {

namespace {

// Atomic: unloading clears it while a call that it could not wait for may still read it.
std::atomic<kDriverLibrary*> gCurrent{nullptr};

// A call may still hold the lock while the process exits: no exit-time destructor may
// take it away from under that call, so the lock is built once and never destroyed
// (not every threads library can build it at compile time).
union NeverDestroyed {
  std::timed_mutex Lock;
  NeverDestroyed() : Lock() {}
  ~NeverDestroyed() {}
};
std::timed_mutex& CallLockObject() {
  static NeverDestroyed holder;
  return holder.Lock;
}

// How long unloading waits for a call under way. Long enough for a call that is ending
// (its answer arriving, its result and last log lines being written) to finish on a busy
// till and let its device close as usual; short enough that a host's exit is not held
// up by a provider answer, which may take minutes.
constexpr std::chrono::seconds kUnloadWait{3};

// What unloading left to a call that it could not wait for. Plain pointers, so that no
// exit-time destructor frees it under that call; and reachable, so that a leak checker
// does not report it.
struct AbandonedState {
  tZV_Application* Application = nullptr;
  kDriverRegistry* Registry = nullptr;
  kDeviceTable* Devices = nullptr;
};
AbandonedState gAbandoned;

}  // namespace

void kDriverRegistry::Register(const Text& aDriverName, kPaymentClass aClass) {
  fClasses[aDriverName] = std::move(aClass);
}

const kPaymentClass* kDriverRegistry::Find(const Text& aDriverName) const {
  auto it = fClasses.find(aDriverName);
  return it == fClasses.end() ? nullptr : &it->second;
}

kDeviceTable::~kDeviceTable() {
  // Close devices in the order they were opened, each with its handler and log.
  while (!fDevices.empty()) fDevices.erase(fDevices.begin());
}

kPaymentDevice* kDeviceTable::Find(int32_t aHandle) const {
  auto it = fDevices.find(aHandle);
  return it == fDevices.end() ? nullptr : it->second.get();
}

kPaymentDevice& kDeviceTable::Add(std::unique_ptr<kPaymentDevice> aDevice) {
  // Handles are never reused; after two thousand million of them there is none left.
  if (fHandleCounter == INT32_MAX) throw kException(u"No device handle left");
  ++fHandleCounter;
  aDevice->fHandle = fHandleCounter;
  auto& slot = fDevices[fHandleCounter];
  slot = std::move(aDevice);
  return *slot;
}

void kDeviceTable::Remove(int32_t aHandle) { fDevices.erase(aHandle); }

kDriverLibrary::kDriverLibrary(kModuleRegistration aRegisterModules) {
  try {
    fApplication = std::make_unique<tZV_Application>();
    ApplicationObject = fApplication.get();
  } catch (...) {
    const std::string message =
        "ZVPA_LORVANI_10: application object not created: " + ToUtf8(FailureMessage(std::current_exception())) + "\n";
    std::fwrite(message.data(), 1, message.size(), stderr);
  }
  try {
    fRegistry = std::make_unique<kDriverRegistry>();
    fDevices = std::make_unique<kDeviceTable>();
    if (aRegisterModules != nullptr) aRegisterModules(*fRegistry);
  } catch (...) {
    // The object goes with the failed construction: leave no global pointing at it.
    if (ApplicationObject == fApplication.get()) ApplicationObject = nullptr;
    throw;
  }
  gCurrent = this;
}

kDriverLibrary::~kDriverLibrary() {
  // A call that gets the lock from now on finds the library unloaded and uses none of it.
  gCurrent = nullptr;
  // At the process's exit the system has ended every other thread: a call holding the
  // lock then will never end, so it is not waited for.
  std::unique_lock<std::timed_mutex> lock(
      CallLockObject(), platform::ProcessExitUnderWay() ? std::chrono::seconds(0) : kUnloadWait);
  if (!lock.owns_lock()) {
    // A call is still under way. It can reach its device and, through the table, every
    // other one, the registry, the application object and the log writers of all of
    // them. Free none of it, deliberately (the process is ending): the devices' logs
    // stay without their STOP banner and ApplicationObject keeps pointing at the object.
    gAbandoned = {fApplication.release(), fRegistry.release(), fDevices.release()};
    return;
  }
  fDevices.reset();
  fRegistry.reset();
  if (ApplicationObject == fApplication.get()) ApplicationObject = nullptr;
  fApplication.reset();
}

kDriverLibrary* kDriverLibrary::Current() { return gCurrent; }

std::timed_mutex& kDriverLibrary::CallLock() { return CallLockObject(); }

kDriverLibrary& DriverLibrary() {
  kDriverLibrary* library = gCurrent;
  if (library == nullptr) throw kException(u"The driver library is not loaded");
  return *library;
}

}  // namespace zv
