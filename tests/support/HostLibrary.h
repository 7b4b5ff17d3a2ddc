#pragma once
// The driver library as a host sees it: loaded by path (ZV_LIBRARY), called through
// its exports with BSTRs that the library's own allocator makes and frees.

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "ZVPA_LORVANI_10.h"

namespace zvtest {

class HostLibrary {
 public:
  using Command = int (*)(BSTR, BSTR*, BSTR*);

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
    fHandle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (fHandle == nullptr) throw std::runtime_error(dlerror());
    allocString = Symbol<BSTR (*)(const OLECHAR*)>("SysAllocString");
    allocStringLen = Symbol<BSTR (*)(const OLECHAR*, unsigned)>("SysAllocStringLen");
    stringLen = Symbol<unsigned (*)(BSTR)>("SysStringLen");
    stringByteLen = Symbol<unsigned (*)(BSTR)>("SysStringByteLen");
    freeString = Symbol<void (*)(BSTR)>("SysFreeString");
  }
  ~HostLibrary() { dlclose(fHandle); }
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  template <typename F>
  F Symbol(const char* aName) const {
    void* symbol = dlsym(fHandle, aName);
    if (symbol == nullptr) throw std::runtime_error(std::string("missing export ") + aName);
    return reinterpret_cast<F>(symbol);
  }

  // Calls a command and returns what it answered, freeing every string.
  Answer Call(const char* aCommand, const std::u16string& aRequest) const {
    BSTR request = allocStringLen(aRequest.data(), static_cast<unsigned>(aRequest.size()));
    BSTR response = nullptr, error = nullptr;
    Answer a;
    a.result = Symbol<Command>(aCommand)(request, &response, &error);
    a.responseNull = response == nullptr;
    a.errorNull = error == nullptr;
    if (response) a.response.assign(response, stringLen(response));
    if (error) a.error.assign(error, stringLen(error));
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
  void* fHandle = nullptr;
};

}  // namespace zvtest
