#include "log/uZV_LogWriter.h"

#include <chrono>

#include "base/DateTime.h"
#include "base/Exception.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Library.h"
#include "platform/Process.h"
#include "platform/Regional.h"

namespace zv {

namespace {

constexpr size_t kStampLength = 23;  // "yyyy-mm-dd hh:mm:ss:zzz"

void CheckPath(const Text& aPath) {
  if (platform::HasInvalidPathChars(aPath)) throw kException(u"Invalid characters in path");
}

// Appends aValue in exactly aDigits decimal digits (leading zeros).
void AppendDigits(Text& aOut, int aValue, int aDigits) {
  char16_t digits[4];
  for (int i = aDigits - 1; i >= 0; --i) {
    digits[i] = static_cast<char16_t>(u'0' + aValue % 10);
    aValue /= 10;
  }
  aOut.append(digits, static_cast<size_t>(aDigits));
}

// Appends "yyyy-mm-dd hh:mm:ss:zzz" with the regional time separator.
void AppendLineStamp(Text& aOut, const platform::CivilTime& aTime) {
  const char16_t sep = platform::TimeSeparator();
  AppendDigits(aOut, aTime.Year, 4);
  aOut += u'-';
  AppendDigits(aOut, aTime.Month, 2);
  aOut += u'-';
  AppendDigits(aOut, aTime.Day, 2);
  aOut += u' ';
  AppendDigits(aOut, aTime.Hour, 2);
  aOut += sep;
  AppendDigits(aOut, aTime.Minute, 2);
  aOut += sep;
  AppendDigits(aOut, aTime.Second, 2);
  aOut += sep;
  AppendDigits(aOut, aTime.Millisecond, 3);
}

// The file name without its extension (the part after the last "." of the last
// component).
Text WithoutExtension(const Text& aFileName) {
  const size_t dot = aFileName.rfind(u'.');
  if (dot == Text::npos) return aFileName;
  for (size_t i = dot + 1; i < aFileName.size(); ++i)
    if (platform::IsPathSeparator(aFileName[i])) return aFileName;
  return aFileName.substr(0, dot);
}

// The queue's lock is held only for a few instructions at a time, so a short spin
// usually gets it: a caller that went to sleep on it (and the holder that must then
// wake it) would pay a round through the kernel for each line.
void LockQueue(std::unique_lock<std::mutex>& aLock) {
  for (int i = 0; i < 200; ++i)
    if (aLock.try_lock()) return;
  aLock.lock();
}

}  // namespace

// ---------------------------------------------------------------------------
// tZV_LogWriter

tZV_LogWriter::tZV_LogWriter(const Text& aFileName, const Text& aDirectory, int32_t aMaxMessageLength, bool aDaily)
    : fState(std::make_shared<tZV_LogState>()), fMaxMessageLength(aMaxMessageLength), fDaily(aDaily) {
  // The date is taken once: a daily writer keeps its file past midnight.
  fState->FileName = aDaily ? aFileName + u"_" + FormatCompactDate(Now()) + u".log" : aFileName + u".log";
  SetDirectory(aDirectory);
  fThread = std::make_unique<tZV_LogThread>(fState);
  fThread->SetWriter(this);
}

tZV_LogWriter::~tZV_LogWriter() { fThread.reset(); }

Text tZV_LogWriter::JoinPath(const Text& aDirectory, const Text& aFileName) {
  CheckPath(aDirectory);
  CheckPath(aFileName);
  if (aDirectory.empty()) return aFileName;
  if (platform::IsRootedPath(aFileName)) return aFileName;
  if (platform::IsPathSeparator(aDirectory.back())) return aDirectory + aFileName;
  return aDirectory + platform::kPathSeparator + aFileName;
}

void tZV_LogWriter::SetDirectory(const Text& aDirectory) {
  CheckPath(aDirectory);
  if (aDirectory.empty()) throw kException(u"Unable to create directory");
  {
    std::lock_guard guard(fState->Lock);
    fState->Directory = aDirectory;
    fState->FileName = JoinPath(aDirectory, platform::ExtractFileName(fState->FileName));
  }
  // A directory that cannot be created shows only in failed writes.
  platform::ForceDirectories(aDirectory);
}

Text tZV_LogWriter::Directory() const {
  std::lock_guard guard(fState->Lock);
  return fState->Directory;
}

Text tZV_LogWriter::FileName() const {
  std::lock_guard guard(fState->Lock);
  return fState->FileName;
}

void tZV_LogWriter::SetFileName(const Text& aFileName) {
  CheckPath(aFileName);
  std::lock_guard guard(fState->Lock);
  fState->FileName = JoinPath(fState->Directory, platform::ExtractFileName(aFileName));
}

int32_t tZV_LogWriter::MaxLogFileSize() const {
  std::lock_guard guard(fState->Lock);
  return fState->MaxLogfileSize;
}

void tZV_LogWriter::SetMaxLogFileSize(int32_t aKiloBytes) {
  std::lock_guard guard(fState->Lock);
  fState->MaxLogfileSize = aKiloBytes;
}

bool tZV_LogWriter::HasDroppedLines(std::chrono::milliseconds aWait) const {
  tZV_LogState& state = *fState;
  std::unique_lock lock(state.Lock);
  const uint64_t target = state.Handled + state.Queue.size();
  // The thread reports each line it handles only while someone waits here, so that
  // writing stays cheap otherwise.
  ++state.ProgressWaiters;
  state.Progress.wait_for(lock, aWait, [&] { return state.Handled >= target || state.Finished; });
  --state.ProgressWaiters;
  return state.Dropped > 0;
}

int64_t tZV_LogWriter::GetLogFileSize() const { return platform::FileSize(FileName()); }

bool tZV_LogWriter::CheckLogfileSize() const {
  std::lock_guard guard(fState->Lock);
  return fState->Counter % 20 == 0;
}

void tZV_LogWriter::Write(tZV_MessageType aEntryType, TextView aMessage) {
  // The line is built before the lock is taken, which is then taken once: the check
  // of the file name and the queueing are one hold, so the thread is kept out briefly.
  const platform::CivilTime now = platform::LocalNow();
  const TextView kind = aEntryType == tZV_MessageType::let_error ? TextView(u" - ERROR - ") : TextView(u" - ");
  if (fMaxMessageLength > 0 && aMessage.size() > static_cast<size_t>(fMaxMessageLength)) {
    size_t cut = static_cast<size_t>(fMaxMessageLength);
    // Never keep half of a surrogate pair: it could not be written as UTF-8.
    if (aMessage[cut - 1] >= 0xD800 && aMessage[cut - 1] <= 0xDBFF) --cut;
    aMessage = aMessage.substr(0, cut);
  }
  // The line is built in one allocation: stamp, kind and message.
  Text line;
  line.reserve(kStampLength + kind.size() + aMessage.size());
  AppendLineStamp(line, now);
  line += kind;
  line += aMessage;
  // At the process's exit the system has ended the thread, perhaps while it held the
  // lock: the line is then lost rather than waited for, and the destructor writes it.
  const bool exiting = platform::ProcessExitUnderWay();
  bool wasEmpty;
  {
    std::unique_lock guard(fState->Lock, std::defer_lock);
    if (!exiting)
      LockQueue(guard);
    else if (!guard.try_lock())
      return;
    if (fState->FileName.empty()) throw kException(u"Log filename is empty ");
    wasEmpty = fState->Queue.empty();
    fState->Queue.push_back(std::move(line));
  }
  fThread->EnsureStarted();
  // The thread waits only on an empty queue: with lines already queued it is busy and
  // looks at the queue again before it waits. An ended thread is not woken: waking a
  // waiter that no longer runs can block for good.
  if (wasEmpty && !exiting) fState->Wake.notify_one();
}

bool tZV_LogWriter::AppendToFile(tZV_LogState& aState, const Text& aLine, int aAttempts) {
  tZV_LineTarget target;
  {
    std::lock_guard guard(aState.Lock);
    target.Take(aState);
  }
  std::string bytes;
  return AppendToFile(target, aLine, aAttempts, bytes);
}

void tZV_LineTarget::Take(const tZV_LogState& aState) {
  FileName = aState.FileName;  // reuses the copy's storage from line to line
  Limit = static_cast<int64_t>(aState.MaxLogfileSize) * 1024;
  CheckSize = aState.Counter % 20 == 0;
}

bool tZV_LogWriter::AppendToFile(const tZV_LineTarget& aTarget, const Text& aLine, int aAttempts, std::string& aBytes) {
  aBytes.clear();
  AppendAsUtf8(aBytes, aLine);
  aBytes += "\r\n";
  // The size is read under the file's lock, before the line goes in: a file past the
  // limit is moved aside and the line goes to a new one.
  int64_t limit = aTarget.CheckSize ? aTarget.Limit : -1;
  for (int attempt = 1; attempt <= aAttempts;) {
    switch (platform::AppendToFileBelow(aTarget.FileName, aBytes, limit)) {
      case platform::AppendOutcome::Written: return true;
      case platform::AppendOutcome::OverLimit:
        // A failed move (target exists, file in use) leaves writing in the same file;
        // the move is tried again before the next line.
        platform::RenameFileNoReplace(aTarget.FileName,
                                      WithoutExtension(aTarget.FileName) + u"_" + FormatCompactStamp(Now()) + u".log");
        limit = -1;
        continue;  // the move takes no attempt of the line
      case platform::AppendOutcome::Failed: break;
    }
    if (attempt < aAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kRetryDelayMs));
    ++attempt;
  }
  // After the last failed attempt the line is dropped without a report.
  return false;
}

// ---------------------------------------------------------------------------
// tZV_LogThread

tZV_LogThread::tZV_LogThread(std::shared_ptr<tZV_LogState> aState) : fState(std::move(aState)) { EnsureStarted(); }

void tZV_LogThread::EnsureStarted() {
  if (fStarted.load(std::memory_order_acquire)) return;
  if (platform::LoadingUnderLoaderLock() || platform::UnloadingUnderLoaderLock()) return;
  std::call_once(fStartOnce, [this] {
    fThread = std::thread(&tZV_LogThread::Execute, fState);
    // On Windows a new thread first waits for the loader lock; a host may unload the
    // library as soon as the call that started it returns. The wait is bounded: a host
    // that calls while it holds the loader lock itself keeps the thread from starting
    // until it lets go, and unloading then ends the thread that never ran.
    std::unique_lock lock(fState->Lock);
    fState->Progress.wait_for(lock, std::chrono::milliseconds(kStallLimitMs), [this] { return fState->Started; });
    fStarted.store(true, std::memory_order_release);
  });
}

void tZV_LogThread::WriteQueueHere(tZV_LogState& aState, std::unique_lock<std::mutex>& aLock, bool aSingleAttempts) {
  tZV_LineTarget target;
  std::string bytes;
  while (!aState.Queue.empty()) {
    const Text line = std::move(aState.Queue.front());
    aState.Queue.pop_front();
    target.Take(aState);
    aLock.unlock();
    const bool written =
        tZV_LogWriter::AppendToFile(target, line, aSingleAttempts ? 1 : tZV_LogWriter::kAttempts, bytes);
    aLock.lock();
    if (!written) {
      aSingleAttempts = true;
      ++aState.Dropped;
    }
    ++aState.Handled;
  }
}

tZV_LogThread::~tZV_LogThread() {
  tZV_LogState& state = *fState;
  if (!fThread.joinable()) {
    // Never started (every line came while the loader held its lock): the queue is
    // written here.
    std::unique_lock lock(state.Lock);
    WriteQueueHere(state, lock, false);
    return;
  }
  if (platform::ProcessExitUnderWay()) {
    // The system has ended the thread: what it left queued (the STOP banner among it)
    // is written here, one attempt per line. Its lock is taken only if the thread did
    // not end while holding it.
    std::unique_lock lock(state.Lock, std::try_to_lock);
    if (lock.owns_lock()) WriteQueueHere(state, lock, true);
    fThread.detach();
    return;
  }
  std::unique_lock lock(state.Lock);
  state.StopRequested = true;
  state.Wake.notify_one();
  // Wait while the thread makes progress; a thread that handles no line for a long
  // time can no longer run (the process is ending), so give up on it then. It keeps
  // the shared state alive by itself. The thread signals only its end: progress is
  // looked at when the limit is reached, so lines are written without waking this.
  uint64_t seen = state.Handled;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallLimitMs);
  while (!state.Finished) {
    if (state.Progress.wait_until(lock, deadline) == std::cv_status::timeout) {
      if (state.Handled == seen) break;
      seen = state.Handled;
      deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallLimitMs);
    }
  }
  const bool finished = state.Finished;
  lock.unlock();
  if (!platform::UnloadingUnderLoaderLock()) {
    if (finished)
      fThread.join();
    else
      fThread.detach();
    return;
  }
  // While the loader unloads the library under its lock, a thread cannot end: joining
  // would wait forever, and left to itself it would run the library's code once that is
  // gone. Finished, it parks; unfinished, it has stalled. Either way it is ended here,
  // and what it left is written.
  platform::EndThreadForUnloading(fThread);
  if (!finished) {
    std::unique_lock leftovers(state.Lock, std::try_to_lock);
    if (leftovers.owns_lock()) WriteQueueHere(state, leftovers, true);
  }
}

void tZV_LogThread::Execute(std::shared_ptr<tZV_LogState> aState) {
  tZV_LogState& state = *aState;
  // Kept from line to line, so that a line costs no allocation of its own here.
  tZV_LineTarget target;
  std::string bytes;
  std::unique_lock lock(state.Lock);
  state.Started = true;
  state.Progress.notify_all();
  // Set when a line is dropped after a stop request: the file cannot take lines (full
  // or read-only disk), so the rest get one attempt each and destruction stays short.
  bool singleAttempts = false;
  for (;;) {
    if (state.Queue.empty()) {
      if (state.StopRequested) break;
      // Woken at once by Write or a stop request; looks again after at most 60 ms.
      state.Wake.wait_for(lock, std::chrono::milliseconds(tZV_LogWriter::kIdleWaitMs));
      continue;
    }
    // The head stays queued while it is written and is removed only afterwards. Only
    // this thread removes lines, and adding at the tail of a deque moves no element,
    // so the head is read in place. The file's name and limit are taken in the same
    // hold of the lock.
    const Text& line = state.Queue.front();
    target.Take(state);
    lock.unlock();
    const bool written =
        tZV_LogWriter::AppendToFile(target, line, singleAttempts ? 1 : tZV_LogWriter::kAttempts, bytes);
    LockQueue(lock);
    if (!written) {
      ++state.Dropped;
      if (state.StopRequested) singleAttempts = true;
    }
    state.Queue.pop_front();
    ++state.Handled;
    if (state.ProgressWaiters > 0) state.Progress.notify_all();
  }
  state.Finished = true;
  state.Progress.notify_all();
  // Stopped by the library's unloading under the loader lock: the destructor ends this
  // thread, which must not return into the library's code meanwhile.
  if (platform::UnloadingUnderLoaderLock()) {
    lock.unlock();
    platform::ParkForUnloading();
  }
}

}  // namespace zv
