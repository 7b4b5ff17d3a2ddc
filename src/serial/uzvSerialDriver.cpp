#include "serial/uzvSerialDriver.h"

#include "platform/SerialPort.h"

namespace zv {

namespace {

// Milliseconds allowed between two bytes of one read, after the first.
constexpr uint32_t kInterByteTimeout = 100;

Text Number(uint32_t aValue) { return IntToText(aValue); }

}  // namespace

TComPort::TComPort(uint32_t ncom) : fComNumber(ncom), fComHandle(std::make_unique<platform::SerialPort>()) {}

TComPort::TComPort(uint32_t ncom, uint32_t baud) : TComPort(ncom) { fBaudRate = baud; }

TComPort::TComPort(uint32_t ncom, uint32_t baud, uint8_t data, TStopBits stop, TParity parity) : TComPort(ncom) {
  fBaudRate = baud;
  fDataBits = data;
  fStopBits = stop;
  fParity = parity;
}

TComPort::~TComPort() {
  if (fIsOpen) Close();
}

void TComPort::Open() {
  if (const uint32_t error = fComHandle->Open(fComNumber); error != 0) RaiseOpenError(error);
  try {
    SetLineParameters(fBaudRate, fDataBits, fStopBits, fParity);
  } catch (...) {
    // The port was never usable: release it (and its exclusive hold) at once.
    fComHandle->Close();
    fIsOpen = false;
    throw;
  }
  fIsOpen = true;
  fCurrentComTimeout = kNoTimeout;
}

void TComPort::RaiseOpenError(uint32_t aCode) {
  if (aCode == platform::kSerialNotFound)
    throw TComPortException(Text(u"COM").append(Number(fComNumber)).append(u" is not a valid COM port."));
  throw TComPortException(
      Text(u"Cannot open COM").append(Number(fComNumber)).append(u" (error #").append(Number(aCode)).append(u")."));
}

void TComPort::Close() {
  if (fIsOpen) {
    // Every write has left the port before it returned: purging the output as well would
    // drop only what a pseudo-terminal's other side has not read yet.
    fComHandle->PurgeInput();
    fComHandle->Close();
  }
  fIsOpen = false;
}

void TComPort::SetLineParameters(uint32_t baud, uint8_t data, TStopBits stop, TParity pty) {
  const platform::SerialLine line{baud, data, static_cast<uint8_t>(stop), static_cast<uint8_t>(pty)};
  switch (fComHandle->ApplyLine(line)) {
    case platform::SerialLineResult::ReadFailed: throw TComPortException(u"GetCommState failed!");
    case platform::SerialLineResult::WriteFailed: throw TComPortException(u"SetCommState failed!");
    case platform::SerialLineResult::Ok: break;
  }
  fBaudRate = baud;
  fDataBits = data;
  fStopBits = stop;
  fParity = pty;
}

int32_t TComPort::Read(void* buffer, uint32_t nbytes, uint32_t timeout, uint32_t& ErrorCode) {
  if (!fIsOpen) throw TComPortException(u"Cannot read because COM port is not open.");
  // The value that marks "none written yet" is also the longest finite time-out: asked
  // for, it is written all the same, so that a fresh port does not read without a bound.
  if (timeout > 0 && (timeout != fCurrentComTimeout || timeout == kNoTimeout)) {
    SetReadTimeout(timeout);
    fCurrentComTimeout = timeout;
  }
  uint32_t flags = 0;
  const int32_t count = fComHandle->Read(buffer, nbytes, flags);
  if (count < 0) {
    ErrorCode = flags;
    return -1;
  }
  return count;
}

void TComPort::SetReadTimeout(uint32_t timeout) {
  if (!fComHandle->IsOpen()) throw TComPortException(u"GetCommTimeouts failed.");
  if (!fComHandle->SetReadTimeouts(timeout, kInterByteTimeout)) throw TComPortException(u"SetCommTimeouts failed.");
}

bool TComPort::WriteText(const std::string& S) {
  const auto length = static_cast<int32_t>(S.size());
  return WriteBuffer(S, length) == static_cast<uint32_t>(length);
}

uint32_t TComPort::WriteBuffer(const std::string& S, int32_t count) {
  if (!fIsOpen) throw TComPortException(u"Cannot write because COM port is not open.");
  size_t written = 0;
  if (!fComHandle->Write(S.data(), static_cast<size_t>(count), written))
    throw TComPortException(u"Write to com port failed.");
  return static_cast<uint32_t>(written);
}

int32_t TComPort::GetBytesPending() {
  const int32_t pending = fComHandle->BytesPending();
  return pending < 0 ? 0 : pending;
}

void TComPort::ClearBuffers() {
  if (fIsOpen && !fComHandle->Purge()) throw TComPortException(u"PurgeComm failed!");
}

void TComPort::SetDTR(bool assert) {
  if (!fIsOpen) throw TComPortException(u"SetDTR failed because COM port not open.");
  fComHandle->SetModemLine(platform::SerialModemLine::DTR, assert);
}

void TComPort::SetRTS(bool assert) {
  if (!fIsOpen) throw TComPortException(u"SetRTS failed because COM port not open.");
  fComHandle->SetModemLine(platform::SerialModemLine::RTS, assert);
}

}  // namespace zv
