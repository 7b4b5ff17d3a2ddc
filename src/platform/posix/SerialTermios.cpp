#include "platform/posix/SerialTermios.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <iterator>

namespace zv::platform {

namespace {

bool SpeedOf(uint32_t aBaud, speed_t& aSpeed) {
  static constexpr struct {
    uint32_t Baud;
    speed_t Speed;
  } kSpeeds[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},
                 {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
                 {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
                 {460800, B460800}, {921600, B921600}};
  for (const auto& s : kSpeeds)
    if (s.Baud == aBaud) {
      aSpeed = s.Speed;
      return true;
    }
  return false;
}

bool SizeOf(uint8_t aDataBits, tcflag_t& aSize) {
  switch (aDataBits) {
    case 5: aSize = CS5; return true;
    case 6: aSize = CS6; return true;
    case 7: aSize = CS7; return true;
    case 8: aSize = CS8; return true;
    default: return false;
  }
}

// The parity bits by the parity's number: none, odd, even, mark, space. Mark and space
// are the sticky parities: the parity bit is always 1 (mark) or always 0 (space).
constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};

}  // namespace

void MakeRaw(termios& aSettings) {
  aSettings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                                              IXON | IXOFF | IXANY | IMAXBEL | IUTF8);
  aSettings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  aSettings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
  aSettings.c_cflag |= CREAD | CLOCAL;
  aSettings.c_cc[VMIN] = 1;
  aSettings.c_cc[VTIME] = 0;
}

bool SetLine(termios& aSettings, const SerialLine& aLine) {
  termios settings = aSettings;
  speed_t speed;
  tcflag_t size;
  if (!SpeedOf(aLine.Baud, speed) || !SizeOf(aLine.DataBits, size)) return false;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return false;
  settings.c_cflag = (settings.c_cflag & ~CSIZE) | size;
  switch (aLine.StopBits) {
    case 0: settings.c_cflag &= ~CSTOPB; break;
    // One and a half stop bits exist only with five data bits, where two give them.
    case 1:
      if (aLine.DataBits != 5) return false;
      settings.c_cflag |= CSTOPB;
      break;
    case 2:
      if (aLine.DataBits == 5) return false;
      settings.c_cflag |= CSTOPB;
      break;
    default: break;
  }
  if (aLine.Parity < std::size(kParity)) settings.c_cflag = (settings.c_cflag & ~kParityBits) | kParity[aLine.Parity];
  aSettings = settings;
  return true;
}

bool KeptAllButParityAndSize(const termios& aAsked, const termios& aKept) {
  constexpr tcflag_t kIgnorable = CSIZE | kParityBits;
  return aAsked.c_iflag == aKept.c_iflag && aAsked.c_oflag == aKept.c_oflag && aAsked.c_lflag == aKept.c_lflag &&
         (aAsked.c_cflag & ~kIgnorable) == (aKept.c_cflag & ~kIgnorable) &&
         cfgetispeed(&aAsked) == cfgetispeed(&aKept) && cfgetospeed(&aAsked) == cfgetospeed(&aKept) &&
         aAsked.c_cc[VMIN] == aKept.c_cc[VMIN] && aAsked.c_cc[VTIME] == aKept.c_cc[VTIME];
}

bool IsPseudoTerminal(int aDescriptor) {
  // The device numbers of pseudo-terminal slaves: Unix 98 ones (136 to 143) and the
  // older BSD-style ones (3).
  struct stat status {};
  if (fstat(aDescriptor, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
  const unsigned int kind = major(status.st_rdev);
  return (kind >= 136 && kind <= 143) || kind == 3;
}

bool FailedSetupHolds(int aError, bool aPseudoTerminal, const termios& aAsked, const termios& aKept) {
  return aError == EINVAL && aPseudoTerminal && KeptAllButParityAndSize(aAsked, aKept);
}

}  // namespace zv::platform
