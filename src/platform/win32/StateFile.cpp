#include "platform/StateFile.h"

#include <string>

#include "Wide.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace zv::platform {

namespace {

constexpr DWORD kMaxContent = 4096;

// The process's own environment block (see LogRoot).
Text EnvironmentText(const wchar_t* aName) {
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetEnvironmentVariableW(aName, value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return Text();
    if (n < value.size()) return FromWide(value.data(), n);
    value.resize(n);
  }
}

HANDLE Native(intptr_t aHandle) { return reinterpret_cast<HANDLE>(aHandle); }

}  // namespace

Text MachineStateFolder() {
  Text folder = EnvironmentText(L"ZV_STATE_DIR");
  if (folder.empty()) {
    // %ProgramData% (C:\ProgramData): the folder Windows gives state of all users.
    folder = EnvironmentText(L"ProgramData");
    if (folder.empty()) folder = EnvironmentText(L"ALLUSERSPROFILE");
    if (!folder.empty() && !IsPathSeparator(folder.back())) folder += kPathSeparator;
    folder += u"ZVPA_LORVANI_10";
  }
  if (!IsPathSeparator(folder.back())) folder += kPathSeparator;
  return folder;
}

StateFile::StateFile(const Text& aFileName) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) {
    fFailure = u"No usable state file name: " + aFileName;
    return;
  }
  const Text folder = aFileName.substr(0, aFileName.size() - ExtractFileName(aFileName).size());
  if (!ForceDirectories(folder)) {
    fFailure = u"Cannot create the folder " + folder + u": " + SystemMessage(GetLastError());
    return;
  }
  HANDLE file =
      CreateFileW(Wide(aFileName), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fFailure = u"Cannot open " + aFileName + u": " + SystemMessage(GetLastError());
    return;
  }
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    fFailure = u"Cannot lock " + aFileName + u": " + SystemMessage(GetLastError());
    CloseHandle(file);
    return;
  }
  fHandle = reinterpret_cast<intptr_t>(file);
}

StateFile::~StateFile() {
  // Closing the handle drops the lock with it.
  if (fHandle >= 0) CloseHandle(Native(fHandle));
}

std::string StateFile::Read() const {
  if (fHandle < 0) return {};
  std::string content(kMaxContent, '\0');
  OVERLAPPED start{};
  DWORD n = 0;
  const bool read = ReadFile(Native(fHandle), content.data(), kMaxContent, &n, &start) != 0;
  if (!read) n = 0;
  content.resize(n);
  fKnownSize = read && n < kMaxContent ? static_cast<int64_t>(n) : -1;
  return content;
}

bool StateFile::Replace(std::string_view aContent) {
  if (fHandle < 0) return false;
  OVERLAPPED start{};
  DWORD n = 0;
  if (!WriteFile(Native(fHandle), aContent.data(), static_cast<DWORD>(aContent.size()), &n, &start) ||
      n != aContent.size())
    return false;
  const auto size = static_cast<int64_t>(aContent.size());
  if (fKnownSize < 0 || size < fKnownSize) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(Native(fHandle), end, nullptr, FILE_BEGIN) || !SetEndOfFile(Native(fHandle))) return false;
  }
  fKnownSize = size;
  return true;
}

}  // namespace zv::platform
