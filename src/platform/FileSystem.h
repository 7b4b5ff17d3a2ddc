#pragma once
// Files and directories as the log writer needs them. Paths are Text; the seam
// converts them to the operating system's form.

#include <cstdint>
#include <string_view>

#include "base/Text.h"

namespace zv::platform {

// True when the path holds a character that no path of this system may contain
// (on Linux the NUL character).
bool HasInvalidPathChars(TextView aPath);
// The last component of a path (after the last separator); the whole text when it
// has no separator.
Text ExtractFileName(TextView aPath);
// True when the path starts at the root of the file system.
bool IsRootedPath(TextView aPath);
bool IsPathSeparator(char16_t aChar);

// Creates the directory with every missing parent. True when it exists afterwards.
bool ForceDirectories(const Text& aDirectory);
bool FileExists(const Text& aFileName);
// Size in bytes, or -1 when the file does not exist or its size cannot be read.
int64_t FileSize(const Text& aFileName);
// Moves a file to a new name; fails (false) when the target already exists.
bool RenameFileNoReplace(const Text& aFrom, const Text& aTo);

// One attempt to append bytes to a file: creates the file when missing, opens it for
// appending, takes an exclusive advisory lock without waiting, writes every byte,
// closes it. False when any step fails, in particular when another writer holds the
// lock; nothing is written then.
bool AppendToFileExclusive(const Text& aFileName, std::string_view aBytes);

enum class AppendOutcome { Written, Failed, OverLimit };
// The same attempt, unless the file already holds more than aLimit bytes when its lock
// is taken (a negative aLimit: no limit): then nothing is written and the file is
// closed again (OverLimit). The size is read from the open file, so that a log line
// costs no look-up of the path beyond the open.
AppendOutcome AppendToFileBelow(const Text& aFileName, std::string_view aBytes, int64_t aLimit);

}  // namespace zv::platform
