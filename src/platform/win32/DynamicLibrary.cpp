#include "platform/DynamicLibrary.h"

#include <utility>

#include "Wide.h"

namespace zv::platform {

DynamicLibrary::LoadResult DynamicLibrary::Load(const Text& aPath) {
  Unload();
  if (aPath.empty()) return {false, kModuleNotFound, SystemMessage(kModuleNotFound)};
  // No "cannot find the file" box of the system: the caller reports the failure.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryW(Wide(aPath));
  const DWORD code = module ? 0 : GetLastError();
  SetErrorMode(previous);
  fHandle = reinterpret_cast<void*>(module);
  if (fHandle) return {true, 0, {}};
  return {false, code, SystemMessage(code)};
}

void* DynamicLibrary::Symbol(const std::string& aName) const {
  if (!fHandle) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(fHandle), aName.c_str()));
}

void DynamicLibrary::Unload() {
  if (fHandle) FreeLibrary(static_cast<HMODULE>(std::exchange(fHandle, nullptr)));
}

}  // namespace zv::platform
