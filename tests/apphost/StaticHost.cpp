// A host that loads the library's core the way the shared object does (one
// kDriverLibrary) and reports what it sees on standard output, one "key=value" a line.
// Its own switches (/BATCH and the like) are read by the application object.
//
// Arguments besides the switches:
//   message=TEXT   DisplayMessage(0, TEXT) while loaded; on Windows a dialog it shows is
//                  closed with its OK button and reported ("dialog=" its text)
//   open-device    register a device class of the host's own and OPEN a device of it
//                  with an HTTP connection; it stays open until unloading
//   wait=TEXT      show the please-wait window with TEXT, then hide it, reporting what
//                  existed before ("wait-before-use", on Windows "windows-before-wait",
//                  the windows of the process) and the window shown and hidden
//   at-exit        keep the library loaded until the process exits (static
//                  destruction), as a host that never unloads it
//   call-during-exit
//                  with at-exit and open-device: a REPRINT of that device runs on a
//                  thread of its own, under the call lock as an exported call; the device
//                  takes the application object, and the main thread returns from main.
//                  The device goes on only after the library's unloading has returned
//                  (the host's exit work then waits up to a minute for the call), logs
//                  through the application object it took, and the call ends

#ifdef _WIN32
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/uZV_Base.h"
#include "device/uZVIOHandler_Base.h"
#include "driver/uZVDriverLibrary.h"
#include "driver/uZVPaymentWrapper.h"
#ifdef _WIN32
#include "platform/Gui.h"
#endif

namespace {

std::atomic<bool> gCallEntered{false}, gUnloaded{false}, gCallEnded{false};

void WaitFor(const std::atomic<bool>& aFlag) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!aFlag && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// A device that does nothing but say, when it is destroyed, whether the application
// object still exists then (unloading destroys the devices before it).
class HostDevice : public zv::kPaymentDevice {
 public:
  explicit HostDevice(zv::kPaymentHandler& aHandler) : kPaymentDevice(aHandler) {}
  ~HostDevice() override {
    std::printf("device-closed application=%s\n", zv::ApplicationObject != nullptr ? "yes" : "no");
  }

 protected:
  bool Pay(const zv::kPaymentReceipt&, zv::int_PAY_result&) override { return false; }
  bool Refund(const zv::kPaymentReceipt&, zv::int_PAY_result&) override { return false; }
  bool Void(const zv::kPaymentReceipt&, zv::int_PAY_result&) override { return false; }
  // Holds the application object across the library's unloading (call-during-exit).
  bool Reprint(const zv::Text&, zv::ZvPrintLocation, zv::int_REPRINT_result&) override {
    zv::tZV_Application* app = zv::ApplicationObject;
    gCallEntered = true;
    WaitFor(gUnloaded);
    if (app != nullptr) app->Log(zv::tZV_MessageType::let_info, u"logged after unloading");
    return false;
  }
  bool DayClose(const zv::kPaymentDayClose&, zv::int_DAYCLOSE_result&) override { return false; }
  bool GetTotals(const zv::kPaymentTotals&, zv::int_GETTOTALS_result&) override { return false; }
};

void OpenDevice() {
  zv::kDriverLibrary& library = zv::DriverLibrary();
  library.Registry().Register(u"HOST_DEVICE",
                              [](zv::kPaymentHandler& aHandler) { return std::make_unique<HostDevice>(aHandler); });
  zv::kPaymentWrapper_OPEN open;
  open.Process(u"<Request><Driver>HOST_DEVICE</Driver><LogId>apphost</LogId>"
               u"<Connection><Type>HTTP</Type></Connection></Request>");
  zv::Text response, error;
  int16_t result = -1;
  open.Format(response, error, result);
  std::printf("open.result=%d\nopen.error=%s\n", result, zv::ToUtf8(error).c_str());
  if (zv::kPaymentDevice* device = library.Devices().Find(library.Devices().HandleCounter()))
    std::printf("devicelog=%s\n", zv::ToUtf8(device->IOHandler().GetLogFileName()).c_str());
}

// Returns once the device has taken the application object.
void StartCallDuringExit() {
  std::thread([] {
    std::lock_guard<std::timed_mutex> lock(zv::kDriverLibrary::CallLock());
    zv::kPaymentWrapper_REPRINT reprint;
    reprint.Process(u"<Request><Handle>1</Handle><Payment><ReceiptId>R1</ReceiptId></Payment></Request>");
    std::printf("call-ended=yes\n");
    std::fflush(stdout);
    gCallEnded = true;
  }).detach();
  WaitFor(gCallEntered);
}

// Registered before the library is loaded, so that it runs after the library's unloading.
void AfterUnloading() {
  std::printf("unloading-returned=yes\n");
  std::fflush(stdout);
  gUnloaded = true;
  WaitFor(gCallEnded);
}

void Report(const char* aKey, const std::string& aValue) { std::printf("%s=%s\n", aKey, aValue.c_str()); }

#ifdef _WIN32
// A message box of this process: the system's dialog class.
BOOL CALLBACK FindDialog(HWND aWindow, LPARAM aFound) {
  DWORD process = 0;
  GetWindowThreadProcessId(aWindow, &process);
  wchar_t name[16] = {};
  GetClassNameW(aWindow, name, 16);
  if (process != GetCurrentProcessId() || std::wcscmp(name, L"#32770") != 0) return TRUE;
  *reinterpret_cast<HWND*>(aFound) = aWindow;
  return FALSE;
}

// Presses the OK button of the dialog that DisplayMessage shows, so that the call
// returns; stops looking once it has returned (without a desktop none is shown).
std::atomic<bool> gMessageShown{false};

std::thread WatchForDialog() {
  return std::thread([] {
    HWND dialog = nullptr;
    while (dialog == nullptr && !gMessageShown) {
      EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&dialog));
      if (dialog == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (dialog != nullptr) PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  });
}
#endif

#ifdef _WIN32
BOOL CALLBACK CountOwnWindow(HWND aWindow, LPARAM aCount) {
  DWORD process = 0;
  GetWindowThreadProcessId(aWindow, &process);
  if (process == GetCurrentProcessId()) ++*reinterpret_cast<int*>(aCount);
  return TRUE;
}

int OwnWindows() {
  int count = 0;
  EnumWindows(CountOwnWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

// The state of the system's wait window, as a person would see it.
std::string WaitWindowSeen() {
  HWND window = FindWindowW(L"ZVPopupWindow", nullptr);
  if (window == nullptr) return "none";
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process != GetCurrentProcessId()) return "another process's";
  const LONG_PTR extended = GetWindowLongPtrW(window, GWL_EXSTYLE);
  return std::string(IsWindowVisible(window) ? "visible" : "hidden") + ((extended & WS_EX_TOPMOST) ? " topmost" : "");
}
#endif

void UseWaitWindow(const char* aText) {
  zv::tZV_Application& app = *zv::ApplicationObject;
  Report("wait-before-use", app.CreatedWait() == nullptr ? "none" : "created");
#ifdef _WIN32
  Report("windows-before-wait", std::to_string(OwnWindows()));
#endif
  app.Wait().Start(zv::FromUtf8(aText));
  // Its lines joined by "|", on one line of the report.
  std::string caption;
  for (const char c : zv::ToUtf8(app.Wait().Form().GetLabel().Caption()))
    if (c != '\r') caption += c == '\n' ? '|' : c;
  Report("wait-caption", caption);
  Report("wait-started", app.Wait().Started() && app.Wait().Form().Visible() ? "yes" : "no");
#ifdef _WIN32
  Report("wait-window", WaitWindowSeen());
#endif
  app.Wait().Stop();
  Report("wait-stopped", !app.Wait().Started() && !app.Wait().Form().Visible() ? "yes" : "no");
#ifdef _WIN32
  Report("wait-window-after-stop", WaitWindowSeen());
#endif
}

void ShowMessage(const char* aText) {
#ifdef _WIN32
  std::thread watcher;
  if (!zv::ApplicationObject->IsBatch()) watcher = WatchForDialog();
  zv::DisplayMessage(0, zv::FromUtf8(aText));
  gMessageShown = true;
  if (watcher.joinable()) watcher.join();
  // The dialogs that the platform showed, as it records them.
  for (const zv::platform::ShownDialog& dialog : zv::platform::HeadlessSnapshot().Dialogs)
    Report("dialog", zv::ToUtf8(dialog.Message));
#else
  zv::DisplayMessage(0, zv::FromUtf8(aText));
#endif
}

void Run(int argc, char** argv) {
  zv::tZV_Application* app = zv::ApplicationObject;
  Report("application", app != nullptr ? "yes" : "no");
  if (app == nullptr) return;
  Report("batch", app->IsBatch() ? "1" : "0");
  Report("logfile", zv::ToUtf8(app->GetLogFileName()));
  Report("version", zv::ToUtf8(app->Info().VersionString()));
  zv::kDriverLibrary& library = zv::DriverLibrary();
  Report("devices", std::to_string(library.Devices().Count()));
  Report("counter", std::to_string(library.Devices().HandleCounter()));
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "message=", 8) == 0) ShowMessage(argv[i] + 8);
    if (std::strncmp(argv[i], "wait=", 5) == 0) UseWaitWindow(argv[i] + 5);
    if (std::strcmp(argv[i], "open-device") == 0) OpenDevice();
    if (std::strcmp(argv[i], "call-during-exit") == 0) StartCallDuringExit();
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // A crash ends the process with its exception code at once, without the debugger.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
  bool atExit = false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "at-exit") == 0) atExit = true;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "call-during-exit") == 0) std::atexit(AfterUnloading);
  if (atExit) {
    // Destroyed by the exit sequence, as the shared object's instance is at exit.
    static zv::kDriverLibrary library;
    Run(argc, argv);
    std::fflush(stdout);
    return 0;
  }
  auto library = std::make_unique<zv::kDriverLibrary>();
  Run(argc, argv);
  library.reset();
  Report("unloaded", zv::ApplicationObject == nullptr ? "yes" : "no");
  return 0;
}
