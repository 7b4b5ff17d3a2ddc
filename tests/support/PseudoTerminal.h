#pragma once
// Serial devices for tests: pseudo-terminal pairs linked as comN while the fixture lives.
// The test plays the device on the master side; the slave side is what the driver opens.
// On Linux the links stand in a temporary folder that ZV_DEVICES names. Under Wine a
// Linux program (ZV_PTY_BROKER, tests/support/pty-broker) makes the pairs, links them
// in the folder where Wine's registry maps COMn (ZV_SERIAL_RUN), and plays the master
// side for the test over a loopback connection; as those numbers are the same for every
// test process, the fixtures of all of them take turns.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zvtest {

#ifdef _WIN32
class PtyBroker;
#endif

// The slave's settings as the device side sees them (its termios).
struct TerminalSettings {
  uint32_t Baud = 0;
  bool TwoStopBits = false;
  bool XonOutput = false;  // IXON
  bool XonInput = false;   // IXOFF
  bool RtsCts = false;     // CRTSCTS
  uint8_t StartChar = 0;   // VSTART
  uint8_t MinCount = 0;    // VMIN
  uint32_t InputFlags = 0, OutputFlags = 0, LocalFlags = 0;
  uint32_t ControlFlags = 0;
  uint8_t TimeCount = 0;  // VTIME
};

// How the port stands before the driver opens it: as the kernel sets up a fresh
// terminal (a serial port after boot: line editing, echo, translations, signal
// characters, XON/XOFF), or raw as another program may leave it, but with reads that
// wait for three bytes (VMIN 3).
enum class PortSetup { KernelDefaults, RawWaitingForThree };

class PseudoTerminal {
 public:
#ifdef _WIN32
  // A pair made by the broker and linked as comN.
  PseudoTerminal(PtyBroker& aBroker, uint32_t aNumber, PortSetup aSetup);
#else
  explicit PseudoTerminal(PortSetup aSetup);
  int Master() const { return fMaster; }
  int Slave() const { return fSlave; }
  const std::string& SlavePath() const { return fSlavePath; }
#endif
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  // The device sends bytes.
  void Send(const std::string& aBytes) const;
  // What the device received within aWaitMs (reads until that much silence).
  std::string Receive(int aWaitMs = 300) const;
  // Hangs the device up: the driver's reads fail from now on.
  void CloseMaster();
  // How many bytes the device sent wait unread in the port's input queue, as any
  // program that opens the port next would find them.
  int UnreadAtPort() const;
  TerminalSettings Settings() const;
  // Sets or clears XON/XOFF flow control both ways (with this start character) and
  // RTS/CTS flow control, as the port's own configuration.
  void SetFlowControl(bool aSoftware, uint8_t aStartChar, bool aHardware);

 private:
#ifdef _WIN32
  PtyBroker& fBroker;
  uint32_t fNumber;
#else
  int fMaster = -1;
  int fSlave = -1;
  std::string fSlavePath;
#endif
};

class FakeComPorts {
 public:
  // A fresh folder set as ZV_DEVICES; the former value comes back at destruction. Under
  // Wine: waits for its turn and starts a broker; Dir() is a fresh folder of its own.
  FakeComPorts();
  ~FakeComPorts();
  FakeComPorts(const FakeComPorts&) = delete;
  FakeComPorts& operator=(const FakeComPorts&) = delete;

  // A device linked as comN.
  PseudoTerminal& Add(uint32_t aNumber, PortSetup aSetup = PortSetup::KernelDefaults);
  // comN as a link to any path (a regular file, say; under Wine one on drive Z:).
  void Link(uint32_t aNumber, const std::filesystem::path& aTarget);
  const std::filesystem::path& Dir() const { return fDir; }

 private:
#ifdef _WIN32
  std::unique_ptr<PtyBroker> fBroker;
#else
  std::optional<std::string> fFormer;
#endif
  std::filesystem::path fDir;
  std::map<uint32_t, std::unique_ptr<PseudoTerminal>> fPorts;
};

}  // namespace zvtest
