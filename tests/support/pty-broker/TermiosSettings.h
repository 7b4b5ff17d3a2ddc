#pragma once
// What the fixtures show of a pseudo-terminal's termios: shared by the Linux fixture and
// the broker that plays the devices under Wine.

#include <pty.h>
#include <termios.h>

#include "../PseudoTerminal.h"

namespace zvtest {

inline uint32_t BaudOf(speed_t aSpeed) {
  static constexpr struct {
    speed_t speed;
    uint32_t baud;
  } kSpeeds[] = {{B110, 110},       {B300, 300},       {B600, 600},       {B1200, 1200},    {B2400, 2400},
                 {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},  {B57600, 57600},
                 {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& s : kSpeeds)
    if (s.speed == aSpeed) return s.baud;
  return 0;
}

inline TerminalSettings SettingsOf(const termios& aTermios) {
  TerminalSettings settings;
  settings.Baud = BaudOf(cfgetospeed(&aTermios));
  settings.TwoStopBits = (aTermios.c_cflag & CSTOPB) != 0;
  settings.XonOutput = (aTermios.c_iflag & IXON) != 0;
  settings.XonInput = (aTermios.c_iflag & IXOFF) != 0;
  settings.RtsCts = (aTermios.c_cflag & CRTSCTS) != 0;
  settings.StartChar = aTermios.c_cc[VSTART];
  settings.MinCount = aTermios.c_cc[VMIN];
  settings.InputFlags = aTermios.c_iflag;
  settings.OutputFlags = aTermios.c_oflag;
  settings.LocalFlags = aTermios.c_lflag;
  settings.ControlFlags = aTermios.c_cflag;
  settings.TimeCount = aTermios.c_cc[VTIME];
  return settings;
}

inline void SetFlowControl(termios& aTermios, bool aSoftware, uint8_t aStartChar, bool aHardware) {
  if (aSoftware)
    aTermios.c_iflag |= IXON | IXOFF;
  else
    aTermios.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  aTermios.c_cc[VSTART] = aStartChar;
  if (aHardware)
    aTermios.c_cflag |= CRTSCTS;
  else
    aTermios.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
}

// A fresh pair: the slave as the kernel sets up a terminal, or raw with VMIN 3.
inline int OpenPair(PortSetup aSetup, int& aMaster, int& aSlave, char (&aName)[256]) {
  if (aSetup == PortSetup::KernelDefaults) return openpty(&aMaster, &aSlave, aName, nullptr, nullptr);
  termios raw{};
  cfmakeraw(&raw);
  cfsetispeed(&raw, B9600);
  cfsetospeed(&raw, B9600);
  raw.c_cc[VMIN] = 3;
  return openpty(&aMaster, &aSlave, aName, &raw, nullptr);
}

}  // namespace zvtest
