#include "PseudoTerminal.h"

#include "pty-broker/TermiosSettings.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace zvtest {

PseudoTerminal::PseudoTerminal(PortSetup aSetup) {
  char name[256] = {};
  if (OpenPair(aSetup, fMaster, fSlave, name) != 0) throw std::runtime_error("openpty failed");
  fSlavePath = name;
  fcntl(fMaster, F_SETFD, FD_CLOEXEC);
  fcntl(fSlave, F_SETFD, FD_CLOEXEC);
}

PseudoTerminal::~PseudoTerminal() {
  CloseMaster();
  if (fSlave >= 0) close(fSlave);
}

void PseudoTerminal::Send(const std::string& aBytes) const {
  size_t done = 0;
  while (done < aBytes.size()) {
    const ssize_t n = write(fMaster, aBytes.data() + done, aBytes.size() - done);
    if (n <= 0) throw std::runtime_error("pseudo-terminal write failed");
    done += static_cast<size_t>(n);
  }
}

std::string PseudoTerminal::Receive(int aWaitMs) const {
  std::string bytes;
  pollfd poller{fMaster, POLLIN, 0};
  while (poll(&poller, 1, aWaitMs) > 0) {
    char buffer[256];
    const ssize_t n = read(fMaster, buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

void PseudoTerminal::CloseMaster() {
  if (fMaster >= 0) close(fMaster);
  fMaster = -1;
}

int PseudoTerminal::UnreadAtPort() const {
  int count = 0;
  if (ioctl(fSlave, FIONREAD, &count) != 0) throw std::runtime_error("FIONREAD failed");
  return count;
}

TerminalSettings PseudoTerminal::Settings() const {
  termios settings{};
  if (tcgetattr(fSlave, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  return SettingsOf(settings);
}

void PseudoTerminal::SetFlowControl(bool aSoftware, uint8_t aStartChar, bool aHardware) {
  termios settings{};
  if (tcgetattr(fSlave, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  zvtest::SetFlowControl(settings, aSoftware, aStartChar, aHardware);
  if (tcsetattr(fSlave, TCSANOW, &settings) != 0) throw std::runtime_error("tcsetattr failed");
}

FakeComPorts::FakeComPorts() {
  if (const char* former = std::getenv("ZV_DEVICES")) fFormer = former;
  fDir = std::filesystem::temp_directory_path() /
         ("zvcom_" + std::to_string(getpid()) + "_" +
          std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(fDir);
  setenv("ZV_DEVICES", fDir.c_str(), 1);
}

FakeComPorts::~FakeComPorts() {
  if (fFormer)
    setenv("ZV_DEVICES", fFormer->c_str(), 1);
  else
    unsetenv("ZV_DEVICES");
  fPorts.clear();
  std::error_code ignored;
  std::filesystem::remove_all(fDir, ignored);
}

PseudoTerminal& FakeComPorts::Add(uint32_t aNumber, PortSetup aSetup) {
  auto port = std::make_unique<PseudoTerminal>(aSetup);
  Link(aNumber, port->SlavePath());
  return *(fPorts[aNumber] = std::move(port));
}

void FakeComPorts::Link(uint32_t aNumber, const std::filesystem::path& aTarget) {
  std::filesystem::create_symlink(aTarget, fDir / ("com" + std::to_string(aNumber)));
}

}  // namespace zvtest
