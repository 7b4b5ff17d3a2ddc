// The file-system faults that Windows can make without privileges: a read-only file.

#include "FileFaults.h"

#include <windows.h>

#include <exception>

namespace zvtest {

namespace fs = std::filesystem;

ChildRun RunInChild(const std::function<std::string()>& aBody, std::chrono::seconds) {
  ChildRun run;
  run.Exited = true;
  try {
    run.Report = aBody();
    run.Status = 0;
  } catch (const std::exception& e) {
    run.Report = std::string("exception: ") + e.what();
    run.Status = 2;
  } catch (...) {
    run.Report = "unknown exception";
    run.Status = 2;
  }
  return run;
}

ReadOnlyPath::ReadOnlyPath(fs::path aPath) : fPath(std::move(aPath)) {
  const DWORD attributes = GetFileAttributesW(fPath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !SetFileAttributesW(fPath.c_str(), attributes | FILE_ATTRIBUTE_READONLY)) {
    fFailure = "the read-only attribute cannot be set on " + fPath.string();
    return;
  }
  // Prove it: a folder must refuse a new file, a file must refuse opening for writing.
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const fs::path probe = folder ? fPath / "probe" : fPath;
  HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, folder ? CREATE_NEW : OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    if (folder) DeleteFileW(probe.c_str());
    fFailure = "writes to " + fPath.string() + " are still allowed";
  }
}

ReadOnlyPath::~ReadOnlyPath() {
  const DWORD attributes = GetFileAttributesW(fPath.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(fPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

}  // namespace zvtest
