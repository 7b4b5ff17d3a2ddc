#include "platform/StateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace zv::platform {

namespace {

constexpr char kDefaultFolder[] = "/var/tmp/zvpa-lorvani-10";
constexpr size_t kMaxContent = 4096;

Text SystemFailure(const Text& aWhat, int aError) { return aWhat + u": " + FromUtf8(std::strerror(aError)); }

// The default folder is shared by every user of the machine, as /var/tmp itself is:
// anyone may add a file, nobody may remove another's (the sticky bit).
bool MakeSharedFolder(const std::string& aFolder) {
  if (mkdir(aFolder.c_str(), 01777) == 0) return chmod(aFolder.c_str(), 01777) == 0;
  struct stat info {};
  return errno == EEXIST && stat(aFolder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes the folder and the file, opened; -1 with aFailure set when that fails.
int CreateAndOpen(const Text& aFileName, Text& aFailure) {
  const Text folder = aFileName.substr(0, aFileName.size() - ExtractFileName(aFileName).size());
  const bool shared = folder == FromAscii(kDefaultFolder) + kPathSeparator;
  const std::string folderPath = ToUtf8(folder.substr(0, folder.size() - 1));
  if (!(shared ? MakeSharedFolder(folderPath) : ForceDirectories(folder))) {
    aFailure = SystemFailure(u"Cannot create the folder " + folder, errno);
    return -1;
  }
  // No link is followed: the folder may be one that every user can write to.
  const int fd = open(ToUtf8(aFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    aFailure = SystemFailure(u"Cannot open " + aFileName, errno);
    return -1;
  }
  // Other users' processes share the file; the umask must not shut them out. Only the
  // owner can do this, and only the owner needs to.
  if (shared) fchmod(fd, 0666);
  return fd;
}

}  // namespace

Text MachineStateFolder() {
  const char* dir = std::getenv("ZV_STATE_DIR");
  Text folder = dir != nullptr && *dir != '\0' ? FromUtf8(dir) : FromAscii(kDefaultFolder);
  if (folder.back() != kPathSeparator) folder += kPathSeparator;
  return folder;
}

StateFile::StateFile(const Text& aFileName) {
  if (aFileName.empty() || HasInvalidPathChars(aFileName)) {
    fFailure = u"No usable state file name: " + aFileName;
    return;
  }
  // Once the file exists, an opening is one system call: its folder and its permissions
  // are seen to only where it is missing (or cannot be opened, to say why).
  int fd = open(ToUtf8(aFileName).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) fd = CreateAndOpen(aFileName, fFailure);
  if (fd < 0) return;
  int rc;
  do rc = flock(fd, LOCK_EX);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    fFailure = SystemFailure(u"Cannot lock " + aFileName, errno);
    close(fd);
    return;
  }
  fHandle = fd;
}

StateFile::~StateFile() {
  if (fHandle >= 0) close(static_cast<int>(fHandle));
}

std::string StateFile::Read() const {
  std::string content(kMaxContent, '\0');
  if (fHandle < 0) return {};
  ssize_t n;
  do n = pread(static_cast<int>(fHandle), content.data(), content.size(), 0);
  while (n < 0 && errno == EINTR);
  content.resize(n > 0 ? static_cast<size_t>(n) : 0);
  fKnownSize = n >= 0 && static_cast<size_t>(n) < kMaxContent ? n : -1;
  return content;
}

bool StateFile::Replace(std::string_view aContent) {
  if (fHandle < 0) return false;
  const int fd = static_cast<int>(fHandle);
  size_t written = 0;
  while (written < aContent.size()) {
    const ssize_t n = pwrite(fd, aContent.data() + written, aContent.size() - written, static_cast<off_t>(written));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  const auto size = static_cast<int64_t>(aContent.size());
  if (fKnownSize < 0 || size < fKnownSize) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
  }
  fKnownSize = size;
  return true;
}

}  // namespace zv::platform
