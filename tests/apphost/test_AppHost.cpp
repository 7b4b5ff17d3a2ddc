// Loading and unloading the library inside host processes: the application log beside
// the host's executable, batch-mode messages, and unloading at dlclose and at exit.
// Each test copies a host program into a directory of its own and runs it there.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "FileFaults.h"
#ifdef _WIN32
#include "SlowProvider_win32.h"
#else
#include "LorvaniSim.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct Outcome {
  bool exited = false;  // ended by itself within the time allowed
  int status = -1;      // exit code when it exited normally
  std::string out, err;
  bool Has(const std::string& aLine) const { return out.find(aLine + "\n") != std::string::npos; }
};

#ifdef _WIN32
unsigned long OwnProcessId() { return GetCurrentProcessId(); }

std::wstring Widen(const std::string& aText) {
  if (aText.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, aText.data(), static_cast<int>(aText.size()), out.data(), size);
  return out;
}

// One argument of a command line as the runtime splits it again: quoted, with the
// backslashes before a quote doubled.
void AppendQuoted(std::wstring& aLine, const std::wstring& aArgument) {
  aLine += L'"';
  size_t backslashes = 0;
  for (wchar_t c : aArgument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    aLine.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    aLine += c;
  }
  aLine.append(backslashes * 2, L'\\');
  aLine += L'"';
}

// A running host: its process, and the threads that read its output from pipes.
struct Child {
  PROCESS_INFORMATION info{};
  std::string out, err;
  std::thread outReader, errReader;
  ~Child() {
    if (outReader.joinable()) outReader.join();
    if (errReader.joinable()) errReader.join();
    if (info.hProcess != nullptr) CloseHandle(info.hProcess);
    if (info.hThread != nullptr) CloseHandle(info.hThread);
  }
};

// A pipe whose writing end the child inherits; a thread collects what arrives.
HANDLE StartReader(std::thread& aReader, std::string& aText) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &inherit, 0)) return nullptr;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  aReader = std::thread([read, &aText] {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(read, buffer, sizeof(buffer), &got, nullptr) && got > 0) aText.append(buffer, got);
    CloseHandle(read);
  });
  return write;
}
#else
unsigned long OwnProcessId() { return static_cast<unsigned long>(::getpid()); }

struct Child {
  pid_t pid = -1;
};
#endif

class HostDir {
 public:
  HostDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    fPath = fs::temp_directory_path() /
            ("zvapphost_" + std::string(info->name()) + "_" + std::to_string(OwnProcessId()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(fPath);
  }
  ~HostDir() {
    std::error_code ignored;
    fs::remove_all(fPath, ignored);
  }
  const fs::path& Path() const { return fPath; }
  // The value of ZV_LOG_DIR for the programs run from now on; without it they run
  // with the variable unset.
  void SetLogDir(const std::string& aValue) { fLogDir = aValue; }

  // Copies the program here under aName and runs it with the arguments, its output
  // captured; a program still running after aSeconds is killed.
  Outcome Run(const char* aProgram, const std::string& aName, const std::vector<std::string>& aArguments,
              int aSeconds = 60) {
    return Finish(Start(aProgram, aName, aArguments), aName, aSeconds);
  }

#ifdef _WIN32
  // Run in two steps, for a test that acts on the program while it runs.
  std::unique_ptr<Child> Start(const char* aProgram, const std::string& aName,
                               const std::vector<std::string>& aArguments) {
    const fs::path exe = fPath / (aName + ".exe");
    fs::copy_file(aProgram, exe, fs::copy_options::overwrite_existing);
    std::wstring line;
    AppendQuoted(line, exe.wstring());
    for (const std::string& argument : aArguments) {
      line += L' ';
      AppendQuoted(line, Widen(argument));
    }
    // This process's environment with ZV_LOG_DIR replaced.
    std::wstring environment;
    if (wchar_t* block = GetEnvironmentStringsW()) {
      for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1)
        if (_wcsnicmp(entry, L"ZV_LOG_DIR=", 11) != 0) environment.append(entry, wcslen(entry) + 1);
      FreeEnvironmentStringsW(block);
    }
    if (fLogDir) environment.append(L"ZV_LOG_DIR=" + Widen(*fLogDir)).push_back(L'\0');
    environment.push_back(L'\0');
    auto child = std::make_unique<Child>();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = StartReader(child->outReader, child->out);
    startup.hStdError = StartReader(child->errReader, child->err);
    const BOOL started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                        environment.data(), nullptr, &startup, &child->info);
    // The child holds the writing ends now: the readers end when it ends.
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    if (!started) ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return child;
  }

  Outcome Finish(std::unique_ptr<Child> aChild, const std::string&, int aSeconds) {
    Outcome outcome;
    if (aChild->info.hProcess != nullptr) {
      if (WaitForSingleObject(aChild->info.hProcess, static_cast<DWORD>(aSeconds) * 1000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(aChild->info.hProcess, &code);
        outcome.exited = true;
        outcome.status = static_cast<int>(code);
      } else {
        TerminateProcess(aChild->info.hProcess, 255);
        WaitForSingleObject(aChild->info.hProcess, INFINITE);
      }
    }
    aChild->outReader.join();
    aChild->errReader.join();
    // The runtime writes text lines ending in CR LF: the checks look for LF alone.
    for (std::string* text : {&aChild->out, &aChild->err})
      text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    outcome.out = std::move(aChild->out);
    outcome.err = std::move(aChild->err);
    return outcome;
  }
#else
  // Run in two steps, for a test that acts on the program while it runs.
  std::unique_ptr<Child> Start(const char* aProgram, const std::string& aName,
                               const std::vector<std::string>& aArguments) {
    const fs::path exe = fPath / aName;
    fs::copy_file(aProgram, exe, fs::copy_options::overwrite_existing);
    const fs::path outFile = fPath / (aName + ".stdout"), errFile = fPath / (aName + ".stderr");
    std::vector<std::string> args{exe.string()};
    args.insert(args.end(), aArguments.begin(), aArguments.end());
    auto child = std::make_unique<Child>();
    child->pid = fork();
    if (child->pid == 0) {
      const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(err, 2);
      if (fLogDir)
        setenv("ZV_LOG_DIR", fLogDir->c_str(), 1);
      else
        unsetenv("ZV_LOG_DIR");
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    return child;
  }

  Outcome Finish(std::unique_ptr<Child> aChild, const std::string& aName, int aSeconds) {
    const pid_t pid = aChild->pid;
    const fs::path outFile = fPath / (aName + ".stdout"), errFile = fPath / (aName + ".stderr");
    Outcome outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        outcome.out = ReadFile(outFile);
        outcome.err = ReadFile(errFile);
        return outcome;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    outcome.exited = WIFEXITED(status);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFile(outFile);
    outcome.err = ReadFile(errFile);
    return outcome;
  }
#endif

 private:
  fs::path fPath;
  std::optional<std::string> fLogDir;
};

// The release date as the library shows it: on Windows in the regional short date
// format, elsewhere day/month/year.
std::string ReleaseDate() {
#ifdef _WIN32
  SYSTEMTIME date{};
  date.wYear = 2021;
  date.wMonth = 11;
  date.wDay = 10;
  char text[64] = {};
  GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &date, nullptr, text, sizeof(text));
  return text;
#else
  return "10/11/2021";
#endif
}

// --- The core linked into the host, loaded by the load/unload owner ---

TEST(StaticHost, BatchModeMessageGoesToTheApplicationLogBesideTheHost) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/batch", "message=shown in batch"});
  ASSERT_TRUE(run.exited) << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.Has("application=yes")) << run.out;
  EXPECT_TRUE(run.Has("batch=1")) << run.out;
  EXPECT_TRUE(run.Has("logfile=" + (dir.Path() / "LogFiles" / "POS.log").string())) << run.out;
  EXPECT_TRUE(run.Has("version=[1.01 - " + ReleaseDate() + "]")) << run.out;
  EXPECT_TRUE(run.Has("devices=0")) << run.out;
  EXPECT_TRUE(run.Has("counter=0")) << run.out;
  EXPECT_TRUE(run.Has("unloaded=yes")) << run.out;
  // Unloading wrote the log out: no waiting needed.
  const std::string log = ReadFile(dir.Path() / "LogFiles" / "POS.log");
  EXPECT_NE(log.find(" - ERROR - shown in batch\r\n"), std::string::npos) << log;
  EXPECT_EQ(run.err.find("[Information]"), std::string::npos) << run.err;
}

TEST(StaticHost, OutsideBatchModeAMessageIsADialogAndTheLogFileIsNotCreated) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/BATCHX", "message=shown as dialog"});
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.Has("batch=0")) << run.out;
#ifdef _WIN32
  EXPECT_TRUE(run.Has("dialog=shown as dialog")) << run.out;
#else
  EXPECT_NE(run.err.find("[Information] shown as dialog"), std::string::npos) << run.err;
#endif
  EXPECT_TRUE(fs::is_directory(dir.Path() / "LogFiles"));
  EXPECT_FALSE(fs::exists(dir.Path() / "LogFiles" / "POS.log"));
}

TEST(StaticHost, UnloadingAtProcessExitReturnsAndWritesTheLogOut) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/Batch=yes", "at-exit", "message=written at exit"});
  ASSERT_TRUE(run.exited) << "the host did not end: " << run.out << run.err;
  EXPECT_EQ(run.status, 0);
  const std::string log = ReadFile(dir.Path() / "LogFiles" / "POS.log");
  EXPECT_NE(log.find(" - ERROR - written at exit\r\n"), std::string::npos) << log;
}

// The value of a "key=" line of the output.
std::string Value(const std::string& aOut, const std::string& aKey) {
  const size_t start = aOut.find(aKey + "=");
  if (start == std::string::npos) return std::string();
  const size_t end = aOut.find('\n', start);
  return aOut.substr(start + aKey.size() + 1, end - start - aKey.size() - 1);
}

void ExpectClosedDeviceLog(const std::string& aLogFile) {
  ASSERT_FALSE(aLogFile.empty());
  const std::string log = ReadFile(aLogFile);
  const size_t start = log.find("*** START ***");
  const size_t stop = log.find("*** STOP ***");
  EXPECT_NE(start, std::string::npos) << log;
  ASSERT_NE(stop, std::string::npos) << log;
  EXPECT_LT(start, stop);
  // The STOP banner is the last line.
  EXPECT_EQ(log.find("\r\n", stop), log.size() - 2) << log;
}

TEST(StaticHost, UnloadingClosesOpenDevicesBeforeTheApplicationObject) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"open-device"});
  ASSERT_TRUE(run.exited) << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.Has("open.result=0")) << run.out;
  const size_t closed = run.out.find("device-closed application=yes\n");
  const size_t unloaded = run.out.find("unloaded=yes\n");
  ASSERT_NE(closed, std::string::npos) << run.out;
  ASSERT_NE(unloaded, std::string::npos) << run.out;
  EXPECT_LT(closed, unloaded);
  const std::string deviceLog = Value(run.out, "devicelog");
  EXPECT_EQ(fs::path(deviceLog).parent_path(), dir.Path() / "LogFiles" / "Payment") << deviceLog;
  ExpectClosedDeviceLog(deviceLog);
}

// ZV_LOG_DIR, when not empty, takes the executable's folder's place as the root of the
// application log and the device logs; empty, it is as if unset.
TEST(StaticHost, TheLogDirectoryVariableRootsTheApplicationAndDeviceLogs) {
  struct Case {
    const char* value;  // "@" stands for a folder of the test's own, "/" for the path separator
    bool besideHost;
  };
  for (const Case& c : {Case{"@", false}, Case{"@/", false}, Case{"", true}}) {
    SCOPED_TRACE(c.value);
    HostDir dir;
    const fs::path logDir = dir.Path() / "logs here";
    const std::string value = c.value;
    dir.SetLogDir(value.empty() ? value : (value.size() > 1 ? (logDir / "").string() : logDir.string()));
    const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/batch", "message=rooted", "open-device"});
    ASSERT_TRUE(run.exited) << run.out << run.err;
    EXPECT_EQ(run.status, 0) << run.err;
    const fs::path root = c.besideHost ? dir.Path() : logDir;
    EXPECT_EQ(Value(run.out, "logfile"), (root / "LogFiles" / "POS.log").string()) << run.out;
    EXPECT_NE(ReadFile(root / "LogFiles" / "POS.log").find(" - ERROR - rooted\r\n"), std::string::npos);
    const std::string deviceLog = Value(run.out, "devicelog");
    EXPECT_EQ(fs::path(deviceLog).parent_path(), root / "LogFiles" / "Payment") << deviceLog;
    ExpectClosedDeviceLog(deviceLog);
    EXPECT_EQ(fs::exists(dir.Path() / "LogFiles"), c.besideHost);
  }
}

TEST(StaticHost, UnloadingAtProcessExitClosesOpenDevices) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"at-exit", "open-device"});
  ASSERT_TRUE(run.exited) << "the host did not end: " << run.out << run.err;
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.Has("open.result=0")) << run.out;
  ExpectClosedDeviceLog(Value(run.out, "devicelog"));
}

// A call still under way when unloading gives up waiting keeps the application object
// it took: under the sanitizers a use of a freed one ends the process with another status.
TEST(StaticHost, ACallOutlastingTheUnloadingKeepsTheApplicationObjectItHolds) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/batch", "at-exit", "open-device", "call-during-exit"});
  ASSERT_TRUE(run.exited) << "the host did not end: " << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  const size_t unloaded = run.out.find("unloading-returned=yes\n"), ended = run.out.find("call-ended=yes\n");
  ASSERT_NE(unloaded, std::string::npos) << run.out;
  ASSERT_NE(ended, std::string::npos) << run.out;
  EXPECT_LT(unloaded, ended) << run.out;
  // Left to the call: the device was not closed.
  EXPECT_EQ(run.out.find("device-closed"), std::string::npos) << run.out;
}

// The please-wait window is not made with the application object, and works when used:
// on Windows a top-most window of the system, shown and hidden.
TEST(StaticHost, TheWaitWindowIsMadeWhenFirstUsedAndShowsAndHides) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/batch", "wait=charging"});
  ASSERT_TRUE(run.exited) << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.Has("wait-before-use=none")) << run.out;
  EXPECT_TRUE(run.Has("wait-caption=Attendere prego ...|charging")) << run.out;
  EXPECT_TRUE(run.Has("wait-started=yes")) << run.out;
  EXPECT_TRUE(run.Has("wait-stopped=yes")) << run.out;
#ifdef _WIN32
  EXPECT_TRUE(run.Has("windows-before-wait=0")) << run.out;
  EXPECT_TRUE(run.Has("wait-window=visible topmost")) << run.out;
  EXPECT_TRUE(run.Has("wait-window-after-stop=hidden topmost")) << run.out;
#endif
}

// --- The shared object loaded by path ---

TEST(DlHost, LoadingCreatesTheLogDirectoryAndUnloadingRemovesTheLibrary) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {"unload"});
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.Has("loaded=yes")) << run.out;
  EXPECT_TRUE(run.Has("dlclose=0")) << run.out;
  EXPECT_TRUE(run.Has("still-loaded=no")) << run.out;
  EXPECT_TRUE(run.Has("end=yes")) << run.out;
  EXPECT_TRUE(fs::is_directory(dir.Path() / "LogFiles"));
  EXPECT_FALSE(fs::exists(dir.Path() / "LogFiles" / "ECR.log"));
}

// Loading runs inside the system's loader lock on Windows, where making a window or
// starting a thread is warned against: the library does neither. On Linux the only thread
// that loading may start is the application log's writer.
TEST(DlHost, LoadingMakesNoWindowAndStartsNoThreadButTheLogWriters) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {"version=ZVPA_LORVANI_10", "unload"});
  ASSERT_TRUE(run.exited) << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.out;
#ifdef _WIN32
  EXPECT_TRUE(run.Has("windows-at-load=0")) << run.out;
  EXPECT_TRUE(run.Has("threads-at-load=0")) << run.out;
#else
  const int threads = std::stoi(Value(run.out, "threads-at-load"));
  EXPECT_GE(threads, 0) << run.out;
  EXPECT_LE(threads, 1) << run.out;
#endif
}

TEST(DlHost, AHostThatExitsWithTheLibraryLoadedEnds) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {});
  ASSERT_TRUE(run.exited) << "the host did not end: " << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.Has("end=yes")) << run.out;
}

std::string OpenRequest(const std::string& aLogId) {
  return "open=<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + aLogId +
         "</LogId><Connection><Type>HTTP</Type></Connection>"
         "<Parameters><Bearer>token</Bearer><Staging>true</Staging></Parameters></Request>";
}

// The device logs below LogFiles/Payment beside the host.
std::vector<fs::path> DeviceLogs(const fs::path& aHostDir) {
  std::vector<fs::path> logs;
  const fs::path payment = aHostDir / "LogFiles" / "Payment";
  if (!fs::is_directory(payment)) return logs;
  for (const auto& entry : fs::directory_iterator(payment)) logs.push_back(entry.path());
  return logs;
}

TEST(DlHost, AnswersThisLibrarysVersion) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {"version=ZVPA_LORVANI_10", "unload"});
  ASSERT_TRUE(run.exited);
  EXPECT_TRUE(run.Has("VERSION.response=Version 1.01 - " + ReleaseDate())) << run.out;
}

TEST(DlHost, UnloadingWithDevicesStillOpenClosesTheirLogs) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {OpenRequest("first"), OpenRequest("second"), "unload"});
  ASSERT_TRUE(run.exited) << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("OPEN.response=<Handle>1</Handle>"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("OPEN.response=<Handle>2</Handle>"), std::string::npos) << run.out;
  EXPECT_TRUE(run.Has("still-loaded=no")) << run.out;
  const auto logs = DeviceLogs(dir.Path());
  ASSERT_EQ(logs.size(), 2u);
  for (const fs::path& log : logs) ExpectClosedDeviceLog(log.string());
}

#ifdef _WIN32
// The loader unloads the library under its lock, which a thread needs to start: a
// device's log thread that had no chance to start is ended, not left to run the
// library's code once it is gone, and its lines are written all the same.
TEST(DlHost, UnloadingEndsALogThreadThatCouldNotStart) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {"hold-loader-lock", OpenRequest("unstarted"), "unload"});
  ASSERT_TRUE(run.exited) << "the host did not end: " << run.out;
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.Has("loader-lock=held")) << run.out;
  EXPECT_TRUE(run.Has("still-loaded=no")) << run.out;
  EXPECT_TRUE(run.Has("end=yes")) << run.out;
  const auto logs = DeviceLogs(dir.Path());
  ASSERT_EQ(logs.size(), 1u);
  ExpectClosedDeviceLog(logs[0].string());
}
#endif

TEST(DlHost, TheLogDirectoryVariableRootsTheDeviceLogs) {
  HostDir dir;
  const fs::path logDir = dir.Path() / "var-log";
  dir.SetLogDir(logDir.string());
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {OpenRequest("rooted"), "unload"});
  ASSERT_TRUE(run.exited) << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("OPEN.response=<Handle>1</Handle>"), std::string::npos) << run.out;
  const auto logs = DeviceLogs(logDir);
  ASSERT_EQ(logs.size(), 1u);
  ExpectClosedDeviceLog(logs[0].string());
  EXPECT_FALSE(fs::exists(dir.Path() / "LogFiles"));
}

// A host installed where it may not write sets ZV_LOG_DIR itself before it loads the
// library: the variable is read from the process's environment as it is then, not from
// the copy the C runtime took at start-up. A file named LogFiles beside the host stands
// for its unwritable folder (the tests may run as root, whom permissions do not stop).
TEST(DlHost, ALogDirectorySetByTheHostBeforeLoadingRootsTheDeviceLogs) {
  HostDir dir;
  std::ofstream(dir.Path() / "LogFiles") << "not a folder";
  const fs::path logDir = dir.Path() / "set by the host";
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {"set-log-dir=" + logDir.string(), OpenRequest("self"), "unload"});
  ASSERT_TRUE(run.exited) << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.Has("set-log-dir=yes")) << run.out;
  EXPECT_NE(run.out.find("OPEN.response=<Handle>1</Handle>"), std::string::npos) << run.out;
  const auto logs = DeviceLogs(logDir);
  ASSERT_EQ(logs.size(), 1u) << run.out;
  ExpectClosedDeviceLog(logs[0].string());
}

// A device log that cannot be written is reported by OPEN, which still opens the device:
// Error False and result 0, the warning in the error text. A relative ZV_LOG_DIR is taken
// from the host's working folder, and the logs name their full path.
struct LogFolderCase {
  const char* name;
  enum Kind { Writable, VariableNamesAFile, LogFilesBesideTheHostIsAFile, ReadOnlyFolder, Relative } kind;
};
std::string NameOf(const LogFolderCase& aCase) { return aCase.name; }
void PrintTo(const LogFolderCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class DlHostLogFolder : public testing::TestWithParam<LogFolderCase> {};

TEST_P(DlHostLogFolder, OpenWarnsOfALogThatCannotBeWrittenAndStillOpens) {
  const LogFolderCase& c = GetParam();
  HostDir dir;
  std::vector<std::string> arguments;
  fs::path logRoot = dir.Path() / "logs";
  std::optional<zvtest::ReadOnlyPath> readOnly;
  switch (c.kind) {
    case LogFolderCase::Writable: dir.SetLogDir(logRoot.string()); break;
    case LogFolderCase::VariableNamesAFile:
      std::ofstream(logRoot) << "not a folder";
      dir.SetLogDir(logRoot.string());
      break;
    case LogFolderCase::LogFilesBesideTheHostIsAFile:
      logRoot = dir.Path();
      std::ofstream(logRoot / "LogFiles") << "not a folder";
      break;
    case LogFolderCase::ReadOnlyFolder:
      fs::create_directories(logRoot);
      readOnly.emplace(logRoot);
      if (!readOnly->Failure().empty()) GTEST_SKIP() << readOnly->Failure();
      dir.SetLogDir(logRoot.string());
      break;
    case LogFolderCase::Relative:
      dir.SetLogDir("logs");
      arguments.push_back("cd=" + dir.Path().string());
      break;
  }
  const bool unwritable = c.kind != LogFolderCase::Writable && c.kind != LogFolderCase::Relative;
  arguments.insert(arguments.end(),
                   {OpenRequest("folder"), "dayclose=<Request><Handle>1</Handle><DayClose/></Request>"});
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", arguments);
  readOnly.reset();
  ASSERT_TRUE(run.exited) << run.out << run.err;
  EXPECT_TRUE(run.Has("OPEN.result=0")) << run.out;
  // The test's name holds a "/": paths are compared in the system's own form.
  const std::string device = (logRoot / "LogFiles" / "Payment").make_preferred().string();
  if (unwritable) {
    const std::string warning = "Warning: the device log cannot be written (" + device;
    EXPECT_EQ(Value(run.out, "OPEN.error").rfind(warning, 0), 0u) << run.out;
    EXPECT_NE(Value(run.out, "OPEN.response").find("<Error>False</Error>  <ErrorText>" + warning), std::string::npos)
        << run.out;
    EXPECT_TRUE(DeviceLogs(logRoot).empty());
    return;
  }
  EXPECT_TRUE(
      run.Has("OPEN.response=<Handle>1</Handle>  <Error>False</Error>  <ErrorText></ErrorText>  "
              "<LogFileName></LogFileName>"))
      << run.out;
  EXPECT_TRUE(run.Has("OPEN.error=")) << run.out;
  const auto logs = DeviceLogs(logRoot);
  ASSERT_EQ(logs.size(), 1u) << run.out;
  EXPECT_NE(Value(run.out, "DAYCLOSE.response")
                .find("<LogFileName>" + fs::path(logs[0]).make_preferred().string() + "</LogFileName>"),
            std::string::npos)
      << run.out;
  ExpectClosedDeviceLog(logs[0].string());
}

INSTANTIATE_TEST_SUITE_P(Table, DlHostLogFolder,
                         testing::Values(LogFolderCase{"Writable", LogFolderCase::Writable},
                                         LogFolderCase{"VariableNamesAFile", LogFolderCase::VariableNamesAFile},
                                         LogFolderCase{"LogFilesBesideTheHostIsAFile",
                                                       LogFolderCase::LogFilesBesideTheHostIsAFile},
                                         LogFolderCase{"ReadOnlyFolder", LogFolderCase::ReadOnlyFolder},
                                         LogFolderCase{"Relative", LogFolderCase::Relative}),
                         [](const testing::TestParamInfo<LogFolderCase>& aInfo) { return NameOf(aInfo.param); });

TEST(DlHost, ExitingWithDevicesStillOpenClosesTheirLogs) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_DL_HOST, "ECR", {OpenRequest("atexit")});
  ASSERT_TRUE(run.exited) << "the host did not end: " << run.out;
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("OPEN.response=<Handle>1</Handle>"), std::string::npos) << run.out;
  const auto logs = DeviceLogs(dir.Path());
  ASSERT_EQ(logs.size(), 1u);
  ExpectClosedDeviceLog(logs[0].string());
}

// --- Exit while a call is under way ---

#ifdef _WIN32
// On Windows a listener in this process stands for the provider: it takes the order
// and answers after a delay of its own (no simulator runs under Wine).
using Provider = zvtest::SlowProvider;

Provider StartProvider(int aDelaySeconds) { return Provider(std::chrono::seconds(aDelaySeconds)); }

std::string ConnectionParameters(const Provider& aProvider) {
  return "<Connection><Type>HTTP</Type><URL>" + aProvider.BaseUrl() +
         "</URL></Connection><Parameters><Bearer>token</Bearer><TlsVerify>false</TlsVerify></Parameters>";
}

size_t OrdersReceived(const Provider& aProvider) { return aProvider.Requests(); }

// Tells the host to exit: it waits for an event named after its process.
void TellToExit(const Child& aChild) {
  const std::string name = "Local\\zv_dl_host_exit_" + std::to_string(aChild.info.dwProcessId);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  HANDLE event = nullptr;
  while ((event = OpenEventA(EVENT_MODIFY_STATE, FALSE, name.c_str())) == nullptr &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(event, nullptr) << "no exit event " << name;
  SetEvent(event);
  CloseHandle(event);
}
#else
const std::string kBearer = "apphost-bearer";

// The simulator's delay fault holds the answer back.
struct Provider {
  explicit Provider(int aDelaySeconds) : delay(aDelaySeconds) {}
  zvtest::LorvaniSim sim{{"--token", kBearer}};
  int delay;
};

Provider StartProvider(int aDelaySeconds) { return Provider(aDelaySeconds); }

std::string ConnectionParameters(const Provider& aProvider) {
  return "<Connection><Type>HTTP</Type><URL>" + aProvider.sim.BaseUrl() + "</URL></Connection><Parameters><Bearer>" +
         kBearer + "</Bearer><TlsCaFile>" + aProvider.sim.CaFile() + "</TlsCaFile></Parameters>";
}

size_t OrdersReceived(const Provider& aProvider) { return aProvider.sim.Requests().size(); }

void TellToExit(const Child& aChild) { kill(aChild.pid, SIGUSR1); }
#endif

std::string PayCode(const Provider& aProvider) {
#ifdef _WIN32
  static_cast<void>(aProvider);
  return "PRE-1";
#else
  return "FAULT-DELAY-" + std::to_string(aProvider.delay);
#endif
}

struct ExitDuringPay {
  Outcome run;
  std::chrono::steady_clock::duration exitTook{};  // from the exit signal to the host's end
  size_t ordersReceived = 0;
};

// The host OPENs a device on the provider and PAYs on a thread of its own; the provider
// holds its answer back. Once the provider has the order, the PAY is under way: the
// host's main thread is told to exit. With aLateOpen the host's exit work waits until
// the PAY has returned, and then calls OPEN once more (with a log of its own).
ExitDuringPay ExitWhilePaying(HostDir& aDir, const Provider& aProvider, bool aLateOpen) {
  const auto open = [&](const std::string& aLogId) {
    return "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + aLogId + "</LogId>" +
           ConnectionParameters(aProvider) + "</Request>";
  };
  const std::string pay = "pay-then-exit=<Request><Handle>1</Handle><Payment><Action>PAY</Action>"
                          "<Amount>12.50</Amount><Currency>EUR</Currency><Attributes>" + PayCode(aProvider) +
                          "</Attributes><StoreCode>S1</StoreCode><TillCode>T2</TillCode>"
                          "<OperatorId>op</OperatorId><Reference>exit</Reference></Payment></Request>";
  std::vector<std::string> arguments{"open=" + open("inflight"), pay};
  if (aLateOpen) arguments.insert(arguments.begin(), "late-open=" + open("late"));
  std::unique_ptr<Child> child = aDir.Start(ZV_DL_HOST, "ECR", arguments);
  ExitDuringPay result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((result.ordersReceived = OrdersReceived(aProvider)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto signalled = std::chrono::steady_clock::now();
  TellToExit(*child);
  result.run = aDir.Finish(std::move(child), "ECR", 60);
  result.exitTook = std::chrono::steady_clock::now() - signalled;
  return result;
}

#ifndef _WIN32
// A call that starts once unloading has begun finds the library unloaded.
void ExpectLateOpenRefused(const Outcome& aRun) {
  const size_t late = aRun.out.find("late=yes\n");
  ASSERT_NE(late, std::string::npos) << aRun.out;
  EXPECT_NE(aRun.out.find("OPEN.result=65535\n", late), std::string::npos) << aRun.out;
  EXPECT_NE(aRun.out.find("OPEN.error=The driver library is not loaded\n", late), std::string::npos) << aRun.out;
}

// The provider answers after unloading has given up waiting for the PAY, while the
// host's exit still runs: the call resumes and ends on state that unloading left to it.
// Under the sanitizers a read of freed memory ends the process with another status.
// (Linux only: on Windows the system ends the call's thread before the library's
// unloading at exit, so no call can resume after it.)
TEST(DlHost, ExitingDuringAPaymentThatOutlastsTheWaitLeavesTheCallWhatItUses) {
  const Provider provider = StartProvider(6);
  HostDir dir;
  const ExitDuringPay exit = ExitWhilePaying(dir, provider, true);
  ASSERT_EQ(exit.ordersReceived, 1u) << exit.run.out << exit.run.err;
  ASSERT_TRUE(exit.run.exited) << "the host did not end: " << exit.run.out << exit.run.err;
  EXPECT_EQ(exit.run.status, 0) << exit.run.err;
  EXPECT_TRUE(exit.run.Has("exit=yes")) << exit.run.out;
  const size_t paid = exit.run.out.find("PAY.result=0\n"), late = exit.run.out.find("late=yes\n");
  ASSERT_NE(paid, std::string::npos) << exit.run.out;
  EXPECT_LT(paid, late) << exit.run.out;
  ExpectLateOpenRefused(exit.run);
}
#endif

// The provider answers long after the host has ended: the exit does not wait for it.
// On Windows the system has ended the call's thread, holding the call lock, before the
// library's unloading: that must neither wait for it nor crash.
TEST(DlHost, ExitingDuringAPaymentEndsPromptly) {
  const Provider provider = StartProvider(120);
  HostDir dir;
  const ExitDuringPay exit = ExitWhilePaying(dir, provider, false);
  ASSERT_EQ(exit.ordersReceived, 1u) << exit.run.out << exit.run.err;
  ASSERT_TRUE(exit.run.exited) << "the host did not end: " << exit.run.out << exit.run.err;
  EXPECT_EQ(exit.run.status, 0) << exit.run.err;
  EXPECT_TRUE(exit.run.Has("exit=yes")) << exit.run.out;
  EXPECT_EQ(exit.run.out.find("PAY.result="), std::string::npos) << "the payment was not under way: " << exit.run.out;
  EXPECT_LT(exit.exitTook, std::chrono::seconds(40));
}

// The provider answers within the wait: the PAY returns its result and then the device
// closes as on any exit, with its STOP banner last. On Linux the library's unloading
// waits for the call; on Windows the host's own exit work does, before the unloading,
// and the library is still loaded for the late OPEN.
TEST(DlHost, ExitingDuringAPaymentThatEndsWithinTheWaitLetsItFinishAndClosesTheDevice) {
  const Provider provider = StartProvider(1);
  HostDir dir;
  const ExitDuringPay exit = ExitWhilePaying(dir, provider, true);
  ASSERT_EQ(exit.ordersReceived, 1u) << exit.run.out << exit.run.err;
  ASSERT_TRUE(exit.run.exited) << "the host did not end: " << exit.run.out << exit.run.err;
  EXPECT_EQ(exit.run.status, 0) << exit.run.err;
  EXPECT_TRUE(exit.run.Has("PAY.result=0")) << exit.run.out;
#ifdef _WIN32
  EXPECT_NE(Value(exit.run.out, "PAY.response").find("<Error>False</Error>"), std::string::npos) << exit.run.out;
  const size_t late = exit.run.out.find("late=yes\n");
  ASSERT_NE(late, std::string::npos) << exit.run.out;
  EXPECT_NE(exit.run.out.find("OPEN.response=<Handle>2</Handle>", late), std::string::npos) << exit.run.out;
  const auto logs = DeviceLogs(dir.Path());
  ASSERT_EQ(logs.size(), 2u);
  for (const fs::path& log : logs) ExpectClosedDeviceLog(log.string());
#else
  const auto logs = DeviceLogs(dir.Path());
  ASSERT_EQ(logs.size(), 1u);
  ExpectClosedDeviceLog(logs[0].string());
  ExpectLateOpenRefused(exit.run);
#endif
}

}  // namespace
