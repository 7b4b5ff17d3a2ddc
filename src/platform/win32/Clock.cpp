#include "platform/Clock.h"

#include <windows.h>

namespace zv::platform {

CivilTime LocalNow() {
  SYSTEMTIME local{};
  GetLocalTime(&local);
  return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds};
}

int64_t LocalOffsetSeconds(int64_t aUnixSeconds) {
  // The instant as a FILETIME (100 ns since 1601), converted to local time with the
  // zone's rules for that year, daylight saving time included.
  const int64_t ticks = (aUnixSeconds + 11644473600LL) * 10000000LL;
  FILETIME utcFile{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME utc{}, local{};
  if (!FileTimeToSystemTime(&utcFile, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) return 0;
  FILETIME localFile{};
  if (!SystemTimeToFileTime(&local, &localFile)) return 0;
  const int64_t localTicks = (static_cast<int64_t>(localFile.dwHighDateTime) << 32) | localFile.dwLowDateTime;
  return (localTicks - ticks) / 10000000LL;
}

}  // namespace zv::platform
