// The serial devices of the tests under Wine: the pairs live in a Linux broker that
// this fixture starts on its Z: path and drives over a loopback TCP connection (a
// Windows program under Wine can start a Linux program but cannot wait for it or read
// its output).

#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "PseudoTerminal.h"
#include "TestText.h"
#include "UnixProgram.h"

namespace zvtest {

namespace {

std::string Environment(const char* aName) {
  const char* value = std::getenv(aName);
  if (value == nullptr || *value == '\0')
    throw std::runtime_error(
        Concat(std::string(aName), std::string(" is not set: the serial tests run through scripts/test-windows")));
  return value;
}

// Wine shows the Linux file system as drive Z:.
std::string WindowsPathOf(const std::string& aLinuxPath) {
  std::string path = Concat(std::string("Z:"), aLinuxPath);
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string LinuxPathOf(const std::filesystem::path& aWindowsPath) {
  std::string path = aWindowsPath.string();
  if (path.size() < 2 || (path[0] != 'Z' && path[0] != 'z') || path[1] != ':')
    throw std::runtime_error(Concat(std::string("not a path on drive Z: "), path));
  path.erase(0, 2);
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

}  // namespace

// One broker for one fixture, started once the fixture's turn on the COM numbers came.
class PtyBroker {
 public:
  PtyBroker() {
    const std::string program = Environment("ZV_PTY_BROKER");
    fRun = Environment("ZV_SERIAL_RUN");
    // Every test process maps the same numbers: one fixture at a time holds them. A
    // holder that died leaves the turn abandoned, which is as good as released.
    fTurn = CreateMutexW(nullptr, FALSE, L"zvtest-fake-com-ports");
    if (fTurn == nullptr) throw std::runtime_error("cannot make the turn mutex");
    const DWORD waited = WaitForSingleObject(fTurn, 10 * 60 * 1000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      CloseHandle(fTurn);
      throw std::runtime_error("no turn on the COM ports within 10 minutes");
    }
    try {
      Start(program);
    } catch (...) {
      Stop();
      throw;
    }
  }

  ~PtyBroker() { Stop(); }

  PtyBroker(const PtyBroker&) = delete;
  PtyBroker& operator=(const PtyBroker&) = delete;

  // One request and its answer (the text after "OK", or the bytes of "OK COUNT").
  std::string Request(const std::string& aLine, const std::string& aPayload = {}, bool aBytesFollow = false) {
    std::lock_guard guard(fLock);
    SendAll(Concat(aLine, std::string("\n"), aPayload));
    const std::string answer = ReadLine();
    if (answer.rfind("OK", 0) != 0)
      throw std::runtime_error(Concat(std::string("pty broker: "), aLine, std::string(": "), answer));
    const std::string rest = answer.size() > 3 ? answer.substr(3) : std::string();
    return aBytesFollow ? ReadBytes(std::stoul(rest)) : rest;
  }

  // Ends the broker, which removes its links first; the turn is released after that.
  void Stop() {
    if (fConnection != INVALID_SOCKET) {
      try {
        Request("BYE");
      } catch (const std::exception&) {
        // The broker went away already: closing the connection is all that is left.
      }
      closesocket(fConnection);
      fConnection = INVALID_SOCKET;
    }
    if (fListener != INVALID_SOCKET) closesocket(fListener);
    fListener = INVALID_SOCKET;
    if (fStarted) WSACleanup();
    fStarted = false;
    if (fTurn != nullptr) {
      ReleaseMutex(fTurn);
      CloseHandle(fTurn);
    }
    fTurn = nullptr;
  }

  const std::string& Run() const { return fRun; }

 private:
  void Start(const std::string& aProgram) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
    fStarted = true;
    fListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (fListener == INVALID_SOCKET || bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fListener, 1) != 0 || getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen for the pty broker");

    // Wine starts a Linux program given by its Z: path.
    StartUnixProgram(WindowsPathOf(aProgram),
                     Concat(std::to_string(ntohs(address.sin_port)), std::string(" \""), fRun, std::string("\"")));

    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(fListener, &ready);
    timeval wait{30, 0};
    if (select(0, &ready, nullptr, nullptr, &wait) != 1) throw std::runtime_error("the pty broker did not call back");
    fConnection = accept(fListener, nullptr, nullptr);
    if (fConnection == INVALID_SOCKET) throw std::runtime_error("cannot accept the pty broker");
  }

  void SendAll(const std::string& aBytes) {
    for (size_t done = 0; done < aBytes.size();) {
      const int n = send(fConnection, aBytes.data() + done, static_cast<int>(aBytes.size() - done), 0);
      if (n <= 0) throw std::runtime_error("pty broker connection lost");
      done += static_cast<size_t>(n);
    }
  }

  bool Fill() {
    char buffer[4096];
    const int n = recv(fConnection, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    fInput.append(buffer, static_cast<size_t>(n));
    return true;
  }

  std::string ReadLine() {
    size_t end;
    while ((end = fInput.find('\n')) == std::string::npos)
      if (!Fill()) throw std::runtime_error("pty broker connection lost");
    std::string line = fInput.substr(0, end);
    fInput.erase(0, end + 1);
    return line;
  }

  std::string ReadBytes(size_t aCount) {
    while (fInput.size() < aCount)
      if (!Fill()) throw std::runtime_error("pty broker connection lost");
    std::string bytes = fInput.substr(0, aCount);
    fInput.erase(0, aCount);
    return bytes;
  }

  std::string fRun;
  HANDLE fTurn = nullptr;
  bool fStarted = false;
  SOCKET fListener = INVALID_SOCKET;
  SOCKET fConnection = INVALID_SOCKET;
  std::mutex fLock;
  std::string fInput;
};

PseudoTerminal::PseudoTerminal(PtyBroker& aBroker, uint32_t aNumber, PortSetup aSetup)
    : fBroker(aBroker), fNumber(aNumber) {
  fBroker.Request(Concat(std::string("ADD "), std::to_string(fNumber),
                         std::string(aSetup == PortSetup::KernelDefaults ? " defaults" : " raw-vmin3")));
}

PseudoTerminal::~PseudoTerminal() = default;

void PseudoTerminal::Send(const std::string& aBytes) const {
  fBroker.Request(
      Concat(std::string("SEND "), std::to_string(fNumber), std::string(" "), std::to_string(aBytes.size())), aBytes);
}

std::string PseudoTerminal::Receive(int aWaitMs) const {
  return fBroker.Request(
      Concat(std::string("RECEIVE "), std::to_string(fNumber), std::string(" "), std::to_string(aWaitMs)), {}, true);
}

void PseudoTerminal::CloseMaster() { fBroker.Request(Concat(std::string("HANGUP "), std::to_string(fNumber))); }

int PseudoTerminal::UnreadAtPort() const {
  return std::stoi(fBroker.Request(Concat(std::string("UNREAD "), std::to_string(fNumber))));
}

TerminalSettings PseudoTerminal::Settings() const {
  std::istringstream fields(fBroker.Request(Concat(std::string("SETTINGS "), std::to_string(fNumber))));
  TerminalSettings settings;
  unsigned start = 0, min = 0, time = 0;
  fields >> settings.Baud >> settings.TwoStopBits >> settings.XonOutput >> settings.XonInput >> settings.RtsCts >>
      start >> min >>
      settings.InputFlags >> settings.OutputFlags >> settings.LocalFlags >> settings.ControlFlags >> time;
  if (!fields) throw std::runtime_error("pty broker: unreadable settings");
  settings.StartChar = static_cast<uint8_t>(start);
  settings.MinCount = static_cast<uint8_t>(min);
  settings.TimeCount = static_cast<uint8_t>(time);
  return settings;
}

void PseudoTerminal::SetFlowControl(bool aSoftware, uint8_t aStartChar, bool aHardware) {
  fBroker.Request(Concat(std::string("FLOW "), std::to_string(fNumber), std::string(aSoftware ? " 1 " : " 0 "),
                         std::to_string(aStartChar), std::string(aHardware ? " 1" : " 0")));
}

FakeComPorts::FakeComPorts() : fBroker(std::make_unique<PtyBroker>()) {
  fDir = Concat(WindowsPathOf(fBroker->Run()), std::string("\\fixture_"), std::to_string(GetCurrentProcessId()),
                std::string("_"), std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(fDir);
}

FakeComPorts::~FakeComPorts() {
  fPorts.clear();
  fBroker->Stop();
  std::error_code ignored;
  std::filesystem::remove_all(fDir, ignored);
}

PseudoTerminal& FakeComPorts::Add(uint32_t aNumber, PortSetup aSetup) {
  auto port = std::make_unique<PseudoTerminal>(*fBroker, aNumber, aSetup);
  return *(fPorts[aNumber] = std::move(port));
}

void FakeComPorts::Link(uint32_t aNumber, const std::filesystem::path& aTarget) {
  fBroker->Request(Concat(std::string("LINK "), std::to_string(aNumber), std::string(" "), LinuxPathOf(aTarget)));
}

}  // namespace zvtest
