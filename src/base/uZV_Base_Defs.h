#pragma once
// Shared types of the framework.

#include <cstdint>
#include <functional>

#include "base/Text.h"

namespace zv {

// The kind of a log line.
enum class tZV_MessageType : uint8_t { let_info, let_error };

// A log callback of the shape of kIOHandler::WriteLog: entry type, title, message.
using zvWriteLogEvent = std::function<void(tZV_MessageType aEntryType, const Text& aTitle, const Text& aMessage)>;

}  // namespace zv
