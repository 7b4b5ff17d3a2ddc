#pragma once
// A small file of state that every process of the machine shares and that outlives
// them: read and replaced while an exclusive lock on it is held, for the lifetime of
// the object.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Text.h"

namespace zv::platform {

// The folder of such files, ending in a path separator: $ZV_STATE_DIR when set and not
// empty; else /var/tmp/zvpa-lorvani-10 on Linux (kept across restarts, made writable
// for every user of the machine) and %ProgramData%\ZVPA_LORVANI_10 on Windows.
Text MachineStateFolder();

class StateFile {
 public:
  // Creates the folder and the file when missing, then waits for the lock.
  explicit StateFile(const Text& aFileName);
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  bool Locked() const { return fHandle >= 0; }
  // Why the file could not be opened or locked (the file's name and the system's words).
  const Text& Failure() const { return fFailure; }
  // The whole content (at most 4 KiB are read); empty when not locked.
  std::string Read() const;
  // Replaces the whole content; false when not locked or the write failed.
  bool Replace(std::string_view aContent);

 private:
  intptr_t fHandle = -1;  // the system's handle or descriptor; -1 when none
  Text fFailure;
  // The file's size as Read or Replace left it; -1 when not known. Content at least as
  // long needs no cutting back.
  mutable int64_t fKnownSize = -1;
};

}  // namespace zv::platform
