#include "TransportPeers.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <thread>

#include "TestSocket.h"

extern char** environ;

namespace zvtest {

namespace {

constexpr auto kStartTime = std::chrono::seconds(30);
constexpr auto kStopTime = std::chrono::seconds(10);

std::string ReadWhole(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteWhole(const std::string& aPath, const std::string& aText) {
  std::ofstream out(aPath, std::ios::binary);
  out << aText;
  if (!out) throw std::runtime_error("cannot write " + aPath);
}

// Whether something accepts connections on 127.0.0.1:aPort.
bool Listening(int aPort) {
  const int probe = TcpSocket();
  const bool connected = ConnectLocal(probe, aPort);
  CloseSocket(probe);
  return connected;
}

// A port of 127.0.0.1 that was free a moment ago.
int FreePort() {
  const int s = TcpSocket();
  const int port = BindLocal(s, 0, -1);
  CloseSocket(s);
  return port;
}

// The program's full path, found in PATH.
std::string Program(const std::string& aName) {
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= folders.size();) {
    const size_t end = std::min(folders.find(':', start), folders.size());
    const std::string candidate = folders.substr(start, end - start) + "/" + aName;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  throw std::runtime_error(aName + " is not installed (scripts/install-deps)");
}

}  // namespace

ChildProgram::ChildProgram(const std::vector<std::string>& aArguments, const std::vector<std::string>& aEnvironment,
                           const std::string& aOutputFile)
    : fOutputFile(aOutputFile) {
  std::vector<std::string> arguments = aArguments;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment(aEnvironment);
  for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int output = open(aOutputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (output < 0 || input < 0) throw std::runtime_error("cannot open " + aOutputFile);
  const pid_t parent = getpid();
  fPid = fork();
  if (fPid == 0) {
    // Only calls that are safe between fork and exec in a threaded process; the child
    // ends with the test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() == parent && dup2(input, STDIN_FILENO) >= 0 && dup2(output, STDOUT_FILENO) >= 0 &&
        dup2(output, STDERR_FILENO) >= 0)
      execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(output);
  close(input);
  if (fPid < 0) throw std::runtime_error("cannot start " + aArguments[0]);
}

ChildProgram::~ChildProgram() {
  if (fPid <= 0) return;
  kill(fPid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopTime;
  while (waitpid(fPid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(fPid, SIGKILL);
      waitpid(fPid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string ChildProgram::Output() const { return ReadWhole(fOutputFile); }

bool ChildProgram::Running() {
  if (fPid <= 0) return false;
  if (waitpid(fPid, nullptr, WNOHANG) == 0) return true;
  fPid = -1;
  return false;
}

ScratchFolder::ScratchFolder(const std::string& aPrefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (aPrefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  fPath = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(fPath, ignored);
}

TinyProxy::TinyProxy(const Options& aOptions) {
  // tinyproxy takes no port 0: a free one is picked, and another when it was taken
  // meanwhile.
  for (int attempt = 0; attempt < 5 && !fProgram; ++attempt) {
    fPort = FreePort();
    std::string config =
        "Port " + std::to_string(fPort) + "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\nLogLevel Connect\n";
    if (!aOptions.User.empty()) config += "BasicAuth " + aOptions.User + " " + aOptions.Password + "\n";
    if (aOptions.TunnelsTo443Only) config += "ConnectPort 443\n";
    WriteWhole(fFolder.File("tinyproxy.conf"), config);
    auto program = std::make_unique<ChildProgram>(
        std::vector<std::string>{Program("tinyproxy"), "-d", "-c", fFolder.File("tinyproxy.conf")},
        std::vector<std::string>{}, fFolder.File("tinyproxy.log"));
    const auto deadline = std::chrono::steady_clock::now() + kStartTime;
    while (program->Running() && !Listening(fPort) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (program->Running() && Listening(fPort)) fProgram = std::move(program);
  }
  if (!fProgram) throw std::runtime_error("tinyproxy did not start: " + ReadWhole(fFolder.File("tinyproxy.log")));
}

std::string TinyProxy::HostAndPort() const { return "127.0.0.1:" + std::to_string(fPort); }

std::vector<std::string> TinyProxy::Tunnels() const {
  const std::string log = fProgram->Output();
  static const std::regex kConnect(R"(Request \(file descriptor \d+\): CONNECT (\S+) HTTP/)");
  std::vector<std::string> tunnels;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), kConnect); it != std::sregex_iterator(); ++it)
    tunnels.push_back((*it)[1].str());
  return tunnels;
}

OldTlsServer::OldTlsServer(const std::string& aVersion) {
  const std::string openssl = Program("openssl");
  const std::vector<std::string> lax{"OPENSSL_CONF=" + LaxOpenSslConfig()};
  {
    ChildProgram certificate({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                              fFolder.File("server.key"), "-out", fFolder.File("server.pem"), "-days", "2", "-subj",
                              "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                             lax, fFolder.File("req.log"));
    const auto deadline = std::chrono::steady_clock::now() + kStartTime;
    while (certificate.Running() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // -www keeps it serving after a failed handshake; -msg shows every record that
  // arrives, so that application data (a request) is seen even when it is not HTTP.
  fProgram = std::make_unique<ChildProgram>(
      std::vector<std::string>{openssl, "s_server", "-" + aVersion, "-cert", fFolder.File("server.pem"), "-key",
                               fFolder.File("server.key"), "-accept", "127.0.0.1:0", "-www", "-msg"},
      lax, fFolder.File("s_server.log"));
  static const std::regex kAccept(R"(ACCEPT 127\.0\.0\.1:(\d+))");
  const auto deadline = std::chrono::steady_clock::now() + kStartTime;
  for (;;) {
    std::smatch match;
    const std::string output = fProgram->Output();
    if (std::regex_search(output, match, kAccept)) {
      fPort = std::stoi(match[1].str());
      return;
    }
    if (!fProgram->Running() || std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("openssl s_server did not start: " + output);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string OldTlsServer::BaseUrl() const { return "https://127.0.0.1:" + std::to_string(fPort) + "/v1/instore/"; }

bool OldTlsServer::ApplicationDataReceived() const {
  // -msg prints each incoming record header, its bytes on the next line: content type
  // 0x17 is application data.
  static const std::regex kIncomingData(R"(<<< [^\n]*RecordHeader[^\n]*\n\s+17 )");
  const std::string log = fProgram->Output();
  return std::regex_search(log, kIncomingData);
}

}  // namespace zvtest
