#pragma once
// A shared library loaded for the lifetime of the object: entry points looked up by
// name, unloaded on destruction. Failures come back as results with a code and the
// system's text; nothing here raises.

#include <cstdint>
#include <string>

#include "base/Text.h"

namespace zv::platform {

class DynamicLibrary {
 public:
  // The code a missing file reports, as the Windows loader does (ERROR_MOD_NOT_FOUND).
  static constexpr uint32_t kModuleNotFound = 126;
  // The code of any other load failure on a system that gives none of its own
  // (ERROR_BAD_EXE_FORMAT: the file is there but is no library this process can use).
  static constexpr uint32_t kBadLibrary = 193;

  struct LoadResult {
    bool Loaded = false;
    uint32_t Code = 0;  // the system's error code when not loaded
    // The system's text when not loaded, without trailing control characters, blanks
    // and periods, and without the library's own name in front.
    Text Message;
  };

  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(DynamicLibrary&& aOther) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& aOther) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Unloads an earlier library, then loads the one at aPath (a path, or a bare name the
  // system searches for) with all its references resolved. An empty name, or one
  // holding a NUL, is a missing module.
  LoadResult Load(const Text& aPath);
  // The address of the exported entry point aName, or null when the library has none
  // (or nothing is loaded, or aName holds a NUL).
  void* Symbol(const std::string& aName) const;
  void Unload();
  bool IsLoaded() const { return fHandle != nullptr; }
  // The system's handle (HMODULE on Windows), for the value a handler shows; 0 when none.
  uintptr_t Handle() const { return reinterpret_cast<uintptr_t>(fHandle); }

 private:
  void* fHandle = nullptr;
};

}  // namespace zv::platform
