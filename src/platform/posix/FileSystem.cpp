#include "platform/FileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace zv::platform {

namespace {

std::string NativePath(TextView aPath) { return ToUtf8(aPath); }

}  // namespace

bool HasInvalidPathChars(TextView aPath) { return aPath.find(u'\0') != TextView::npos; }

bool IsPathSeparator(char16_t aChar) { return aChar == u'/'; }

Text ExtractFileName(TextView aPath) {
  for (size_t i = aPath.size(); i > 0; --i)
    if (IsPathSeparator(aPath[i - 1])) return Text(aPath.substr(i));
  return Text(aPath);
}

bool IsRootedPath(TextView aPath) { return !aPath.empty() && IsPathSeparator(aPath.front()); }

bool ForceDirectories(const Text& aDirectory) {
  if (aDirectory.empty() || HasInvalidPathChars(aDirectory)) return false;
  const std::string path = NativePath(aDirectory);
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  // Create every missing component from the root down.
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
  }
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileExists(const Text& aFileName) {
  if (HasInvalidPathChars(aFileName)) return false;
  struct stat info {};
  return stat(NativePath(aFileName).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int64_t FileSize(const Text& aFileName) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) return -1;
  struct stat info {};
  if (stat(NativePath(aFileName).c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool RenameFileNoReplace(const Text& aFrom, const Text& aTo) {
  if (HasInvalidPathChars(aFrom) || HasInvalidPathChars(aTo)) return false;
  const std::string from = NativePath(aFrom), to = NativePath(aTo);
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system without the no-replace rename (NFS, some FUSE): a hard link refuses
  // an existing target just the same.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

bool AppendToFileExclusive(const Text& aFileName, std::string_view aBytes) {
  return AppendToFileBelow(aFileName, aBytes, -1) == AppendOutcome::Written;
}

AppendOutcome AppendToFileBelow(const Text& aFileName, std::string_view aBytes, int64_t aLimit) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) return AppendOutcome::Failed;
  const int fd = open(NativePath(aFileName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return AppendOutcome::Failed;
  bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
  struct stat info {};
  if (ok && aLimit >= 0) {
    ok = fstat(fd, &info) == 0;
    if (ok && static_cast<int64_t>(info.st_size) > aLimit) {
      close(fd);
      return AppendOutcome::OverLimit;
    }
  }
  // Under the lock no cooperating writer appends, so a failed write can be undone by
  // cutting the file back to where this line began (its end less what this line got
  // written): lines stay whole.
  size_t done = 0;
  while (ok && done < aBytes.size()) {
    const ssize_t written = write(fd, aBytes.data() + done, aBytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ok = false;
      const off_t end = done > 0 ? lseek(fd, 0, SEEK_END) : -1;
      if (end >= static_cast<off_t>(done)) (void)!ftruncate(fd, end - static_cast<off_t>(done));
      break;
    }
    done += static_cast<size_t>(written);
  }
  // Closing the descriptor releases the lock.
  if (close(fd) != 0) ok = false;
  return ok ? AppendOutcome::Written : AppendOutcome::Failed;
}

}  // namespace zv::platform
