#include "PrivateCups.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zvtest {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(10);
constexpr int kStartAttempts = 3;

std::string ReadWhole(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteWhole(const std::string& aPath, const std::string& aText) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out << aText;
  if (!out) throw std::runtime_error("cannot write " + aPath);
}

// A socket listening on a free port of 127.0.0.1.
int ListenOnFreePort(int& aPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("cannot create a socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  aPort = ntohs(address.sin_port);
  return fd;
}

// A port that was free a moment ago; the scheduler binds it itself, and a start that
// loses the port to another program is tried again on another.
int FreePort() {
  int port = 0;
  close(ListenOnFreePort(port));
  return port;
}

bool Accepts(int aPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(aPort));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Starts aArguments[0] with its output in aOutput; it gets SIGTERM when this thread
// ends, so that a crashed test leaves no scheduler behind.
pid_t Spawn(const std::vector<std::string>& aArguments, const std::string& aOutput) {
  std::vector<char*> argv;
  for (const std::string& a : aArguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + aArguments[0]);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int out = open(aOutput.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      close(out);
    }
    const int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, STDIN_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits up to aLimit for aPid to end; its exit status, or -1 when it did not end (it
// is killed then) or ended by a signal.
int WaitForExit(pid_t aPid, std::chrono::milliseconds aLimit) {
  const auto deadline = Clock::now() + aLimit;
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(aPid, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (done == 0) {
    kill(aPid, SIGKILL);
    waitpid(aPid, &status, 0);
    return -1;
  }
  return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Ppd(const CupsQueue& q) {
  std::ostringstream numbers;
  numbers << "[" << q.PaperWidth << " " << q.PaperHeight << "]";
  const std::string size = numbers.str();
  numbers.str("");
  numbers << q.LeftMargin << " " << q.BottomMargin << " " << q.PaperWidth - q.RightMargin << " "
          << q.PaperHeight - q.TopMargin;
  const std::string area = numbers.str();
  const std::string dpi = std::to_string(q.Dpi).append("dpi");
  std::ostringstream ppd;
  ppd << "*PPD-Adobe: \"4.3\"\n*FormatVersion: \"4.3\"\n*FileVersion: \"1.0\"\n*LanguageVersion: English\n"
         "*LanguageEncoding: ISOLatin1\n*PCFileName: \"ZVTEST.PPD\"\n*Manufacturer: \"ZV Test\"\n"
         "*Product: \"(ZV Test Printer)\"\n*ModelName: \"ZV Test Printer\"\n*ShortNickName: \"ZV Test Printer\"\n"
         "*NickName: \"ZV Test Printer\"\n*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n*ColorDevice: True\n"
         "*DefaultColorSpace: RGB\n*FileSystem: False\n*Throughput: \"1\"\n"
         // The device takes PDF as it is: no filter runs between the job and the device.
         "*cupsFilter: \"application/pdf 0 -\"\n"
         "*OpenUI *PageSize/Media Size: PickOne\n*OrderDependency: 10 AnySetup *PageSize\n*DefaultPageSize: ZvPaper\n"
         "*PageSize ZvPaper/Test Paper: \"<</PageSize" << size << ">>setpagedevice\"\n*CloseUI: *PageSize\n"
         "*OpenUI *PageRegion: PickOne\n*OrderDependency: 10 AnySetup *PageRegion\n*DefaultPageRegion: ZvPaper\n"
         "*PageRegion ZvPaper/Test Paper: \"<</PageSize" << size << ">>setpagedevice\"\n*CloseUI: *PageRegion\n"
         "*DefaultImageableArea: ZvPaper\n*ImageableArea ZvPaper/Test Paper: \"" << area << "\"\n"
         "*DefaultPaperDimension: ZvPaper\n*PaperDimension ZvPaper/Test Paper: \"" << q.PaperWidth << " "
      << q.PaperHeight << "\"\n"
         "*OpenUI *Resolution/Resolution: PickOne\n*OrderDependency: 10 AnySetup *Resolution\n"
         "*DefaultResolution: " << dpi << "\n*Resolution " << dpi << "/" << dpi << ": \"<</HWResolution["
      << q.Dpi << " " << q.Dpi << "]>>setpagedevice\"\n*CloseUI: *Resolution\n";
  return ppd.str();
}

void SaveVariable(const char* aName, std::string& aValue, bool& aHad) {
  const char* value = std::getenv(aName);
  aHad = value != nullptr;
  if (aHad) aValue = value;
}

void RestoreVariable(const char* aName, const std::string& aValue, bool aHad) {
  if (aHad)
    setenv(aName, aValue.c_str(), 1);
  else
    unsetenv(aName);
}

}  // namespace

// The device of one queue: accepts the scheduler's connections and keeps the bytes of
// each once the backend has closed it.
class PrivateCups::Listener {
 public:
  Listener() : fSocket(ListenOnFreePort(fPort)), fThread([this] { Run(); }) {}
  ~Listener() {
    fStop = true;
    fThread.join();
    close(fSocket);
  }
  int Port() const { return fPort; }
  std::vector<std::string> Jobs() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fJobs;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(fLock);
    fJobs.clear();
  }

 private:
  void Run() {
    while (!fStop) {
      pollfd p{fSocket, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const int connection = accept4(fSocket, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      std::string bytes;
      char buffer[65536];
      while (!fStop) {
        pollfd c{connection, POLLIN, 0};
        if (poll(&c, 1, 100) <= 0) continue;
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.append(buffer, static_cast<size_t>(got));
      }
      close(connection);
      std::lock_guard<std::mutex> lock(fLock);
      fJobs.push_back(std::move(bytes));
    }
  }

  int fPort = 0;
  int fSocket = -1;
  std::atomic<bool> fStop{false};
  mutable std::mutex fLock;
  std::vector<std::string> fJobs;
  std::thread fThread;
};

PrivateCups::PrivateCups(const std::vector<CupsQueue>& aQueues) {
  SaveVariable("CUPS_SERVER", fSavedServer, fHadServer);
  SaveVariable("CUPS_SERVERROOT", fSavedServerRoot, fHadServerRoot);
  std::string pattern = (std::filesystem::temp_directory_path() / "zvcups-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  fDirectory = pattern;
  try {
    // The scheduler's children (the backend) run as its User and read the spooled
    // files: the path to them must be open to that user.
    chmod(fDirectory.c_str(), 0755);
    for (const char* sub : {"root", "spool", "spool/tmp", "cache", "state", "log"})
      std::filesystem::create_directories(fDirectory + "/" + sub);
    Start();
    for (const CupsQueue& queue : aQueues) {
      fListeners.push_back(std::make_unique<Listener>());
      fNames.push_back(queue.Name);
      AddQueue(queue, *fListeners.back());
    }
  } catch (...) {
    Stop();
    fListeners.clear();
    std::error_code ignored;
    std::filesystem::remove_all(fDirectory, ignored);
    RestoreVariable("CUPS_SERVER", fSavedServer, fHadServer);
    RestoreVariable("CUPS_SERVERROOT", fSavedServerRoot, fHadServerRoot);
    throw;
  }
}

PrivateCups::~PrivateCups() {
  Stop();
  fListeners.clear();
  std::error_code ignored;
  std::filesystem::remove_all(fDirectory, ignored);
  RestoreVariable("CUPS_SERVER", fSavedServer, fHadServer);
  RestoreVariable("CUPS_SERVERROOT", fSavedServerRoot, fHadServerRoot);
  cupsSetServer(nullptr);
}

void PrivateCups::Start() {
  const std::string& d = fDirectory;
  const std::string root = d + "/root";
  for (int attempt = 1;; ++attempt) {
    fPort = FreePort();
    WriteWhole(root + "/cupsd.conf",
               "Listen 127.0.0.1:" + std::to_string(fPort) +
                   "\nServerName 127.0.0.1\nLogLevel debug\nBrowsing No\nBrowseLocalProtocols none\n"
                   "DefaultAuthType None\nWebInterface No\nDefaultShared No\nMaxLogSize 0\n"
                   // Anyone on this machine may do anything: the fixture adds queues without logging in.
                   "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                   "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    // Every folder and file of the scheduler is the fixture's. Backends and filters run
    // as lp (cupsd refuses root for them), as in an installed system.
    WriteWhole(root + "/cups-files.conf",
               "ServerRoot " + root + "\nRequestRoot " + d + "/spool\nTempDir " + d + "/spool/tmp\nCacheDir " + d +
                   "/cache\nStateDir " + d + "/state\nErrorLog " + d + "/log/error_log\nAccessLog " + d +
                   "/log/access_log\nPageLog " + d + "/log/page_log\nPrintcap " + d + "/state/printcap\n" +
                   "ServerKeychain " + d + "/state/ssl\nCreateSelfSignedCerts no\nUser lp\nGroup lp\n"
                   "SystemGroup root\nLogFileGroup root\nFileDevice No\nSandboxing relaxed\n");
    fPid = Spawn({"cupsd", "-f", "-c", root + "/cupsd.conf", "-s", root + "/cups-files.conf"}, d + "/log/cupsd.out");
    const auto deadline = Clock::now() + kStartLimit;
    bool up = false, ended = false;
    while (!up && !ended && Clock::now() < deadline) {
      int status = 0;
      ended = waitpid(fPid, &status, WNOHANG) == fPid;
      up = !ended && Accepts(fPort);
      if (!up && !ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (up) break;
    if (ended) fPid = -1;
    Stop();
    if (attempt == kStartAttempts)
      throw std::runtime_error("the private CUPS scheduler did not start:\n" + ErrorLog() +
                               ReadWhole(d + "/log/cupsd.out"));
  }
  setenv("CUPS_SERVER", Server().c_str(), 1);
  setenv("CUPS_SERVERROOT", root.c_str(), 1);
  // libcups keeps the server it found for the thread: an earlier scheduler of this
  // process is forgotten, so that the next call reads the variable anew.
  cupsSetServer(nullptr);
}

void PrivateCups::Stop() {
  if (fPid <= 0) return;
  kill(fPid, SIGTERM);
  WaitForExit(fPid, kStopLimit);
  fPid = -1;
}

void PrivateCups::AddQueue(const CupsQueue& aQueue, Listener& aListener) {
  std::vector<std::string> arguments{"lpadmin", "-h", Server(), "-p", aQueue.Name, "-E", "-v",
                                     // No SNMP status queries: nothing answers them here.
                                     "socket://127.0.0.1:" + std::to_string(aListener.Port()) + "/?snmp=false"};
  if (!aQueue.Raw) {
    const std::string ppd = fDirectory + "/" + aQueue.Name + ".ppd";
    WriteWhole(ppd, Ppd(aQueue));
    arguments.push_back("-P");
    arguments.push_back(ppd);
  }
  const std::string output = fDirectory + "/log/lpadmin.out";
  if (WaitForExit(Spawn(arguments, output), std::chrono::seconds(30)) != 0 ||
      (aQueue.Default &&
       WaitForExit(Spawn({"lpadmin", "-h", Server(), "-d", aQueue.Name}, output), std::chrono::seconds(30)) != 0))
    throw std::runtime_error("lpadmin could not add the queue " + aQueue.Name + ":\n" + ReadWhole(output) +
                             ErrorLog());
}

std::string PrivateCups::Server() const { return "127.0.0.1:" + std::to_string(fPort); }

const PrivateCups::Listener& PrivateCups::ListenerOf(const std::string& aQueue) const {
  for (size_t i = 0; i < fNames.size(); ++i)
    if (fNames[i] == aQueue) return *fListeners[i];
  throw std::runtime_error("no queue " + aQueue);
}

std::vector<std::string> PrivateCups::Jobs(const std::string& aQueue) const { return ListenerOf(aQueue).Jobs(); }

bool PrivateCups::WaitForJobs(const std::string& aQueue, size_t aCount, std::chrono::milliseconds aLimit) const {
  const Listener& listener = ListenerOf(aQueue);
  const auto deadline = Clock::now() + aLimit;
  while (listener.Jobs().size() < aCount) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<std::string> PrivateCups::JobTitles(const std::string& aQueue) const {
  http_t* http = httpConnect2("127.0.0.1", fPort, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
  if (http == nullptr) throw std::runtime_error("cannot reach the private CUPS scheduler");
  cups_job_t* jobs = nullptr;
  const int count = cupsGetJobs2(http, &jobs, aQueue.c_str(), 0, CUPS_WHICHJOBS_ALL);
  std::vector<std::pair<int, std::string>> found;
  for (int i = 0; i < count; ++i) found.emplace_back(jobs[i].id, jobs[i].title ? jobs[i].title : "");
  cupsFreeJobs(count, jobs);
  httpClose(http);
  std::sort(found.begin(), found.end());
  std::vector<std::string> titles;
  for (auto& [id, title] : found) titles.push_back(std::move(title));
  return titles;
}

void PrivateCups::ClearJobs() {
  for (auto& listener : fListeners) listener->Clear();
}

std::string PrivateCups::ErrorLog() const { return ReadWhole(fDirectory + "/log/error_log"); }

}  // namespace zvtest
