#include "log/uZV_LogWriter.h"

#include <chrono>
#include <cstdio>

#include "base/DateTime.h"
#include "base/Exception.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/Library.h"
#include "platform/Process.h"
#include "platform/Regional.h"

namespace zv {

namespace {

void CheckPath(const Text& aPath) {
  if (platform::HasInvalidPathChars(aPath)) throw kException(u"Invalid characters in path");
}

// "yyyy-mm-dd hh:mm:ss:zzz" with the regional time separator.
Text FormatLineStamp(const platform::CivilTime& aTime) {
  const char sep = static_cast<char>(platform::TimeSeparator());
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d%c%02d%c%02d%c%03d", aTime.Year, aTime.Month, aTime.Day,
                aTime.Hour, sep, aTime.Minute, sep, aTime.Second, sep, aTime.Millisecond);
  Text stamp = FromAscii(buffer);
  // A separator outside ASCII cannot pass through snprintf; put it in afterwards.
  const char16_t realSep = platform::TimeSeparator();
  if (realSep > 0x7F)
    for (size_t i : {13u, 16u, 19u}) stamp[i] = realSep;
  return stamp;
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

int64_t tZV_LogWriter::GetLogFileSize() const { return platform::FileSize(FileName()); }

bool tZV_LogWriter::CheckLogfileSize() const {
  std::lock_guard guard(fState->Lock);
  return fState->Counter % 20 == 0;
}

void tZV_LogWriter::Write(tZV_MessageType aEntryType, TextView aMessage) {
  {
    std::lock_guard guard(fState->Lock);
    if (fState->FileName.empty()) throw kException(u"Log filename is empty ");
  }
  Text line = FormatLineStamp(platform::LocalNow());
  line += aEntryType == tZV_MessageType::let_error ? u" - ERROR - " : u" - ";
  if (fMaxMessageLength > 0 && aMessage.size() > static_cast<size_t>(fMaxMessageLength)) {
    size_t cut = static_cast<size_t>(fMaxMessageLength);
    // Never keep half of a surrogate pair: it could not be written as UTF-8.
    if (aMessage[cut - 1] >= 0xD800 && aMessage[cut - 1] <= 0xDBFF) --cut;
    aMessage = aMessage.substr(0, cut);
  }
  line += aMessage;
  bool wasEmpty;
  {
    std::lock_guard guard(fState->Lock);
    wasEmpty = fState->Queue.empty();
    fState->Queue.push_back(std::move(line));
  }
  // The thread waits only on an empty queue: with lines already queued it is busy and
  // looks at the queue again before it waits.
  if (wasEmpty) fState->Wake.notify_one();
}

bool tZV_LogWriter::AppendToFile(tZV_LogState& aState, const Text& aLine, int aAttempts) {
  // Each line is handled entirely with the names and limit current when it starts.
  Text fileName;
  int64_t limit = 0;
  bool checkSize = false;
  {
    std::lock_guard guard(aState.Lock);
    fileName = aState.FileName;
    limit = static_cast<int64_t>(aState.MaxLogfileSize) * 1024;
    checkSize = aState.Counter % 20 == 0;
  }
  if (checkSize && platform::FileSize(fileName) > limit) {
    // A failed move (target exists, file in use) leaves writing in the same file; the
    // move is tried again before the next line.
    platform::RenameFileNoReplace(fileName,
                                  WithoutExtension(fileName) + u"_" + FormatCompactStamp(Now()) + u".log");
  }
  std::string bytes = ToUtf8(aLine);
  bytes += "\r\n";
  for (int attempt = 1; attempt <= aAttempts; ++attempt) {
    if (platform::AppendToFileExclusive(fileName, bytes)) return true;
    if (attempt < aAttempts) std::this_thread::sleep_for(std::chrono::milliseconds(kRetryDelayMs));
  }
  // After the last failed attempt the line is dropped without a report.
  return false;
}

// ---------------------------------------------------------------------------
// tZV_LogThread

tZV_LogThread::tZV_LogThread(std::shared_ptr<tZV_LogState> aState)
    : fState(std::move(aState)), fThread(&tZV_LogThread::Execute, fState) {}

tZV_LogThread::~tZV_LogThread() {
  tZV_LogState& state = *fState;
  if (platform::ProcessExitUnderWay()) {
    // The system has ended the thread: what it left queued (the STOP banner among it)
    // is written here, one attempt per line. Its lock is taken only if the thread did
    // not end while holding it.
    std::unique_lock lock(state.Lock, std::try_to_lock);
    if (lock.owns_lock()) {
      while (!state.Queue.empty()) {
        tZV_LogWriter::AppendToFile(state, state.Queue.front(), 1);
        state.Queue.pop_front();
      }
    }
    fThread.detach();
    return;
  }
  std::unique_lock lock(state.Lock);
  state.StopRequested = true;
  state.Wake.notify_one();
  // Wait while the thread makes progress; a thread that handles no line for a long
  // time can no longer run (the process is ending), so give up on it then. It keeps
  // the shared state alive by itself.
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
  // While the loader unloads the library under its lock, a thread cannot end: joining
  // would wait forever. It has finished its work, so leaving it is safe.
  if (finished && !platform::UnloadingUnderLoaderLock())
    fThread.join();
  else
    fThread.detach();
}

void tZV_LogThread::Execute(std::shared_ptr<tZV_LogState> aState) {
  tZV_LogState& state = *aState;
  std::unique_lock lock(state.Lock);
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
    // The head stays queued while it is written and is removed only afterwards.
    const Text line = state.Queue.front();
    lock.unlock();
    const bool written =
        tZV_LogWriter::AppendToFile(state, line, singleAttempts ? 1 : tZV_LogWriter::kAttempts);
    lock.lock();
    if (!written && state.StopRequested) singleAttempts = true;
    state.Queue.pop_front();
    ++state.Handled;
    state.Progress.notify_all();
  }
  state.Finished = true;
  state.Progress.notify_all();
}

}  // namespace zv
