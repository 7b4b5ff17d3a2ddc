#include "platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zv::platform {

namespace {

// The text of a missing module where the loader gives none of its own.
constexpr char kModuleNotFoundText[] = "The specified module could not be found";

// dlopen gives no error number; a name without a slash is searched for by the loader,
// so only a path can be told missing before the attempt.
bool NamesMissingFile(const std::string& aPath) {
  if (aPath.find('/') == std::string::npos) return false;
  struct stat info {};
  return stat(aPath.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

// The loader's reason without the "path: " it starts with when it names the library
// asked for (a caller's message names it already); the name of a dependency stays.
std::string Reason(const std::string& aPath, const char* aLoaderText) {
  std::string reason = aLoaderText ? aLoaderText : "";
  const std::string prefix = aPath + ": ";
  if (!aPath.empty() && reason.starts_with(prefix)) reason.erase(0, prefix.size());
  return reason;
}

// The system's text as messages show it: without trailing control characters, blanks
// and periods.
std::string Trimmed(std::string aText) {
  while (!aText.empty() && (static_cast<unsigned char>(aText.back()) <= ' ' || aText.back() == '.'))
    aText.pop_back();
  return aText;
}

}  // namespace

DynamicLibrary::LoadResult DynamicLibrary::Load(const Text& aPath) {
  Unload();
  // A name holding a NUL would load the library named by its first part only.
  if (aPath.empty() || aPath.find(u'\0') != Text::npos) return {false, kModuleNotFound, FromUtf8(kModuleNotFoundText)};
  const std::string path = ToUtf8(aPath);
  dlerror();
  // Every reference is resolved now, as the Windows loader does: a library that lacks
  // one fails here instead of at its first call.
  fHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (fHandle) return {true, 0, {}};
  std::string reason = Reason(path, dlerror());
  // The loader words a missing file with the system's own text for ENOENT, in the
  // process's language.
  const bool missing = NamesMissingFile(path) || reason.find(std::strerror(ENOENT)) != std::string::npos;
  reason = Trimmed(std::move(reason));
  if (reason.empty()) reason = missing ? kModuleNotFoundText : "The library could not be loaded";
  return {false, missing ? kModuleNotFound : kBadLibrary, FromUtf8(reason)};
}

void* DynamicLibrary::Symbol(const std::string& aName) const {
  if (!fHandle || aName.find('\0') != std::string::npos) return nullptr;
  return dlsym(fHandle, aName.c_str());
}

void DynamicLibrary::Unload() {
  if (fHandle) dlclose(std::exchange(fHandle, nullptr));
}

}  // namespace zv::platform
