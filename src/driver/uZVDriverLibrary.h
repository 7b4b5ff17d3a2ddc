#pragma once
// What the library keeps for the whole time it is loaded: the application object, the
// driver registry and the table of open devices with the handle counter. One instance
// exists while the library is loaded; constructing it runs the loading steps,
// destroying it the unloading steps.

#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "base/Text.h"
#include "app/uZV_Base.h"
#include "payment/uZvPayment.h"

namespace zv {

// A registered device class: builds a device from the request of the current call.
using kPaymentClass = std::function<std::unique_ptr<kPaymentDevice>(kPaymentHandler& aHandler)>;

// Driver name (exact, case-sensitive) to device class. Entries are never removed.
class kDriverRegistry {
 public:
  void Register(const Text& aDriverName, kPaymentClass aClass);
  const kPaymentClass* Find(const Text& aDriverName) const;

 private:
  std::map<Text, kPaymentClass> fClasses;
};

// Handle to open device. The table owns its devices: removing an entry destroys the
// device, destroying the table destroys every device still open.
class kDeviceTable {
 public:
  kDeviceTable() = default;
  kDeviceTable(const kDeviceTable&) = delete;
  kDeviceTable& operator=(const kDeviceTable&) = delete;
  ~kDeviceTable();

  kPaymentDevice* Find(int32_t aHandle) const;
  // Draws the next handle (the counter is incremented first, so the first is 1),
  // stores it in the device and takes the device over.
  kPaymentDevice& Add(std::unique_ptr<kPaymentDevice> aDevice);
  void Remove(int32_t aHandle);
  size_t Count() const { return fDevices.size(); }
  int32_t HandleCounter() const { return fHandleCounter; }

 private:
  std::map<int32_t, std::unique_ptr<kPaymentDevice>> fDevices;
  int32_t fHandleCounter = 0;
  // Tests bring the counter near its end, which no command sequence can do in time.
  friend class kDeviceTableTestAccess;
};

// Registers the driver names of the provider modules that a library carries. The
// shared object passes its providers' registration; the registry sits below them.
using kModuleRegistration = void (*)(kDriverRegistry& aRegistry);

class kDriverLibrary {
 public:
  // Loading, in this order: the application object (ApplicationObject), the empty
  // driver registry and device table (handle counter 0), the provider modules'
  // registrations (none without aRegisterModules). When the application object cannot
  // be built (its log writer, version history or message table fails), the library
  // loads without one and says so on standard error: a library that cannot load would
  // bring its host down.
  explicit kDriverLibrary(kModuleRegistration aRegisterModules = nullptr);
  // Unloading: the device table first (every open device closes with its I/O handler
  // and log), then the registry, then the application object. It takes the call lock
  // first, waiting a bounded time: when a call still holds it then, nothing that call
  // can reach is freed (see the definition).
  ~kDriverLibrary();
  kDriverLibrary(const kDriverLibrary&) = delete;
  kDriverLibrary& operator=(const kDriverLibrary&) = delete;

  // The instance of the loaded library; null before loading and from the moment
  // unloading begins.
  static kDriverLibrary* Current();

  // The process-wide lock that every exported call holds while it runs, so that calls
  // run one at a time; unloading takes it too. It is never destroyed.
  static std::timed_mutex& CallLock();

  kDriverRegistry& Registry() { return *fRegistry; }
  kDeviceTable& Devices() { return *fDevices; }
  // Null when the application object could not be built.
  tZV_Application* Application() { return fApplication.get(); }

 private:
  // Declared in loading order; destroyed in the reverse order, devices first.
  std::unique_ptr<tZV_Application> fApplication;
  std::unique_ptr<kDriverRegistry> fRegistry;
  std::unique_ptr<kDeviceTable> fDevices;
};

// The loaded library's state; fails when the library is not loaded.
kDriverLibrary& DriverLibrary();

}  // namespace zv
