#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"

namespace zv::platform {

FileLock::FileLock(const Text& aFileName) {
  if (HasInvalidPathChars(aFileName)) return;
  fHandle = open(ToUtf8(aFileName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fHandle < 0) return;
  int rc;
  do rc = flock(static_cast<int>(fHandle), LOCK_EX);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) Release();
}

FileLock::~FileLock() { Release(); }

void FileLock::Release() {
  if (fHandle >= 0) close(fHandle);
  fHandle = -1;
}

}  // namespace zv::platform
