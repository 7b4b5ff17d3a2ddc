#pragma once
// The I/O handler of connection type Com: an empty channel with the base's log and
// error state. Every channel operation answers a fixed result; Write sends nothing
// and answers false.

#include "device/uZVIOHandler_Base.h"

namespace zv {

class kIOHandler_Com : public kIOHandler {
 public:
  using kIOHandler::kIOHandler;

  Text ClassName() const override { return u"kIOHandler_Com"; }

  bool Connected() override { return true; }
  bool Disconnect() override { return true; }
  void ClearBuffers() override {}
  bool Write(const Text&) override { return false; }
  Text ReadUpTo(const std::vector<uint8_t>&) override { return {}; }
  Text ReadChars(int32_t) override { return {}; }
  // Fail with "ReadAll Unsupported" / "InputBufferContainsData Unsupported".
  Text ReadAll() override;
  Text DecodeError(int32_t) override { return {}; }
  bool InputBufferContainsData() override;
  void SetParameter(const Text&, const Text&) override {}
};

}  // namespace zv
