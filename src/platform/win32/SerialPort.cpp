#include "platform/SerialPort.h"

#include "Wide.h"
#include "platform/SerialReadTimer.h"

namespace zv::platform {

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;

HANDLE Port(intptr_t aHandle) { return reinterpret_cast<HANDLE>(aHandle); }

// A failed read flags at least an I/O error, also where the port can no longer say why.
uint32_t ReadErrorFlags(HANDLE aPort) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(aPort, &errors, &status) || errors == 0) return kSerialIOError;
  return errors;
}

}  // namespace

SerialPort::~SerialPort() { Close(); }

// The device namespace form also reaches ports above 9.
std::string SerialPort::DevicePath(uint32_t aNumber) { return "\\\\.\\COM" + std::to_string(aNumber); }

uint32_t SerialPort::Open(uint32_t aNumber) {
  // A named object marks the port as held by one opening of this class in the whole
  // system, this process included: not every serial driver refuses a second opening
  // (Wine's does not). It comes first, so a held port is not even touched.
  SetLastError(ERROR_SUCCESS);
  HANDLE hold = CreateEventW(nullptr, TRUE, FALSE,
                             Wide(FromAscii("Global\\zv-serial-port-COM" + std::to_string(aNumber))));
  if (hold == nullptr) return GetLastError();
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(hold);
    return ERROR_ACCESS_DENIED;
  }
  // Share mode 0: nobody else, this process included, opens the port while we hold it.
  HANDLE handle = CreateFileW(Wide(FromAscii(DevicePath(aNumber))), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr);
  // The system's code as it is: 2 for a port that does not exist, 5 for one held elsewhere.
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    CloseHandle(hold);
    return error;
  }
  // A port's input starts empty, also where the driver kept what came before (Wine's
  // keeps what the terminal's line discipline queued).
  PurgeComm(handle, kPurgeInput);
  Close();
  fHandle = reinterpret_cast<intptr_t>(handle);
  fHold = reinterpret_cast<intptr_t>(hold);
  fTotalMs = 0;
  fIntervalMs = 0;
  return 0;
}

void SerialPort::Close() {
  if (fHandle < 0) return;
  CloseHandle(Port(fHandle));
  fHandle = -1;
  CloseHandle(Port(fHold));
  fHold = -1;
}

SerialLineResult SerialPort::ApplyLine(const SerialLine& aLine) {
  DCB settings{};
  settings.DCBlength = sizeof settings;
  if (fHandle < 0 || !GetCommState(Port(fHandle), &settings)) return SerialLineResult::ReadFailed;
  const DCB former = settings;
  settings.BaudRate = aLine.Baud;
  settings.ByteSize = aLine.DataBits;
  // Every other member (flow control, DTR and RTS control, special characters) stays as read.
  if (aLine.StopBits <= 2) settings.StopBits = aLine.StopBits;
  if (aLine.Parity <= 4) settings.Parity = aLine.Parity;
  if (!SetCommState(Port(fHandle), &settings)) {
    // A driver may have applied part of it (Wine sets the speed before it refuses the
    // character size): the port keeps its former settings.
    DCB restored = former;
    SetCommState(Port(fHandle), &restored);
    return SerialLineResult::WriteFailed;
  }
  fApplied = aLine;
  return SerialLineResult::Ok;
}

bool SerialPort::SetReadTimeouts(uint32_t aTotalMs, uint32_t aIntervalMs) {
  COMMTIMEOUTS timeouts{};
  if (fHandle < 0 || !GetCommTimeouts(Port(fHandle), &timeouts)) return false;
  // The write time-outs keep the values read.
  timeouts.ReadIntervalTimeout = aIntervalMs;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = aTotalMs;
  if (!SetCommTimeouts(Port(fHandle), &timeouts)) return false;
  fTotalMs = aTotalMs;
  fIntervalMs = aIntervalMs;
  return true;
}

int32_t SerialPort::Read(void* aBuffer, uint32_t aCount, uint32_t& aErrorFlags) {
  if (fHandle < 0) {
    aErrorFlags = kSerialIOError;
    return -1;
  }
  const SerialReadTimer timer(fTotalMs, fIntervalMs);
  DWORD got = 0;
  if (ReadFile(Port(fHandle), aBuffer, aCount, &got, nullptr)) {
    // Nothing within the time-outs is no failure, unless the device is gone: a
    // hung-up device reads as silence on some drivers (Wine's), but its state can no
    // longer be read.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (got > 0 || GetCommState(Port(fHandle), &settings)) return static_cast<int32_t>(got);
  } else {
    timer.SleepOutTotal();
  }
  aErrorFlags = ReadErrorFlags(Port(fHandle));
  return -1;
}

bool SerialPort::Write(const char* aBytes, size_t aCount, size_t& aWritten) {
  aWritten = 0;
  if (fHandle < 0) return false;
  while (aWritten < aCount) {
    DWORD n = 0;
    if (!WriteFile(Port(fHandle), aBytes + aWritten, static_cast<DWORD>(aCount - aWritten), &n, nullptr) || n == 0)
      return false;
    aWritten += n;
  }
  // Not every driver's write waits until the bytes are out (Wine's returns once the
  // kernel queued them): the transmit buffer is flushed.
  return FlushFileBuffers(Port(fHandle)) != 0;
}

int32_t SerialPort::BytesPending() const {
  DWORD errors = 0;
  COMSTAT status{};
  if (fHandle < 0 || !ClearCommError(Port(fHandle), &errors, &status)) return -1;
  return static_cast<int32_t>(status.cbInQue);
}

bool SerialPort::Purge() { return fHandle >= 0 && PurgeComm(Port(fHandle), kPurgeAll) != 0; }

bool SerialPort::PurgeInput() { return fHandle >= 0 && PurgeComm(Port(fHandle), kPurgeInput) != 0; }

void SerialPort::SetModemLine(SerialModemLine aLine, bool aAssert) {
  if (fHandle < 0) return;
  const DWORD function = aLine == SerialModemLine::DTR ? (aAssert ? SETDTR : CLRDTR) : (aAssert ? SETRTS : CLRRTS);
  EscapeCommFunction(Port(fHandle), function);
}

}  // namespace zv::platform
