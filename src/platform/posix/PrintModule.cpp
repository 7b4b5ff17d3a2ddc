#include "platform/posix/PrintModule.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/Process.h"

namespace zv::print {

namespace {

constexpr char kModuleFile[] = "ZVPA_LORVANI_10_print.so";
constexpr char16_t kUnavailable[] = u"Printing is not available: ";

// The module's file: $ZV_PRINT_MODULE when set (a module kept elsewhere), else beside
// the file this code was loaded from: the driver, or a program that links it.
std::string ModulePath() {
  const char* chosen = std::getenv("ZV_PRINT_MODULE");
  if (chosen != nullptr && *chosen != '\0') return chosen;
  // The loader's map of the object that holds this function: a library by the path it
  // was loaded by, the program by no name (its file is the executable's).
  Dl_info info{};
  link_map* map = nullptr;
  std::string own;
  if (dladdr1(reinterpret_cast<const void*>(&ModulePath), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr)
    own = map->l_name;
  if (own.empty()) own = ToUtf8(platform::ExecutableFileName());
  const size_t slash = own.rfind('/');
  return (slash == std::string::npos ? std::string() : own.substr(0, slash + 1)) + kModuleFile;
}

struct Loaded {
  std::mutex Lock;
  platform::DynamicLibrary Library;
  const ModuleTable* Table = nullptr;
};

// The module as loaded by the driver.
Loaded& Instance() {
  static Loaded loaded;
  return loaded;
}

}  // namespace

const ModuleTable* Module(Text& aError) {
  Loaded& loaded = Instance();
  const std::lock_guard<std::mutex> lock(loaded.Lock);
  if (loaded.Table != nullptr) return loaded.Table;
  const std::string path = ModulePath();
  const platform::DynamicLibrary::LoadResult load = loaded.Library.Load(FromUtf8(path));
  if (!load.Loaded) {
    aError = kUnavailable + FromUtf8(path) + u": " + load.Message;
    return nullptr;
  }
  const auto entry = reinterpret_cast<ModuleEntry>(loaded.Library.Symbol(kModuleEntry));
  const ModuleTable* table = entry != nullptr ? entry() : nullptr;
  if (table == nullptr || table->Size != sizeof(ModuleTable) || table->Version != kModuleVersion) {
    loaded.Library.Unload();
    aError = kUnavailable + FromUtf8(path) + u" is not the printing module of this driver";
    return nullptr;
  }
  // Once loaded, the module and its libraries stay until the process ends, even when the
  // driver is unloaded: libcups keeps per-thread state whose destructors run at every
  // thread's end, and pixman and fontconfig keep tables they never free.
  dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  loaded.Table = table;
  return table;
}

}  // namespace zv::print
