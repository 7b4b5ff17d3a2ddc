#include "platform/SerialPort.h"

#include "Wide.h"

namespace zv::platform {

namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

HANDLE Port(intptr_t aHandle) { return reinterpret_cast<HANDLE>(aHandle); }

}  // namespace

SerialPort::~SerialPort() { Close(); }

// The device namespace form also reaches ports above 9.
std::string SerialPort::DevicePath(uint32_t aNumber) { return "\\\\.\\COM" + std::to_string(aNumber); }

uint32_t SerialPort::Open(uint32_t aNumber) {
  // Share mode 0: nobody else, this process included, opens the port while we hold it.
  HANDLE handle = CreateFileW(Wide(FromAscii(DevicePath(aNumber))), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_BUFFERING, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? kSerialNotFound : error;
  }
  Close();
  fHandle = reinterpret_cast<intptr_t>(handle);
  fTotalMs = 0;
  fIntervalMs = 0;
  return 0;
}

void SerialPort::Close() {
  if (fHandle < 0) return;
  PurgeComm(Port(fHandle), kPurgeAll);
  CloseHandle(Port(fHandle));
  fHandle = -1;
}

SerialLineResult SerialPort::ApplyLine(const SerialLine& aLine) {
  DCB settings{};
  settings.DCBlength = sizeof settings;
  if (fHandle < 0 || !GetCommState(Port(fHandle), &settings)) return SerialLineResult::ReadFailed;
  settings.BaudRate = aLine.Baud;
  settings.ByteSize = aLine.DataBits;
  // Every other member (flow control, DTR and RTS control, special characters) stays as read.
  if (aLine.StopBits <= 2) settings.StopBits = aLine.StopBits;
  if (aLine.Parity <= 4) settings.Parity = aLine.Parity;
  if (!SetCommState(Port(fHandle), &settings)) return SerialLineResult::WriteFailed;
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
  DWORD got = 0;
  if (ReadFile(Port(fHandle), aBuffer, aCount, &got, nullptr)) return static_cast<int32_t>(got);
  DWORD errors = 0;
  COMSTAT status{};
  ClearCommError(Port(fHandle), &errors, &status);
  aErrorFlags = errors != 0 ? errors : kSerialIOError;
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
  return true;
}

int32_t SerialPort::BytesPending() const {
  DWORD errors = 0;
  COMSTAT status{};
  if (fHandle < 0 || !ClearCommError(Port(fHandle), &errors, &status)) return -1;
  return static_cast<int32_t>(status.cbInQue);
}

bool SerialPort::Purge() { return fHandle >= 0 && PurgeComm(Port(fHandle), kPurgeAll) != 0; }

void SerialPort::SetModemLine(SerialModemLine aLine, bool aAssert) {
  if (fHandle < 0) return;
  const DWORD function = aLine == SerialModemLine::DTR ? (aAssert ? SETDTR : CLRDTR) : (aAssert ? SETRTS : CLRRTS);
  EscapeCommFunction(Port(fHandle), function);
}

}  // namespace zv::platform
