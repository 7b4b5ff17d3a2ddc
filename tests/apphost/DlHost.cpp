// A host that loads the shared object named by ZV_LIBRARY (dlopen on Linux,
// LoadLibraryW on Windows), sends the requests given as arguments, and reports on
// standard output, one "key=value" a line.
//
// Arguments, in order:
//   set-log-dir=PATH (before loading, wherever it stands) the host sets ZV_LOG_DIR in its
//                    own environment (SetEnvironmentVariableW on Windows, setenv on Linux)
//   cd=PATH          (before loading, wherever it stands) the host's working folder
//   dayclose=REQUEST DAYCLOSE with the request text REQUEST (its answer names the device log)
//
// After loading it reports what the loading started: "threads-at-load" (Linux: the
// threads the process gained; Windows: the threads that begin in the library's code)
// and, on Windows, "windows-at-load", the windows that the process owns.
//   version=NAME     VERSION with the driver name NAME
//   open=REQUEST     OPEN with the request text REQUEST
//   unload           dlclose / FreeLibrary (without it the library stays loaded until exit)
//   hold-loader-lock (Windows) the loader lock is held from here until after the next
//                    unload: the threads that the library starts meanwhile cannot start
//   pay-then-exit=REQUEST
//                    PAY with the request text REQUEST on a thread of its own; the main
//                    thread waits to be told to exit (Linux: SIGUSR1; Windows: the event
//                    named by ExitEventName) and then calls exit, whether or not that
//                    PAY has returned (the thread prints its result when it does)
//   late-open=REQUEST
//                    with pay-then-exit: the host's own exit work waits up to a minute
//                    for that PAY to return, then OPENs with REQUEST. On Linux that work
//                    runs after the library's unloading (so the call resumes while the
//                    process still runs); on Windows the library is unloaded only after
//                    it, once the system has ended the other threads

#ifdef _WIN32
#include <windows.h>
// After <windows.h>, which they need.
#include <oleauto.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ZVPA_LORVANI_10.h"

namespace {

using Command = int(ZV_API*)(BSTR, BSTR*, BSTR*);

std::atomic<bool> gPayReturned{false};
const char* gLateOpen = nullptr;

#ifdef _WIN32
HMODULE gLibrary = nullptr;

bool Load(const char* aPath) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, aPath, -1, nullptr, 0);
  std::wstring path(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, aPath, -1, path.data(), size);
  gLibrary = LoadLibraryW(path.c_str());
  if (gLibrary == nullptr) std::printf("dlopen=error %lu\n", GetLastError());
  return gLibrary != nullptr;
}

// The loader's lock, taken by this thread (it is recursive) as the loader takes it.
using LoaderLockFunction = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
ULONG_PTR gLoaderLockCookie = 0;

void HoldLoaderLock() {
  auto lock = reinterpret_cast<LoaderLockFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrLockLoaderLock")));
  std::printf("loader-lock=%s\n", lock != nullptr && lock(0, nullptr, &gLoaderLockCookie) == 0 ? "held" : "failed");
}

void ReleaseLoaderLock() {
  if (gLoaderLockCookie == 0) return;
  using Unlock = LONG(NTAPI*)(ULONG, ULONG_PTR);
  reinterpret_cast<Unlock>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrUnlockLoaderLock")))(
      0, gLoaderLockCookie);
  gLoaderLockCookie = 0;
}

// 0 on success, as dlclose answers.
int Unload() { return FreeLibrary(gLibrary) != 0 ? 0 : 1; }

// The threads of this process whose start address lies in the loaded library's image.
int LibraryThreads() {
  using QueryThread = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  constexpr int kThreadQuerySetWin32StartAddress = 9;
  const auto query = reinterpret_cast<QueryThread>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
  const auto* base = reinterpret_cast<const unsigned char*>(gLibrary);
  const auto* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const auto* end = base + nt->OptionalHeader.SizeOfImage;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE || query == nullptr) return -1;
  int count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    void* start = nullptr;
    if (query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) == 0 &&
        static_cast<const unsigned char*>(start) >= base && static_cast<const unsigned char*>(start) < end)
      ++count;
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return count;
}

BOOL CALLBACK CountOwnWindow(HWND aWindow, LPARAM aCount) {
  DWORD process = 0;
  GetWindowThreadProcessId(aWindow, &process);
  if (process == GetCurrentProcessId()) ++*reinterpret_cast<int*>(aCount);
  return TRUE;
}

void ReportLoad(int) {
  int windows = 0;
  EnumWindows(CountOwnWindow, reinterpret_cast<LPARAM>(&windows));
  std::printf("threads-at-load=%d\nwindows-at-load=%d\n", LibraryThreads(), windows);
}

bool StillLoaded(const char* aPath) { return GetModuleHandleA(aPath) != nullptr; }

void* Lookup(const char* aName) { return reinterpret_cast<void*>(GetProcAddress(gLibrary, aName)); }

// The system's BSTR functions.
BSTR AllocString(const OLECHAR* aText, unsigned aLength) { return SysAllocStringLen(aText, aLength); }
unsigned StringLength(BSTR aText) { return SysStringLen(aText); }
void FreeString(BSTR aText) { SysFreeString(aText); }
#else
void* gLibrary = nullptr;

bool Load(const char* aPath) {
  gLibrary = dlopen(aPath, RTLD_NOW | RTLD_LOCAL);
  if (gLibrary == nullptr) std::printf("dlopen=%s\n", dlerror());
  return gLibrary != nullptr;
}

int Unload() { return dlclose(gLibrary); }

int ProcessThreads() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(tasks))
    if (entry->d_name[0] != '.') ++count;
  closedir(tasks);
  return count;
}

void ReportLoad(int aThreadsBefore) { std::printf("threads-at-load=%d\n", ProcessThreads() - aThreadsBefore); }

bool StillLoaded(const char* aPath) { return dlopen(aPath, RTLD_NOW | RTLD_NOLOAD) != nullptr; }

void* Lookup(const char* aName) { return dlsym(gLibrary, aName); }
#endif

template <typename F>
F Symbol(const char* aName) {
  void* symbol = Lookup(aName);
  if (symbol == nullptr) {
    std::printf("missing=%s\n", aName);
    std::exit(3);
  }
  return reinterpret_cast<F>(symbol);
}

#ifndef _WIN32
// The library's own BSTR functions.
BSTR AllocString(const OLECHAR* aText, unsigned aLength) {
  return Symbol<BSTR (*)(const OLECHAR*, unsigned)>("SysAllocStringLen")(aText, aLength);
}
unsigned StringLength(BSTR aText) { return Symbol<unsigned (*)(BSTR)>("SysStringLen")(aText); }
void FreeString(BSTR aText) { Symbol<void (*)(BSTR)>("SysFreeString")(aText); }
#endif

// ASCII to UTF-16; the host's tests send nothing else.
std::basic_string<OLECHAR> Wide(const char* aText) {
  return std::basic_string<OLECHAR>(aText, aText + std::strlen(aText));
}

std::string Narrow(BSTR aText, unsigned aLength) {
  std::string out;
  for (unsigned i = 0; i < aLength; ++i) out += aText[i] < 0x80 ? static_cast<char>(aText[i]) : '?';
  return out;
}

void Call(const char* aCommand, const char* aRequest) {
  const std::basic_string<OLECHAR> request = Wide(aRequest);
  BSTR in = AllocString(request.data(), static_cast<unsigned>(request.size()));
  BSTR response = nullptr, error = nullptr;
  const int result = Symbol<Command>(aCommand)(in, &response, &error);
  std::string shown = response != nullptr ? Narrow(response, StringLength(response)) : "(null)";
  for (char& c : shown)
    if (c == '\r' || c == '\n') c = ' ';
  std::printf("%s.result=%d\n%s.response=%s\n%s.error=%s\n", aCommand, result, aCommand, shown.c_str(), aCommand,
              error != nullptr ? Narrow(error, StringLength(error)).c_str() : "");
  FreeString(response);
  FreeString(error);
  FreeString(in);
}

void StartPay(const char* aRequest) {
  std::thread([request = std::string(aRequest)] {
    Call("PAY", request.c_str());
    std::fflush(stdout);
    gPayReturned = true;
  }).detach();
  std::printf("pay-started=yes\n");
  std::fflush(stdout);
}

[[noreturn]] void PayThenExit(const char* aRequest) {
#ifdef _WIN32
  // Created before the PAY starts: the test sets it once the provider has the order.
  const std::string name = "Local\\zv_dl_host_exit_" + std::to_string(GetCurrentProcessId());
  HANDLE exitEvent = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
  StartPay(aRequest);
  WaitForSingleObject(exitEvent, INFINITE);
#else
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  // Blocked before the thread starts, so that neither thread dies of the signal.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  StartPay(aRequest);
  int received = 0;
  sigwait(&signals, &received);
#endif
  std::printf("exit=yes\n");
  std::fflush(stdout);
  std::exit(0);
}

// Registered before the library is loaded, so that on Linux it runs after the
// library's unloading.
void LateOpen() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!gPayReturned && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::printf("late=yes\n");
  Call("OPEN", gLateOpen);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // A crash ends the process with its exception code at once, without the debugger.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
  const char* path = std::getenv("ZV_LIBRARY");
  if (path == nullptr) path = ZV_LIBRARY_PATH;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "late-open=", 10) == 0) {
      gLateOpen = argv[i] + 10;
      std::atexit(LateOpen);
    }
    if (std::strncmp(argv[i], "set-log-dir=", 12) == 0) {
#ifdef _WIN32
      const std::string value = argv[i] + 12;
      std::printf("set-log-dir=%s\n", SetEnvironmentVariableW(L"ZV_LOG_DIR", Wide(value.c_str()).c_str()) ? "yes" : "no");
#else
      std::printf("set-log-dir=%s\n", setenv("ZV_LOG_DIR", argv[i] + 12, 1) == 0 ? "yes" : "no");
#endif
    }
    if (std::strncmp(argv[i], "cd=", 3) == 0) {
#ifdef _WIN32
      std::printf("cd=%s\n", SetCurrentDirectoryW(Wide(argv[i] + 3).c_str()) ? "yes" : "no");
#else
      std::printf("cd=%s\n", chdir(argv[i] + 3) == 0 ? "yes" : "no");
#endif
    }
  }
#ifdef _WIN32
  const int threadsBefore = 0;
#else
  const int threadsBefore = ProcessThreads();
#endif
  if (!Load(path)) return 2;
  std::printf("loaded=yes\n");
  ReportLoad(threadsBefore);
  for (int i = 1; i < argc; ++i) {
#ifdef _WIN32
    if (std::strcmp(argv[i], "hold-loader-lock") == 0) HoldLoaderLock();
#endif
    if (std::strncmp(argv[i], "version=", 8) == 0) Call("VERSION", argv[i] + 8);
    if (std::strncmp(argv[i], "open=", 5) == 0) Call("OPEN", argv[i] + 5);
    if (std::strncmp(argv[i], "dayclose=", 9) == 0) Call("DAYCLOSE", argv[i] + 9);
    if (std::strncmp(argv[i], "pay-then-exit=", 14) == 0) PayThenExit(argv[i] + 14);
    if (std::strcmp(argv[i], "unload") == 0) {
      std::printf("dlclose=%d\n", Unload());
      gLibrary = nullptr;
#ifdef _WIN32
      ReleaseLoaderLock();
#endif
      // Unloaded for real: the library's symbols are gone from the process.
      std::printf("still-loaded=%s\n", StillLoaded(path) ? "yes" : "no");
      // A thread of the library left running after unloading would run code that is
      // gone: given the time to do so, it ends the process with a crash.
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::fflush(stdout);
  }
  std::printf("end=yes\n");
  return 0;
}
