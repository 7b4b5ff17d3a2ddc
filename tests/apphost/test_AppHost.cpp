// Loading and unloading the library inside host processes: the application log beside
// the host's executable, batch-mode messages, and unloading at dlclose and at exit.
// Each test copies a host program into a directory of its own and runs it there.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "LorvaniSim.h"

#include <chrono>
#include <filesystem>
#include <fstream>
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

class HostDir {
 public:
  HostDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    fPath = fs::temp_directory_path() /
            ("zvapphost_" + std::string(info->name()) + "_" + std::to_string(::getpid()) + "_" +
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

  // Run in two steps, for a test that acts on the program while it runs.
  pid_t Start(const char* aProgram, const std::string& aName, const std::vector<std::string>& aArguments) {
    const fs::path exe = fPath / aName;
    fs::copy_file(aProgram, exe, fs::copy_options::overwrite_existing);
    const fs::path outFile = fPath / (aName + ".stdout"), errFile = fPath / (aName + ".stderr");
    std::vector<std::string> args{exe.string()};
    args.insert(args.end(), aArguments.begin(), aArguments.end());
    const pid_t pid = fork();
    if (pid == 0) {
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
    return pid;
  }

  Outcome Finish(pid_t aPid, const std::string& aName, int aSeconds) {
    const fs::path outFile = fPath / (aName + ".stdout"), errFile = fPath / (aName + ".stderr");
    Outcome outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
    while (waitpid(aPid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(aPid, SIGKILL);
        waitpid(aPid, &status, 0);
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

 private:
  fs::path fPath;
  std::optional<std::string> fLogDir;
};

// --- The core linked into the host, loaded by the load/unload owner ---

TEST(StaticHost, BatchModeMessageGoesToTheApplicationLogBesideTheHost) {
  HostDir dir;
  const Outcome run = dir.Run(ZV_STATIC_HOST, "POS", {"/batch", "message=shown in batch"});
  ASSERT_TRUE(run.exited) << run.out << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.Has("application=yes")) << run.out;
  EXPECT_TRUE(run.Has("batch=1")) << run.out;
  EXPECT_TRUE(run.Has("logfile=" + (dir.Path() / "LogFiles" / "POS.log").string())) << run.out;
  EXPECT_TRUE(run.Has("version=[1.01 - 10/11/2021]")) << run.out;
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
  EXPECT_NE(run.err.find("[Information] shown as dialog"), std::string::npos) << run.err;
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
    const char* value;  // "@" stands for a folder of the test's own
    bool besideHost;
  };
  for (const Case& c : {Case{"@", false}, Case{"@/", false}, Case{"", true}}) {
    SCOPED_TRACE(c.value);
    HostDir dir;
    const fs::path logDir = dir.Path() / "logs here";
    const std::string value = c.value;
    dir.SetLogDir(value.empty() ? value : logDir.string() + value.substr(1));
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
  EXPECT_TRUE(run.Has("VERSION.response=Version 1.01 - 10/11/2021")) << run.out;
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

const std::string kBearer = "apphost-bearer";

struct ExitDuringPay {
  Outcome run;
  std::chrono::steady_clock::duration exitTook{};  // from the exit signal to the host's end
  size_t ordersReceived = 0;
};

// The host OPENs a device on the simulator and PAYs on a thread of its own with the
// pre-approval code aCode (a delay fault holds the answer back). Once the simulator has
// the order, the PAY is under way: the host's main thread is told to exit. With
// aLateOpen the host's exit goes on after the library's unloading until the PAY has
// returned, and then calls OPEN once more.
ExitDuringPay ExitWhilePaying(HostDir& aDir, const zvtest::LorvaniSim& aSim, const std::string& aCode,
                              bool aLateOpen) {
  const std::string open = "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>inflight</LogId>"
                           "<Connection><Type>HTTP</Type><URL>" + aSim.BaseUrl() + "</URL></Connection>"
                           "<Parameters><Bearer>" + kBearer + "</Bearer><TlsCaFile>" + aSim.CaFile() +
                           "</TlsCaFile></Parameters></Request>";
  const std::string pay = "pay-then-exit=<Request><Handle>1</Handle><Payment><Action>PAY</Action>"
                          "<Amount>12.50</Amount><Currency>EUR</Currency><Attributes>" + aCode +
                          "</Attributes><StoreCode>S1</StoreCode><TillCode>T2</TillCode>"
                          "<OperatorId>op</OperatorId><Reference>exit</Reference></Payment></Request>";
  std::vector<std::string> arguments{"open=" + open, pay};
  if (aLateOpen) arguments.insert(arguments.begin(), "late-open=" + open);
  const pid_t pid = aDir.Start(ZV_DL_HOST, "ECR", arguments);
  ExitDuringPay result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((result.ordersReceived = aSim.Requests().size()) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto signalled = std::chrono::steady_clock::now();
  kill(pid, SIGUSR1);
  result.run = aDir.Finish(pid, "ECR", 60);
  result.exitTook = std::chrono::steady_clock::now() - signalled;
  return result;
}

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
TEST(DlHost, ExitingDuringAPaymentThatOutlastsTheWaitLeavesTheCallWhatItUses) {
  zvtest::LorvaniSim sim({"--token", kBearer});
  HostDir dir;
  const ExitDuringPay exit = ExitWhilePaying(dir, sim, "FAULT-DELAY-6", true);
  ASSERT_EQ(exit.ordersReceived, 1u) << exit.run.out << exit.run.err;
  ASSERT_TRUE(exit.run.exited) << "the host did not end: " << exit.run.out << exit.run.err;
  EXPECT_EQ(exit.run.status, 0) << exit.run.err;
  EXPECT_TRUE(exit.run.Has("exit=yes")) << exit.run.out;
  const size_t paid = exit.run.out.find("PAY.result=0\n"), late = exit.run.out.find("late=yes\n");
  ASSERT_NE(paid, std::string::npos) << exit.run.out;
  EXPECT_LT(paid, late) << exit.run.out;
  ExpectLateOpenRefused(exit.run);
}

// The provider answers long after the host has ended: the exit does not wait for it.
TEST(DlHost, ExitingDuringAPaymentEndsPromptly) {
  zvtest::LorvaniSim sim({"--token", kBearer});
  HostDir dir;
  const ExitDuringPay exit = ExitWhilePaying(dir, sim, "FAULT-DELAY-120", false);
  ASSERT_EQ(exit.ordersReceived, 1u) << exit.run.out << exit.run.err;
  ASSERT_TRUE(exit.run.exited) << "the host did not end: " << exit.run.out << exit.run.err;
  EXPECT_EQ(exit.run.status, 0) << exit.run.err;
  EXPECT_EQ(exit.run.out.find("PAY.result="), std::string::npos) << "the payment was not under way: " << exit.run.out;
  EXPECT_LT(exit.exitTook, std::chrono::seconds(40));
}

// The provider answers within the wait: the PAY returns its result and then the device
// closes as on any exit, with its STOP banner last.
TEST(DlHost, ExitingDuringAPaymentThatEndsWithinTheWaitLetsItFinishAndClosesTheDevice) {
  zvtest::LorvaniSim sim({"--token", kBearer});
  HostDir dir;
  const ExitDuringPay exit = ExitWhilePaying(dir, sim, "FAULT-DELAY-1", true);
  ASSERT_EQ(exit.ordersReceived, 1u) << exit.run.out << exit.run.err;
  ASSERT_TRUE(exit.run.exited) << "the host did not end: " << exit.run.out << exit.run.err;
  EXPECT_EQ(exit.run.status, 0) << exit.run.err;
  EXPECT_TRUE(exit.run.Has("PAY.result=0")) << exit.run.out;
  const auto logs = DeviceLogs(dir.Path());
  ASSERT_EQ(logs.size(), 1u);
  ExpectClosedDeviceLog(logs[0].string());
  ExpectLateOpenRefused(exit.run);
}

}  // namespace
