// Plays serial devices for the Windows tests under Wine, which cannot make a
// pseudo-terminal themselves: pairs whose slave side is linked as RUN/comN (the path
// that Wine's registry names for COMn), whose master side the test drives through
// this program over a loopback TCP connection.
//   zv-pty-broker PORT RUN-FOLDER
// It connects to 127.0.0.1:PORT and answers one request line at a time:
//   ADD n [SETUP]    a pair, its slave linked as comN and set up as the kernel sets up a
//                    terminal (SETUP "defaults", the default) or raw with VMIN 3 ("raw-vmin3")
//   LINK n PATH      comN as a link to any path (PATH runs to the end of the line)
//   SEND n COUNT     COUNT bytes follow; the device sends them
//   RECEIVE n MS     what the device received, read until MS ms of silence
//   HANGUP n         closes the master: the port's reads and writes fail from now on
//   UNREAD n         how many bytes the device sent wait unread in the port's input queue
//   SETTINGS n       the slave's settings: the fields of zvtest::TerminalSettings in order
//   FLOW n SW START HW  sets (1) or clears (0) software flow control (with its start
//                    character) and hardware flow control
//   BYE              removes the links, closes the pairs and ends (answered when done)
// Each answer is "OK" (with "OK COUNT" the bytes follow) or "ERROR reason". When the
// connection closes it does the same as BYE, so it never outlives the test.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <system_error>

#include "TermiosSettings.h"

namespace {

namespace fs = std::filesystem;

struct Device {
  int master = -1;
  int slave = -1;  // kept open, so the master sees no hang-up when the driver closes the port
};

class Broker {
 public:
  Broker(int aSocket, fs::path aRun) : fSocket(aSocket), fRun(std::move(aRun)) {}
  ~Broker() { Close(); }

  void Close() {
    for (const auto& [number, target] : fLinks) {
      // Only a link that is still ours: a later holder of the number may have replaced it.
      std::error_code error;
      if (fs::read_symlink(LinkPath(number), error) == target) fs::remove(LinkPath(number), error);
    }
    for (auto& [number, device] : fDevices) {
      if (device.master >= 0) close(device.master);
      close(device.slave);
    }
    fLinks.clear();
    fDevices.clear();
  }

  // Serves requests until the connection closes.
  void Run() {
    std::string line;
    while (ReadLine(line)) {
      std::istringstream words(line);
      std::string verb;
      int number = -1;
      words >> verb >> number;
      if (verb == "BYE") {
        Close();
        WriteAll("OK\n");
        return;
      }
      std::string answer;
      fPayload.clear();
      try {
        answer = Handle(verb, number, words);
      } catch (const std::exception& e) {
        answer = std::string("ERROR ") + e.what();
        fPayload.clear();
      }
      if (!WriteAll(answer + "\n" + fPayload)) return;
    }
  }

 private:
  std::string Handle(const std::string& aVerb, int aNumber, std::istringstream& aRest) {
    if (aNumber < 0) throw std::runtime_error("no port number");
    if (aVerb == "ADD") {
      std::string setup = "defaults";
      aRest >> setup;
      if (setup != "defaults" && setup != "raw-vmin3") throw std::runtime_error("unknown setup " + setup);
      Device device;
      char name[256] = {};
      if (zvtest::OpenPair(setup == "defaults" ? zvtest::PortSetup::KernelDefaults
                                               : zvtest::PortSetup::RawWaitingForThree,
                           device.master, device.slave, name) != 0)
        throw std::runtime_error("openpty failed");
      fcntl(device.master, F_SETFD, FD_CLOEXEC);
      fcntl(device.slave, F_SETFD, FD_CLOEXEC);
      Drop(aNumber);
      fDevices[aNumber] = device;
      Link(aNumber, name);
      return "OK";
    }
    if (aVerb == "LINK") {
      std::string target;
      std::getline(aRest >> std::ws, target);
      Link(aNumber, target);
      return "OK";
    }
    Device& device = Find(aNumber);
    if (aVerb == "SEND") {
      size_t count = 0;
      aRest >> count;
      std::string bytes;
      if (!ReadBytes(count, bytes)) throw std::runtime_error("connection closed");
      if (device.master < 0) throw std::runtime_error("hung up");
      for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(device.master, bytes.data() + done, bytes.size() - done);
        if (n <= 0) throw std::runtime_error("write failed");
        done += static_cast<size_t>(n);
      }
      return "OK";
    }
    if (aVerb == "RECEIVE") {
      int waitMs = 300;
      aRest >> waitMs;
      std::string bytes;
      pollfd poller{device.master, POLLIN, 0};
      while (device.master >= 0 && poll(&poller, 1, waitMs) > 0) {
        char buffer[256];
        const ssize_t n = read(device.master, buffer, sizeof buffer);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
      }
      fPayload = bytes;
      return "OK " + std::to_string(bytes.size());
    }
    if (aVerb == "UNREAD") {
      int count = 0;
      if (ioctl(device.slave, FIONREAD, &count) != 0) throw std::runtime_error("FIONREAD failed");
      return "OK " + std::to_string(count);
    }
    if (aVerb == "HANGUP") {
      if (device.master >= 0) close(device.master);
      device.master = -1;
      return "OK";
    }
    termios settings{};
    if (tcgetattr(device.slave, &settings) != 0) throw std::runtime_error("tcgetattr failed");
    if (aVerb == "SETTINGS") {
      // The fields of TerminalSettings in their order.
      const zvtest::TerminalSettings shown = zvtest::SettingsOf(settings);
      std::ostringstream out;
      out << "OK " << shown.Baud << ' ' << shown.TwoStopBits << ' ' << shown.XonOutput << ' ' << shown.XonInput << ' '
          << shown.RtsCts << ' '
          << static_cast<unsigned>(shown.StartChar) << ' ' << static_cast<unsigned>(shown.MinCount) << ' '
          << shown.InputFlags << ' ' << shown.OutputFlags << ' ' << shown.LocalFlags << ' ' << shown.ControlFlags << ' '
          << static_cast<unsigned>(shown.TimeCount);
      return out.str();
    }
    if (aVerb == "FLOW") {
      int software = 0, hardware = 0;
      unsigned start = 0;
      aRest >> software >> start >> hardware;
      zvtest::SetFlowControl(settings, software != 0, static_cast<uint8_t>(start), hardware != 0);
      if (tcsetattr(device.slave, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
      return "OK";
    }
    throw std::runtime_error("unknown request " + aVerb);
  }

  fs::path LinkPath(int aNumber) const { return fRun / ("com" + std::to_string(aNumber)); }

  // Replaces the link in one step: Wine follows it when the port is opened.
  void Link(int aNumber, const fs::path& aTarget) {
    const fs::path link = LinkPath(aNumber);
    const fs::path fresh = fRun / (".com" + std::to_string(aNumber) + "." + std::to_string(getpid()));
    std::error_code error;
    fs::remove(fresh, error);
    fs::create_symlink(aTarget, fresh);
    fs::rename(fresh, link);
    fLinks[aNumber] = aTarget;
  }

  void Drop(int aNumber) {
    const auto found = fDevices.find(aNumber);
    if (found == fDevices.end()) return;
    if (found->second.master >= 0) close(found->second.master);
    close(found->second.slave);
    fDevices.erase(found);
  }

  Device& Find(int aNumber) {
    const auto found = fDevices.find(aNumber);
    if (found == fDevices.end()) throw std::runtime_error("no device com" + std::to_string(aNumber));
    return found->second;
  }

  bool Fill() {
    char buffer[4096];
    const ssize_t n = recv(fSocket, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    fInput.append(buffer, static_cast<size_t>(n));
    return true;
  }

  bool ReadLine(std::string& aLine) {
    size_t end;
    while ((end = fInput.find('\n')) == std::string::npos)
      if (!Fill()) return false;
    aLine = fInput.substr(0, end);
    fInput.erase(0, end + 1);
    return true;
  }

  bool ReadBytes(size_t aCount, std::string& aBytes) {
    while (fInput.size() < aCount)
      if (!Fill()) return false;
    aBytes = fInput.substr(0, aCount);
    fInput.erase(0, aCount);
    return true;
  }

  bool WriteAll(const std::string& aBytes) const {
    for (size_t done = 0; done < aBytes.size();) {
      const ssize_t n = send(fSocket, aBytes.data() + done, aBytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  int fSocket;
  fs::path fRun;
  std::string fInput;
  std::string fPayload;  // bytes that follow the answer line
  std::map<int, Device> fDevices;
  std::map<int, fs::path> fLinks;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zv-pty-broker PORT RUN-FOLDER\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // The test's script stops what is left of a broker by this record.
  const fs::path run = argv[2];
  const fs::path record = run / "brokers" / std::to_string(getpid());
  std::error_code error;
  fs::create_directories(record.parent_path(), error);
  if (FILE* file = std::fopen(record.c_str(), "w")) std::fclose(file);

  const int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int status = 1;
  if (connection >= 0 && connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    {
      Broker broker(connection, run);
      broker.Run();
    }
    status = 0;
  }
  if (connection >= 0) close(connection);
  fs::remove(record, error);
  return status;
}
