#pragma once
// An exclusive advisory lock on a file, held for the lifetime of the object. Writers
// that append through AppendToFileExclusive fail their attempt while it is held.

#include <cstdint>

#include "base/Text.h"

namespace zv::platform {

class FileLock {
 public:
  // Opens (creating when missing) and locks the file, waiting for the lock when
  // another holder has it. Locked() tells whether it succeeded.
  explicit FileLock(const Text& aFileName);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  bool Locked() const { return fHandle >= 0; }
  // Releases the lock early; the destructor then does nothing.
  void Release();

 private:
  intptr_t fHandle = -1;  // the system's handle or descriptor; -1 when none
};

}  // namespace zv::platform
