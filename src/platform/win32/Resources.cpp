#include "platform/Resources.h"

#include "Wide.h"

namespace zv::platform {

namespace {

// The module that holds this code: the DLL inside a host, the program in a test.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&OwnModule), &module);
  return module;
}

}  // namespace

Text LoadResourceString(uint32_t aIdentifier) {
  wchar_t buffer[kMaxResourceStringLength + 1] = {};
  const int n = LoadStringW(OwnModule(), aIdentifier, buffer, static_cast<int>(kMaxResourceStringLength + 1));
  return n > 0 ? FromWide(buffer, static_cast<size_t>(n)) : Text();
}

std::optional<std::string> LoadRawResource(const Text& aName) {
  const HMODULE module = OwnModule();
  HRSRC found = FindResourceW(module, Wide(aName), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (found == nullptr) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, found);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  if (bytes == nullptr) return std::nullopt;
  return std::string(static_cast<const char*>(bytes), SizeofResource(module, found));
}

Text AnsiToText(std::string_view aBytes) {
  if (aBytes.empty()) return Text();
  const int n = MultiByteToWideChar(CP_ACP, 0, aBytes.data(), static_cast<int>(aBytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, aBytes.data(), static_cast<int>(aBytes.size()), wide.data(), n);
  return FromWide(wide.data(), wide.size());
}

}  // namespace zv::platform
