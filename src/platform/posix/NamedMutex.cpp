#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zv::platform {

Text NamedMutex::LocationOf(const Text& aName) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  Text directory = runtime != nullptr && runtime[0] != '\0' ? FromUtf8(runtime) : Text(u"/tmp");
  // A name may hold characters that a file name cannot.
  Text fileName = aName;
  for (char16_t& c : fileName)
    if (c == u'/' || c == u'\\' || c == u'\0') c = u'_';
  if (directory.back() != u'/') directory += u'/';
  return directory + fileName + u".lock";
}

NamedMutex::NamedMutex(const Text& aName) {
  fHandle = open(ToUtf8(LocationOf(aName)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

NamedMutex::~NamedMutex() {
  // Closing the descriptor drops the lock with it.
  if (fHandle >= 0) close(static_cast<int>(fHandle));
}

bool NamedMutex::TryTake() {
  if (fHandle < 0) return false;
  if (fHeld) return true;
  int rc;
  do rc = flock(static_cast<int>(fHandle), LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  fHeld = rc == 0;
  return fHeld;
}

void NamedMutex::Release() {
  if (!fHeld) return;
  flock(static_cast<int>(fHandle), LOCK_UN);
  fHeld = false;
}

}  // namespace zv::platform
