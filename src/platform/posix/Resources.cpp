#include "platform/Resources.h"

namespace zv::platform {

// Generated at configure time from the resource script (resources/).
extern const ResourceString kModuleStringTable[];
extern const size_t kModuleStringTableSize;

Text LoadResourceString(uint32_t aIdentifier) {
  for (size_t i = 0; i < kModuleStringTableSize; ++i) {
    if (kModuleStringTable[i].Identifier != aIdentifier) continue;
    Text value = kModuleStringTable[i].Value;
    // The same limit as the buffer a Windows string load goes through.
    if (value.size() > kMaxResourceStringLength) value.resize(kMaxResourceStringLength);
    return value;
  }
  return Text();
}

// The shared object carries no raw-data resources.
std::optional<std::string> LoadRawResource(const Text& aName) {
  (void)aName;
  return std::nullopt;
}

// The system encoding of Linux is UTF-8.
Text AnsiToText(std::string_view aBytes) { return FromUtf8(aBytes); }

}  // namespace zv::platform
