#include "platform/FileSystem.h"

#include "Wide.h"

namespace zv::platform {

namespace {

bool IsDirectory(const Text& aPath) {
  const DWORD attributes = GetFileAttributesW(Wide(aPath));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// Control characters and the characters that Windows reserves in file names (the colon
// only after a drive letter).
bool HasInvalidPathChars(TextView aPath) {
  for (size_t i = 0; i < aPath.size(); ++i) {
    const char16_t c = aPath[i];
    if (c < 32 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') return true;
    if (c == u':' && i != 1) return true;
  }
  return false;
}

bool IsPathSeparator(char16_t aChar) { return aChar == u'\\' || aChar == u'/'; }

Text ExtractFileName(TextView aPath) {
  for (size_t i = aPath.size(); i > 0; --i)
    if (IsPathSeparator(aPath[i - 1]) || (i == 2 && aPath[1] == u':')) return Text(aPath.substr(i));
  return Text(aPath);
}

// "\dir", "\\server\share" and "C:\dir"; "C:dir" is relative to a drive's folder.
bool IsRootedPath(TextView aPath) {
  if (!aPath.empty() && IsPathSeparator(aPath.front())) return true;
  return aPath.size() >= 3 && aPath[1] == u':' && IsPathSeparator(aPath[2]);
}

bool ForceDirectories(const Text& aDirectory) {
  if (aDirectory.empty() || HasInvalidPathChars(aDirectory)) return false;
  if (IsDirectory(aDirectory)) return true;
  // Create every missing component from the root down (a drive or share is not created).
  for (size_t i = 1; i <= aDirectory.size(); ++i) {
    if (i == aDirectory.size() || IsPathSeparator(aDirectory[i])) {
      const Text part = aDirectory.substr(0, i);
      if (part.size() == 2 && part[1] == u':') continue;
      if (!CreateDirectoryW(Wide(part), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
          GetLastError() != ERROR_ACCESS_DENIED)
        return false;
    }
  }
  return IsDirectory(aDirectory);
}

bool FileExists(const Text& aFileName) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) return false;
  const DWORD attributes = GetFileAttributesW(Wide(aFileName));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int64_t FileSize(const Text& aFileName) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(Wide(aFileName), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool RenameFileNoReplace(const Text& aFrom, const Text& aTo) {
  if (HasInvalidPathChars(aFrom) || HasInvalidPathChars(aTo)) return false;
  // Without MOVEFILE_REPLACE_EXISTING an existing target makes the move fail.
  return MoveFileExW(Wide(aFrom), Wide(aTo), MOVEFILE_COPY_ALLOWED) != 0;
}

bool AppendToFileExclusive(const Text& aFileName, std::string_view aBytes) {
  return AppendToFileBelow(aFileName, aBytes, -1) == AppendOutcome::Written;
}

AppendOutcome AppendToFileBelow(const Text& aFileName, std::string_view aBytes, int64_t aLimit) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) return AppendOutcome::Failed;
  HANDLE file = CreateFileW(Wide(aFileName), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return AppendOutcome::Failed;
  OVERLAPPED whole{};
  bool ok = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole) != 0;
  // Under the lock no cooperating writer appends, so a failed write is undone by cutting
  // the file back to where this line began: lines stay whole. Where it begins is also
  // the file's size.
  LARGE_INTEGER start{};
  if (ok) ok = SetFilePointerEx(file, LARGE_INTEGER{}, &start, FILE_END) != 0;
  if (ok && aLimit >= 0 && start.QuadPart > aLimit) {
    CloseHandle(file);
    return AppendOutcome::OverLimit;
  }
  const bool positioned = ok;
  while (ok && !aBytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = aBytes.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(aBytes.size());
    if (!WriteFile(file, aBytes.data(), chunk, &written, nullptr) || written == 0) {
      ok = false;
      break;
    }
    aBytes.remove_prefix(written);
  }
  if (!ok && positioned) {
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
  }
  if (!CloseHandle(file)) ok = false;
  return ok ? AppendOutcome::Written : AppendOutcome::Failed;
}

}  // namespace zv::platform
