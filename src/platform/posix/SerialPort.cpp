#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace zv::platform {

namespace {

using Clock = std::chrono::steady_clock;

uint32_t OpenErrorCode(int aErrno) {
  switch (aErrno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
      return kSerialNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
      return kSerialAccessDenied;
    default:
      return kSerialGeneralFailure;
  }
}

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

}  // namespace

SerialPort::~SerialPort() { Close(); }

std::string SerialPort::DevicePath(uint32_t aNumber) {
  if (const char* devices = std::getenv("ZV_DEVICES"); devices != nullptr)
    return std::string(devices) + "/com" + std::to_string(aNumber);
  return "/dev/ttyS" + std::to_string(static_cast<int64_t>(aNumber) - 1);
}

uint32_t SerialPort::Open(uint32_t aNumber) {
  // A port already open here stays open and held: this opening then fails like any other.
  const int handle = open(DevicePath(aNumber).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (handle < 0) return OpenErrorCode(errno);
  // TIOCEXCL keeps other openings out, except root's; the lock keeps out everyone who
  // opens through this class, root and this process included.
  if (flock(handle, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(handle);
    return OpenErrorCode(error == EWOULDBLOCK ? EBUSY : error);
  }
  ioctl(handle, TIOCEXCL);  // not every device is a terminal: its setup then fails
  Close();
  fHandle = handle;
  fTotalMs = 0;
  fIntervalMs = 0;
  return 0;
}

void SerialPort::Close() {
  if (fHandle < 0) return;
  ioctl(fHandle, TIOCNXCL);
  close(fHandle);  // also releases the lock
  fHandle = -1;
}

SerialLineResult SerialPort::ApplyLine(const SerialLine& aLine) {
  termios settings{};
  if (fHandle < 0 || tcgetattr(fHandle, &settings) != 0) return SerialLineResult::ReadFailed;
  speed_t speed;
  tcflag_t size;
  if (!SpeedOf(aLine.Baud, speed) || !SizeOf(aLine.DataBits, size)) return SerialLineResult::WriteFailed;
  if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) return SerialLineResult::WriteFailed;
  settings.c_cflag = (settings.c_cflag & ~CSIZE) | size;
  switch (aLine.StopBits) {
    case 0: settings.c_cflag &= ~CSTOPB; break;
    // One and a half stop bits exist only with five data bits, where two give them.
    case 1:
      if (aLine.DataBits != 5) return SerialLineResult::WriteFailed;
      settings.c_cflag |= CSTOPB;
      break;
    case 2:
      if (aLine.DataBits == 5) return SerialLineResult::WriteFailed;
      settings.c_cflag |= CSTOPB;
      break;
    default: break;
  }
  constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
  switch (aLine.Parity) {
    case 0: settings.c_cflag &= ~kParityBits; break;
    case 1: settings.c_cflag = (settings.c_cflag & ~kParityBits) | PARENB | PARODD; break;
    case 2: settings.c_cflag = (settings.c_cflag & ~kParityBits) | PARENB; break;
    case 3: settings.c_cflag = (settings.c_cflag & ~kParityBits) | PARENB | CMSPAR | PARODD; break;
    case 4: settings.c_cflag = (settings.c_cflag & ~kParityBits) | PARENB | CMSPAR; break;
    default: break;
  }
  if (tcsetattr(fHandle, TCSANOW, &settings) != 0) return SerialLineResult::WriteFailed;
  fApplied = aLine;
  return SerialLineResult::Ok;
}

bool SerialPort::SetReadTimeouts(uint32_t aTotalMs, uint32_t aIntervalMs) {
  if (fHandle < 0) return false;
  fTotalMs = aTotalMs;
  fIntervalMs = aIntervalMs;
  return true;
}

int32_t SerialPort::Read(void* aBuffer, uint32_t aCount, uint32_t& aErrorFlags) {
  if (fHandle < 0) {
    aErrorFlags = kSerialIOError;
    return -1;
  }
  auto* bytes = static_cast<char*>(aBuffer);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(fTotalMs);
  Clock::time_point lastByte{};
  uint32_t got = 0;
  auto failed = [&] {
    // A port that fails at once would otherwise be polled in a tight loop.
    if (fTotalMs > 0) std::this_thread::sleep_until(deadline);
    aErrorFlags = kSerialIOError;
    return -1;
  };
  while (got < aCount) {
    int waitMs = -1;
    const Clock::time_point now = Clock::now();
    auto msUntil = [&now](Clock::time_point aWhen) {
      return aWhen <= now ? 0 : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(aWhen - now).count());
    };
    if (fTotalMs > 0) waitMs = msUntil(deadline);
    if (got > 0 && fIntervalMs > 0) {
      const int interval = msUntil(lastByte + std::chrono::milliseconds(fIntervalMs));
      waitMs = waitMs < 0 ? interval : std::min(waitMs, interval);
    }
    pollfd poller{static_cast<int>(fHandle), POLLIN, 0};
    const int ready = poll(&poller, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return failed();
    }
    if (ready == 0) break;  // a time-out: what arrived so far
    const ssize_t n = read(fHandle, bytes + got, aCount - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      lastByte = Clock::now();
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (got > 0) break;
      return failed();
    }
  }
  return static_cast<int32_t>(got);
}

bool SerialPort::Write(const char* aBytes, size_t aCount, size_t& aWritten) {
  aWritten = 0;
  if (fHandle < 0) return false;
  while (aWritten < aCount) {
    const ssize_t n = write(fHandle, aBytes + aWritten, aCount - aWritten);
    if (n > 0) {
      aWritten += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd poller{static_cast<int>(fHandle), POLLOUT, 0};
      if (poll(&poller, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    return false;
  }
  return true;
}

int32_t SerialPort::BytesPending() const {
  int pending = 0;
  if (fHandle < 0 || ioctl(fHandle, FIONREAD, &pending) != 0) return -1;
  return pending;
}

bool SerialPort::Purge() { return fHandle >= 0 && tcflush(fHandle, TCIOFLUSH) == 0; }

void SerialPort::SetModemLine(SerialModemLine aLine, bool aAssert) {
  if (fHandle < 0) return;
  int bits = aLine == SerialModemLine::DTR ? TIOCM_DTR : TIOCM_RTS;
  ioctl(fHandle, aAssert ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace zv::platform
