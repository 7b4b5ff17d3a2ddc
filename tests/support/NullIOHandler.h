#pragma once
// An I/O handler whose channel does nothing, for tests of what the handler base and the
// devices above it do whatever the channel.

#include <cstdint>
#include <vector>

#include "device/uZVIOHandler_Base.h"

namespace zvtest {

class NullIOHandler : public zv::kIOHandler {
 public:
  using kIOHandler::kIOHandler;
  zv::Text ClassName() const override { return u"NullIOHandler"; }
  bool Connected() override { return false; }
  bool Disconnect() override { return true; }
  void ClearBuffers() override {}
  bool Write(const zv::Text&) override { return true; }
  zv::Text ReadUpTo(const std::vector<uint8_t>&) override { return {}; }
  zv::Text ReadChars(int32_t) override { return {}; }
  zv::Text ReadAll() override { return {}; }
  zv::Text DecodeError(int32_t) override { return {}; }
  bool InputBufferContainsData() override { return false; }
  void SetParameter(const zv::Text&, const zv::Text&) override {}
};

}  // namespace zvtest
