#pragma once
// Real file-system faults for tests: a file that cannot grow (a full disk), a file or
// folder that refuses writes also to root, and a child process to run a scenario in
// when the fault is a process-wide setting.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace zvtest {

struct ChildRun {
  bool Exited = false;  // the child returned from its body (no signal, not killed)
  int Status = -1;      // its exit status when Exited: 0 when the body returned
  std::string Report;   // what the body returned, or why it failed
};

// Runs aBody in a forked child and waits for it; a child still running after
// aKillAfter is killed. Gtest assertions inside aBody are not seen: return what the
// parent should check. On Windows, which cannot fork, aBody runs in this process and
// aKillAfter is not enforced: only faults that stay with a file can be made there.
ChildRun RunInChild(const std::function<std::string()>& aBody, std::chrono::seconds aKillAfter);

#ifndef _WIN32
// For the calling process (run it in a child): writing past aBytes from the start of
// any file fails with EFBIG instead of ending the process, as on a full disk. A write
// that straddles the limit writes the part that fits. (Windows has no such limit.)
void LimitFileSize(uint64_t aBytes);
#endif

// Makes an existing file or folder refuse writes until destruction: permission bits,
// and for root (whom those do not stop) the immutable attribute; on Windows the
// read-only attribute (which a folder ignores for new files: Failure says so).
class ReadOnlyPath {
 public:
  explicit ReadOnlyPath(std::filesystem::path aPath);
  ~ReadOnlyPath();
  ReadOnlyPath(const ReadOnlyPath&) = delete;
  ReadOnlyPath& operator=(const ReadOnlyPath&) = delete;

  // Empty when a write was tried and refused; otherwise why the fault could not be made
  // here (a test then skips).
  const std::string& Failure() const { return fFailure; }

 private:
  std::filesystem::path fPath;
  bool fImmutable = false;
  std::string fFailure;
};

}  // namespace zvtest
