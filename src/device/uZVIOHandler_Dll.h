#pragma once
// The I/O handler of connection type DLL: an external library, named by the
// connection's LibraryName, loaded for the handler's lifetime. It carries no byte
// stream; a driver takes the library's entry points by name and calls them itself.

#include <cstdint>

#include "device/uZVIOHandler_Base.h"
#include "platform/DynamicLibrary.h"

namespace zv {

class kIOHandler_Dll : public kIOHandler {
 public:
  // Loads LibraryName (a bare name is searched for by the system). A library that
  // cannot be loaded raises "Unable to Load Library <name>. <system text> [<code>]".
  kIOHandler_Dll(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName);
  // Unloads the library, then writes the STOP banner.
  ~kIOHandler_Dll() override;

  Text ClassName() const override { return u"kIOHandler_Dll"; }

  // The address of the export aProcName; the caller gives it the entry point's own
  // signature. A missing export raises "Unable to get address for procedure <name>".
  void* GetAddress(const Text& aProcName) const;

  // The system's handle of the loaded library; 0 when none.
  uintptr_t LibraryHandle() const { return fLibraryHandle.Handle(); }

  // The library is the channel: always there, nothing to open, send or read.
  bool Connected() override { return true; }
  bool Disconnect() override { return true; }
  void ClearBuffers() override {}
  bool Write(const Text&) override { return true; }
  Text ReadUpTo(const std::vector<uint8_t>&) override { return {}; }
  Text ReadChars(int32_t) override { return {}; }
  // Fail with "ReadAll Unsupported" / "InputBufferContainsData Unsupported".
  Text ReadAll() override;
  Text DecodeError(int32_t) override { return {}; }
  bool InputBufferContainsData() override;
  void SetParameter(const Text&, const Text&) override {}

 private:
  platform::DynamicLibrary fLibraryHandle;
};

}  // namespace zv
