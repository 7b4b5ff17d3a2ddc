#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/SerialReadTimer.h"
#include "platform/posix/SerialTermios.h"

namespace zv::platform {

namespace {

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
  // A Windows port has no line discipline: the port becomes a raw byte pipe. Not every
  // device is a terminal: its line setup then fails.
  if (termios settings{}; tcgetattr(handle, &settings) == 0) {
    MakeRaw(settings);
    if (tcsetattr(handle, TCSANOW, &settings) != 0) {
      const int error = errno;
      close(handle);
      return OpenErrorCode(error);
    }
    // A Windows port starts with an empty input queue; this one holds what came before,
    // as the former line discipline made it (a carriage return turned into a line feed).
    tcflush(handle, TCIFLUSH);
  }
  ioctl(handle, TIOCEXCL);
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
  termios former{};
  if (fHandle < 0 || tcgetattr(fHandle, &former) != 0) return SerialLineResult::ReadFailed;
  termios settings = former;
  if (!SetLine(settings, aLine)) return SerialLineResult::WriteFailed;
  if (tcsetattr(fHandle, TCSANOW, &settings) != 0) {
    const int error = errno;
    termios kept{};
    if (tcgetattr(fHandle, &kept) != 0 || !FailedSetupHolds(error, IsPseudoTerminal(fHandle), settings, kept)) {
      // The device may have taken part of it: the port keeps its former settings.
      tcsetattr(fHandle, TCSANOW, &former);
      return SerialLineResult::WriteFailed;
    }
  }
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
  SerialReadTimer timer(fTotalMs, fIntervalMs);
  uint32_t got = 0;
  auto failed = [&] {
    timer.SleepOutTotal();
    aErrorFlags = kSerialIOError;
    return -1;
  };
  while (got < aCount) {
    const int waitMs = timer.WaitMs();
    pollfd poller{static_cast<int>(fHandle), POLLIN, 0};
    const int ready = poll(&poller, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return failed();
    }
    if (ready == 0) {
      if (waitMs == 0) break;  // a time-out: what arrived so far
      continue;                // one part of a longer wait
    }
    const ssize_t n = read(fHandle, bytes + got, aCount - got);
    if (n > 0) {
      got += static_cast<uint32_t>(n);
      timer.ByteArrived();
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
  // The kernel queues what write takes; a Windows write returns once the bytes are out.
  while (tcdrain(static_cast<int>(fHandle)) != 0)
    if (errno != EINTR) return false;
  return true;
}

int32_t SerialPort::BytesPending() const {
  int pending = 0;
  if (fHandle < 0 || ioctl(fHandle, FIONREAD, &pending) != 0) return -1;
  return pending;
}

bool SerialPort::Purge() { return fHandle >= 0 && tcflush(fHandle, TCIOFLUSH) == 0; }

bool SerialPort::PurgeInput() { return fHandle >= 0 && tcflush(fHandle, TCIFLUSH) == 0; }

void SerialPort::SetModemLine(SerialModemLine aLine, bool aAssert) {
  if (fHandle < 0) return;
  int bits = aLine == SerialModemLine::DTR ? TIOCM_DTR : TIOCM_RTS;
  ioctl(fHandle, aAssert ? TIOCMBIS : TIOCMBIC, &bits);
}

}  // namespace zv::platform
