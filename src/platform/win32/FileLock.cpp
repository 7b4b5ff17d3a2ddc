#include "platform/FileLock.h"

#include "Wide.h"
#include "platform/FileSystem.h"

namespace zv::platform {

FileLock::FileLock(const Text& aFileName) {
  if (HasInvalidPathChars(aFileName)) return;
  HANDLE file = CreateFileW(Wide(aFileName), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  fHandle = reinterpret_cast<intptr_t>(file);
  // The whole file, waiting for the holder: the same range that appends try to take.
  OVERLAPPED whole{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) Release();
}

FileLock::~FileLock() { Release(); }

void FileLock::Release() {
  // Closing the handle drops the lock with it.
  if (fHandle >= 0) CloseHandle(reinterpret_cast<HANDLE>(fHandle));
  fHandle = -1;
}

}  // namespace zv::platform
