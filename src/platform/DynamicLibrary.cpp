// What both systems' libraries share: ownership of the handle, released through the
// system's Unload.

#include "platform/DynamicLibrary.h"

#include <utility>

namespace zv::platform {

DynamicLibrary::~DynamicLibrary() { Unload(); }

DynamicLibrary::DynamicLibrary(DynamicLibrary&& aOther) noexcept
    : fHandle(std::exchange(aOther.fHandle, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& aOther) noexcept {
  if (this != &aOther) {
    Unload();
    fHandle = std::exchange(aOther.fHandle, nullptr);
  }
  return *this;
}

}  // namespace zv::platform
