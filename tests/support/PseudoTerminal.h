#pragma once
// Serial devices for tests: pseudo-terminal pairs linked as comN in a temporary folder
// that ZV_DEVICES names while the fixture lives. The test plays the device on the
// master side; the slave side is what the driver opens.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zvtest {

class PseudoTerminal {
 public:
  // A raw pair (no echo, no line editing, no translation), as a serial port is set up.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  int Master() const { return fMaster; }
  int Slave() const { return fSlave; }
  const std::string& SlavePath() const { return fSlavePath; }

  // The device sends bytes.
  void Send(const std::string& aBytes) const;
  // What the device received within aWaitMs (reads until that much silence).
  std::string Receive(int aWaitMs = 300) const;
  // Hangs the device up: the driver's reads fail from now on.
  void CloseMaster();

 private:
  int fMaster = -1;
  int fSlave = -1;
  std::string fSlavePath;
};

class FakeComPorts {
 public:
  // A fresh folder set as ZV_DEVICES; the former value comes back at destruction.
  FakeComPorts();
  ~FakeComPorts();
  FakeComPorts(const FakeComPorts&) = delete;
  FakeComPorts& operator=(const FakeComPorts&) = delete;

  // A device linked as comN.
  PseudoTerminal& Add(uint32_t aNumber);
  // comN as a link to any path (a regular file, say).
  void Link(uint32_t aNumber, const std::filesystem::path& aTarget);
  const std::filesystem::path& Dir() const { return fDir; }

 private:
  std::filesystem::path fDir;
  std::optional<std::string> fFormer;
  std::map<uint32_t, std::unique_ptr<PseudoTerminal>> fPorts;
};

}  // namespace zvtest
