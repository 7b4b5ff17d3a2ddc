#pragma once
// Time-stamped log files written in the background: Write formats a line on the
// caller's thread and queues it; the writer's own thread appends it to the file.

#include <cstdint>
#include <memory>

#include "base/Text.h"
#include "base/uZV_Base_Defs.h"

namespace zv {

class tZV_LogThread;

class tZV_LogWriter {
 public:
  // aFileName + "_" + yyyymmdd + ".log" when aDaily, else aFileName + ".log", in
  // aDirectory (created with its parents). A message longer than aMaxMessageLength
  // characters is cut when that is greater than 0.
  tZV_LogWriter(const Text& aFileName, const Text& aDirectory, int32_t aMaxMessageLength, bool aDaily);
  // Returns after every queued line has been written (or dropped after its retries).
  ~tZV_LogWriter();
  tZV_LogWriter(const tZV_LogWriter&) = delete;
  tZV_LogWriter& operator=(const tZV_LogWriter&) = delete;

  void Write(tZV_MessageType aEntryType, TextView aMessage);

  Text Directory() const;
  void SetDirectory(const Text& aDirectory);
  Text FileName() const;
  void SetFileName(const Text& aFileName);
  int32_t MaxLogFileSize() const;
  void SetMaxLogFileSize(int32_t aKiloBytes);
  int32_t MaxMessageLength() const;
  bool Daily() const;
};

}  // namespace zv
