#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <utility>

namespace zv::platform {

namespace {

// dlopen gives no error number; a name without a slash is searched for by the loader,
// so only a path can be told missing before the attempt.
bool NamesMissingFile(const std::string& aPath) {
  if (aPath.find('/') == std::string::npos) return false;
  struct stat info {};
  return stat(aPath.c_str(), &info) != 0;
}

}  // namespace

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

DynamicLibrary::LoadResult DynamicLibrary::Load(const Text& aPath) {
  Unload();
  const std::string path = ToUtf8(aPath);
  dlerror();
  fHandle = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (fHandle) return {true, 0, {}};
  const char* reason = dlerror();
  const bool missing = path.empty() || NamesMissingFile(path) ||
                       (reason && std::string(reason).find("No such file") != std::string::npos);
  return {false, missing ? kModuleNotFound : kBadLibrary,
          FromUtf8(reason ? reason : "The specified module could not be found.")};
}

void* DynamicLibrary::Symbol(const std::string& aName) const {
  if (!fHandle) return nullptr;
  return dlsym(fHandle, aName.c_str());
}

void DynamicLibrary::Unload() {
  if (fHandle) dlclose(std::exchange(fHandle, nullptr));
}

}  // namespace zv::platform
