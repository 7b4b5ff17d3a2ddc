#pragma once
// The driver library as a host sees it: loaded by path (ZV_LIBRARY), called through
// its exports with BSTRs that the library's own allocator makes and frees (on Windows
// oleaut32's, as a Windows host does).

#ifdef _WIN32
#include <windows.h>
#include <oleauto.h>

#include "platform/DynamicLibrary.h"
#else
#include <dlfcn.h>
#endif

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "ZVPA_LORVANI_10.h"

namespace zvtest {

// A UTF-16 literal as the host's OLECHAR text (wchar_t on Windows, char16_t elsewhere).
inline const OLECHAR* Ole(const char16_t* aText) { return reinterpret_cast<const OLECHAR*>(aText); }
// The allocator's calling convention (stdcall on 32-bit Windows).
#ifdef _WIN32
#define ZV_TEST_OLE_API WINAPI
#else
#define ZV_TEST_OLE_API
#endif

inline std::u16string FromBstr(BSTR aText, unsigned aLength) {
  return std::u16string(reinterpret_cast<const char16_t*>(aText), aLength);
}

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
    std::string native = fPath;
    for (char& c : native)
      if (c == '/') c = '\\';
    const auto loaded = fLibrary.Load(zv::FromUtf8(native));
    if (!loaded.Loaded) throw std::runtime_error(fPath + ": " + zv::ToUtf8(loaded.Message));
    allocString = ::SysAllocString;
    allocStringLen = ::SysAllocStringLen;
    stringLen = ::SysStringLen;
    stringByteLen = ::SysStringByteLen;
    freeString = ::SysFreeString;
#else
    // dlopen itself rather than the platform's seam: this program links none of the
    // library's code or its dependencies, as a host does not.
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
  ~HostLibrary() = default;
#else
  ~HostLibrary() { dlclose(fHandle); }
#endif
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  template <typename F>
  F Symbol(const char* aName) const {
#ifdef _WIN32
    void* symbol = fLibrary.Symbol(aName);
#else
    void* symbol = dlsym(fHandle, aName);
#endif
    if (symbol == nullptr) throw std::runtime_error(std::string("missing export ") + aName);
    return reinterpret_cast<F>(symbol);
  }

  // Calls a command and returns what it answered, freeing every string.
  Answer Call(const char* aCommand, const std::u16string& aRequest) const {
    BSTR request = allocStringLen(Ole(aRequest.data()), static_cast<unsigned>(aRequest.size()));
    BSTR response = nullptr, error = nullptr;
    Answer a;
    a.result = Symbol<Command>(aCommand)(request, &response, &error);
    a.responseNull = response == nullptr;
    a.errorNull = error == nullptr;
    if (response) a.response = FromBstr(response, stringLen(response));
    if (error) a.error = FromBstr(error, stringLen(error));
    freeString(response);
    freeString(error);
    freeString(request);
    return a;
  }

  const std::string& Path() const { return fPath; }
#ifdef _WIN32
  // The loaded module's handle: its base address.
  uintptr_t Module() const { return fLibrary.Handle(); }
#endif

  BSTR(ZV_TEST_OLE_API* allocString)(const OLECHAR*) = nullptr;
  BSTR(ZV_TEST_OLE_API* allocStringLen)(const OLECHAR*, unsigned) = nullptr;
  unsigned(ZV_TEST_OLE_API* stringLen)(BSTR) = nullptr;
  unsigned(ZV_TEST_OLE_API* stringByteLen)(BSTR) = nullptr;
  void(ZV_TEST_OLE_API* freeString)(BSTR) = nullptr;

 private:
  std::string fPath;
#ifdef _WIN32
  zv::platform::DynamicLibrary fLibrary;
#else
  void* fHandle = nullptr;
#endif
};

}  // namespace zvtest
