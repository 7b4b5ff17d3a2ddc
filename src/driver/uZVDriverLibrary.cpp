#include "driver/uZVDriverLibrary.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/Exception.h"

namespace zv {

namespace {
kDriverLibrary* gCurrent = nullptr;
}

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
  gCurrent = nullptr;
  fDevices.reset();
  fRegistry.reset();
  if (ApplicationObject == fApplication.get()) ApplicationObject = nullptr;
  fApplication.reset();
}

kDriverLibrary* kDriverLibrary::Current() { return gCurrent; }

kDriverLibrary& DriverLibrary() {
  if (gCurrent == nullptr) throw kException(u"The driver library is not loaded");
  return *gCurrent;
}

}  // namespace zv
