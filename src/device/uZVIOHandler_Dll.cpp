#include "device/uZVIOHandler_Dll.h"

#include "base/Exception.h"

namespace zv {

namespace {

constexpr char16_t kTitleCreate[] = u"kIOHandler_Dll.Create";
constexpr char16_t kTitleDestroy[] = u"kIOHandler_Dll.Destroy";

}  // namespace

kIOHandler_Dll::kIOHandler_Dll(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName)
    : kIOHandler(aConnection, aDirectory, aFileName) {
  const Text name = aConnection ? aConnection->LibraryName() : Text();
  WriteLog(tZV_MessageType::let_info, kTitleCreate, u"Loading DLL " + name);
  const platform::DynamicLibrary::LoadResult result = fLibraryHandle.Load(name);
  if (!result.Loaded) {
    Text message = u"Unable to Load Library ";
    message.append(QuotedValue(name)).append(u". ").append(result.Message);
    message.append(u" [").append(IntToText(result.Code)).append(u"]");
    throw kException(std::move(message));
  }
  WriteLog(tZV_MessageType::let_info, kTitleCreate, u"DLL Loaded successfully");
}

kIOHandler_Dll::~kIOHandler_Dll() {
  if (!fLibraryHandle.IsLoaded()) return;
  // A line that cannot be logged must not keep the library loaded.
  const auto log = [this](const char16_t* aMessage) {
    try {
      WriteLog(tZV_MessageType::let_info, kTitleDestroy, aMessage);
    } catch (...) {
    }
  };
  log(u"Unloading DLL");
  fLibraryHandle.Unload();
  log(u"DLL Unloaded Successfully");
}

void* kIOHandler_Dll::GetAddress(const Text& aProcName) const {
  void* address = fLibraryHandle.Symbol(ToUtf8(aProcName));
  // A null address is no entry point a caller could use, whatever the loader says.
  if (address == nullptr) throw kException(u"Unable to get address for procedure " + aProcName);
  return address;
}

Text kIOHandler_Dll::ReadAll() { throw kException(u"ReadAll Unsupported"); }

bool kIOHandler_Dll::InputBufferContainsData() { throw kException(u"InputBufferContainsData Unsupported"); }

}  // namespace zv
