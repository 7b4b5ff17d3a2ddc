#pragma once
// The driver library as a host sees it: loaded by path (ZV_LIBRARY), called through
// its exports with BSTRs that the library's own allocator makes and frees (on Windows,
// the system's: OLE Automation).

#ifdef _WIN32
// clang-format off
#include <windows.h>
#include <oleauto.h>
// clang-format on
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "ZVPA_LORVANI_10.h"

namespace zvtest {

class HostLibrary {
 public:
  using Command = int(ZV_API*)(BSTR, BSTR*, BSTR*);

  struct Answer {
    std::u16string response, error;
    bool responseNull = true, errorNull = true;
    int result = 0;
  };

  HostLibrary() {
    // ZV_LIBRARY names another build of the library; the one built beside the tests otherwise.
    const char* path = std::getenv("ZV_LIBRARY");
    if (path == nullptr) path = ZV_LIBRARY_PATH;
    fPath = path;
#ifdef _WIN32
    // The built library's path is a Linux one, which Wine shows on drive Z:.
    std::string windowsPath = fPath;
    if (windowsPath.starts_with("/")) windowsPath = "Z:" + windowsPath;
    for (char& c : windowsPath)
      if (c == '/') c = '\\';
    fHandle = LoadLibraryA(windowsPath.c_str());
    if (fHandle == nullptr) throw std::runtime_error("cannot load " + windowsPath);
    allocString = [](const OLECHAR* a) { return SysAllocString(a); };
    allocStringLen = [](const OLECHAR* a, unsigned n) { return SysAllocStringLen(a, n); };
    stringLen = [](BSTR a) { return static_cast<unsigned>(SysStringLen(a)); };
    stringByteLen = [](BSTR a) { return static_cast<unsigned>(SysStringByteLen(a)); };
    freeString = [](BSTR a) { SysFreeString(a); };
#else
    fHandle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (fHandle == nullptr) throw std::runtime_error(dlerror());
    allocString = Symbol<BSTR (*)(const OLECHAR*)>("SysAllocString");
    allocStringLen = Symbol<BSTR (*)(const OLECHAR*, unsigned)>("SysAllocStringLen");
    stringLen = Symbol<unsigned (*)(BSTR)>("SysStringLen");
    stringByteLen = Symbol<unsigned (*)(BSTR)>("SysStringByteLen");
    freeString = Symbol<void (*)(BSTR)>("SysFreeString");
#endif
  }
#ifdef _WIN32
  ~HostLibrary() { FreeLibrary(fHandle); }
#else
  ~HostLibrary() { dlclose(fHandle); }
#endif
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  template <typename F>
  F Symbol(const char* aName) const {
#ifdef _WIN32
    auto symbol = reinterpret_cast<void*>(GetProcAddress(fHandle, aName));
#else
    void* symbol = dlsym(fHandle, aName);
#endif
    if (symbol == nullptr) throw std::runtime_error(std::string("missing export ") + aName);
    return reinterpret_cast<F>(symbol);
  }

  // Calls a command and returns what it answered, freeing every string.
  Answer Call(const char* aCommand, const std::u16string& aRequest) const {
    BSTR request = allocStringLen(reinterpret_cast<const OLECHAR*>(aRequest.data()), static_cast<unsigned>(aRequest.size()));
    BSTR response = nullptr, error = nullptr;
    Answer a;
    a.result = Symbol<Command>(aCommand)(request, &response, &error);
    a.responseNull = response == nullptr;
    a.errorNull = error == nullptr;
    if (response) a.response.assign(reinterpret_cast<const char16_t*>(response), stringLen(response));
    if (error) a.error.assign(reinterpret_cast<const char16_t*>(error), stringLen(error));
    freeString(response);
    freeString(error);
    freeString(request);
    return a;
  }

  const std::string& Path() const { return fPath; }

  BSTR (*allocString)(const OLECHAR*) = nullptr;
  BSTR (*allocStringLen)(const OLECHAR*, unsigned) = nullptr;
  unsigned (*stringLen)(BSTR) = nullptr;
  unsigned (*stringByteLen)(BSTR) = nullptr;
  void (*freeString)(BSTR) = nullptr;

 private:
  std::string fPath;
#ifdef _WIN32
  HMODULE fHandle = nullptr;
#else
  void* fHandle = nullptr;
#endif
};

}  // namespace zvtest
