#pragma once
// The library module's own resources: its string table and its raw-data resources.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace zv::platform {

// Longest string-table entry, in UTF-16 code units; longer entries are cut to it.
constexpr size_t kMaxResourceStringLength = 1023;

// The string of the module's string table with this identifier; a missing identifier
// reads as the empty text.
Text LoadResourceString(uint32_t aIdentifier);

// The bytes of the module's raw-data resource of this name, or nothing when the module
// carries no such resource.
std::optional<std::string> LoadRawResource(const Text& aName);

// Text in the system's ANSI code page (resources without a byte-order mark).
Text AnsiToText(std::string_view aBytes);

// One entry of a compiled-in string table, as the build generates it.
struct ResourceString {
  uint32_t Identifier;
  const char16_t* Value;
};

}  // namespace zv::platform
