// A host that loads the shared object named by ZV_LIBRARY with dlopen, sends the
// requests given as arguments, and reports on standard output, one "key=value" a line.
//
// Arguments, in order:
//   version=NAME     VERSION with the driver name NAME
//   open=REQUEST     OPEN with the request text REQUEST
//   unload           dlclose (without it the library stays loaded until exit)
//   pay-then-exit=REQUEST
//                    PAY with the request text REQUEST on a thread of its own; the main
//                    thread waits for SIGUSR1 and then calls exit, whether or not that
//                    PAY has returned (the thread prints its result when it does)
//   late-open=REQUEST
//                    with pay-then-exit: the host's own exit work, after the library's
//                    unloading, waits up to a minute for that PAY to return (so that the
//                    call resumes while the process still runs), then OPENs with REQUEST

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ZVPA_LORVANI_10.h"

namespace {

using Command = int (*)(BSTR, BSTR*, BSTR*);

void* gLibrary = nullptr;
std::atomic<bool> gPayReturned{false};
const char* gLateOpen = nullptr;

template <typename F>
F Symbol(const char* aName) {
  void* symbol = dlsym(gLibrary, aName);
  if (symbol == nullptr) {
    std::printf("missing=%s\n", aName);
    std::exit(3);
  }
  return reinterpret_cast<F>(symbol);
}

// UTF-8 to UTF-16 for ASCII requests; the host's tests send nothing else.
std::u16string Wide(const char* aText) { return std::u16string(aText, aText + std::strlen(aText)); }

std::string Narrow(BSTR aText, unsigned aLength) {
  std::string out;
  for (unsigned i = 0; i < aLength; ++i) out += aText[i] < 0x80 ? static_cast<char>(aText[i]) : '?';
  return out;
}

void Call(const char* aCommand, const char* aRequest) {
  const std::u16string request = Wide(aRequest);
  BSTR in = Symbol<BSTR (*)(const OLECHAR*, unsigned)>("SysAllocStringLen")(request.data(),
                                                                           static_cast<unsigned>(request.size()));
  BSTR response = nullptr, error = nullptr;
  const int result = Symbol<Command>(aCommand)(in, &response, &error);
  auto length = Symbol<unsigned (*)(BSTR)>("SysStringLen");
  auto release = Symbol<void (*)(BSTR)>("SysFreeString");
  std::string shown = response != nullptr ? Narrow(response, length(response)) : "(null)";
  for (char& c : shown)
    if (c == '\r' || c == '\n') c = ' ';
  std::printf("%s.result=%d\n%s.response=%s\n%s.error=%s\n", aCommand, result, aCommand, shown.c_str(), aCommand,
              error != nullptr ? Narrow(error, length(error)).c_str() : "");
  release(response);
  release(error);
  release(in);
}

[[noreturn]] void PayThenExit(const char* aRequest) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  // Blocked before the thread starts, so that neither thread dies of the signal.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::thread([request = std::string(aRequest)] {
    Call("PAY", request.c_str());
    std::fflush(stdout);
    gPayReturned = true;
  }).detach();
  std::printf("pay-started=yes\n");
  std::fflush(stdout);
  int received = 0;
  sigwait(&signals, &received);
  std::printf("exit=yes\n");
  std::fflush(stdout);
  std::exit(0);
}

// Registered before the library is loaded, so that it runs after the library's unloading.
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
  const char* path = std::getenv("ZV_LIBRARY");
  if (path == nullptr) path = ZV_LIBRARY_PATH;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "late-open=", 10) == 0) {
      gLateOpen = argv[i] + 10;
      std::atexit(LateOpen);
    }
  gLibrary = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (gLibrary == nullptr) {
    std::printf("dlopen=%s\n", dlerror());
    return 2;
  }
  std::printf("loaded=yes\n");
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "version=", 8) == 0) Call("VERSION", argv[i] + 8);
    if (std::strncmp(argv[i], "open=", 5) == 0) Call("OPEN", argv[i] + 5);
    if (std::strncmp(argv[i], "pay-then-exit=", 14) == 0) PayThenExit(argv[i] + 14);
    if (std::strcmp(argv[i], "unload") == 0) {
      std::printf("dlclose=%d\n", dlclose(gLibrary));
      gLibrary = nullptr;
      // Unloaded for real: the library's symbols are gone from the process.
      std::printf("still-loaded=%s\n", dlopen(path, RTLD_NOW | RTLD_NOLOAD) != nullptr ? "yes" : "no");
    }
    std::fflush(stdout);
  }
  std::printf("end=yes\n");
  return 0;
}
