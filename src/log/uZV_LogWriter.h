#pragma once
// Time-stamped log files written in the background: Write formats a line on the
// caller's thread and queues it; the writer's own thread appends it to the file.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/Text.h"
#include "base/uZV_Base_Defs.h"

namespace zv {

class tZV_LogThread;

// What a writer and its thread share. The thread keeps it alive by itself, so a
// thread that destruction had to give up on never touches freed memory.
struct tZV_LogState {
  std::mutex Lock;                  // guards every field below
  std::condition_variable Wake;     // Write and stop requests wake the thread
  std::condition_variable Progress; // the thread reports its end
  std::deque<Text> Queue;           // the head stays queued while it is being written
  Text Directory;
  Text FileName;
  int32_t MaxLogfileSize = 5000;    // in units of 1,024 bytes
  int32_t Counter = 0;              // nothing advances it: the size is checked before every line
  bool StopRequested = false;
  bool Started = false;             // the thread runs (set by the thread itself)
  bool Finished = false;
  uint64_t Handled = 0;             // lines written or dropped so far
  uint64_t Dropped = 0;             // lines dropped after their last attempt
  int ProgressWaiters = 0;          // callers waiting for lines to be handled
};

// Where one line goes and whether the size check is due, copied from the state under
// its lock, so that a line is handled entirely with the old or the new values.
struct tZV_LineTarget {
  Text FileName;
  int64_t Limit = 0;  // bytes
  bool CheckSize = true;
  void Take(const tZV_LogState& aState);
};

class tZV_LogWriter {
 public:
  // aFileName + "_" + yyyymmdd + ".log" when aDaily, else aFileName + ".log", in
  // aDirectory (created with its parents). A message longer than aMaxMessageLength
  // characters is cut when that is greater than 0. Only the last component of
  // aFileName is kept. Fails with "Invalid characters in path" or "Unable to create
  // directory" (empty aDirectory).
  tZV_LogWriter(const Text& aFileName, const Text& aDirectory, int32_t aMaxMessageLength, bool aDaily);
  // Returns after every queued line has been written (or dropped after its retries).
  // Once a line has been dropped after destruction began, each later line gets a
  // single attempt: a full or read-only disk costs one line's retries, not every
  // line's. When the thread stops making progress (it can no longer run, as at
  // process exit), returns after a bounded wait and leaves the remaining lines
  // unwritten.
  ~tZV_LogWriter();
  tZV_LogWriter(const tZV_LogWriter&) = delete;
  tZV_LogWriter& operator=(const tZV_LogWriter&) = delete;

  // Formats "yyyy-mm-dd hh:mm:ss:zzz - message" (" - ERROR - " for let_error) with the
  // regional time separator and queues it. Fails with "Log filename is empty " when
  // there is no file name. Never waits for the file system.
  void Write(tZV_MessageType aEntryType, TextView aMessage);

  Text Directory() const;
  // Later lines go to a file of the same name in aDirectory, which is created.
  void SetDirectory(const Text& aDirectory);
  // The full path of the current log file.
  Text FileName() const;
  // Only the last component of aFileName is kept, joined to Directory.
  void SetFileName(const Text& aFileName);
  int32_t MaxLogFileSize() const;
  void SetMaxLogFileSize(int32_t aKiloBytes);
  int32_t MaxMessageLength() const { return fMaxMessageLength; }
  bool Daily() const { return fDaily; }

  // Waits, at most aWait, until the lines queued so far have been handled, and answers
  // whether any line of this writer was dropped because its file could not be written.
  // A wait that runs out answers what is known by then.
  bool HasDroppedLines(std::chrono::milliseconds aWait) const;

  // Size of the current file in bytes; -1 when it does not exist or cannot be read.
  int64_t GetLogFileSize() const;
  // Whether the size check is due before the next line (always, see tZV_LogState).
  bool CheckLogfileSize() const;

  // Joins a directory and the last component of a file name: the name alone for an
  // empty directory, a rooted name unchanged, else directory + separator + name.
  static Text JoinPath(const Text& aDirectory, const Text& aFileName);

  // Attempts per line and the pause between them.
  static constexpr int kAttempts = 10;
  static constexpr int kRetryDelayMs = 50;
  // Longest sleep of an idle thread between looks at its queue.
  static constexpr int kIdleWaitMs = 60;

 private:
  friend class tZV_LogThread;
  // Appends one line on the writer's thread (size check, rotation, up to aAttempts
  // attempts). False when the line was dropped. Works on the shared state only, so
  // the thread may call it through that state.
  static bool AppendToFile(tZV_LogState& aState, const Text& aLine, int aAttempts);
  // The same with the target already taken; aBytes is the buffer for the line's bytes.
  static bool AppendToFile(const tZV_LineTarget& aTarget, const Text& aLine, int aAttempts, std::string& aBytes);

  std::shared_ptr<tZV_LogState> fState;
  int32_t fMaxMessageLength = 0;
  bool fDaily = false;
  std::unique_ptr<tZV_LogThread> fThread;
};

// The writer's background thread: writes the queued lines oldest first and ends
// after a stop request once the queue is empty.
class tZV_LogThread {
 public:
  // Starts the thread on the given shared state and returns once it runs; while the
  // library is loaded under the loader lock, leaves that to EnsureStarted.
  explicit tZV_LogThread(std::shared_ptr<tZV_LogState> aState);
  // Asks the thread to stop and waits while it drains the queue (see ~tZV_LogWriter).
  ~tZV_LogThread();
  tZV_LogThread(const tZV_LogThread&) = delete;
  tZV_LogThread& operator=(const tZV_LogThread&) = delete;

  // Starts the thread unless it runs already or the loader holds its lock (a thread
  // started then could not begin before the library's unloading), and returns once it
  // runs. Lines queued before it starts are written by the thread, or by destruction
  // when it never starts.
  void EnsureStarted();
  tZV_LogWriter* Writer() const { return fWriter; }
  void SetWriter(tZV_LogWriter* aWriter) { fWriter = aWriter; }

  // How long destruction waits for a line to be handled before it gives up on a
  // thread that no longer runs.
  static constexpr int kStallLimitMs = 5000;

 private:
  static void Execute(std::shared_ptr<tZV_LogState> aState);
  // Writes the queued lines on the calling thread (with aLock held on entry and exit),
  // for a thread that never started or that the process's exit has ended; after a
  // dropped line, or with aSingleAttempts, one attempt per line.
  static void WriteQueueHere(tZV_LogState& aState, std::unique_lock<std::mutex>& aLock, bool aSingleAttempts);

  std::shared_ptr<tZV_LogState> fState;
  tZV_LogWriter* fWriter = nullptr;
  std::once_flag fStartOnce;
  std::atomic<bool> fStarted{false};
  std::thread fThread;
};

}  // namespace zv
