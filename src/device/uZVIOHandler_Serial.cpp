#include "device/uZVIOHandler_Serial.h"

#include <chrono>
#include <string>

#include "base/Exception.h"
#include "platform/Regional.h"
#include "serial/uzvSerialDriver.h"

namespace zv {

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

uint32_t PortNumber(const Text& aSerialPort) {
  const Text digits = aSerialPort.size() > 3 ? aSerialPort.substr(3, 3) : Text();
  int32_t value = 0;
  if (!TryTextToInt(digits, value))
    throw kException(Text(u"'").append(QuotedValue(digits)).append(u"' is not a valid integer value"));
  return static_cast<uint32_t>(value);
}

TParity ParityOf(zvParity aParity) {
  switch (aParity) {
    case zvParity::None: return TParity::ptNone;
    case zvParity::Even: return TParity::ptEven;
    case zvParity::Odd: return TParity::ptOdd;
  }
  throw kException(u"Parity invalid");
}

TStopBits StopBitsOf(int32_t aStopBits) {
  if (aStopBits == 1) return TStopBits::sbOne;
  if (aStopBits == 2) return TStopBits::sbTwo;
  throw kException(Text(u"Stop Bits ").append(IntToText(aStopBits)).append(u" invalid"));
}

Text ParityLine(TParity aParity) {
  switch (aParity) {
    case TParity::ptNone: return u"Parity=none";
    case TParity::ptOdd: return u"Parity=odd";
    case TParity::ptEven: return u"Parity=even";
    case TParity::ptMark: return u"Parity=mark";
    case TParity::ptSpace: return u"Parity=space";
  }
  return {};
}

Text StopBitsLine(TStopBits aStopBits) {
  switch (aStopBits) {
    case TStopBits::sbOne: return u"StopBits=1";
    case TStopBits::sbOneHalf: return u"StopBits=1.5";
    case TStopBits::sbTwo: return u"StopBits=2";
  }
  return {};
}

}  // namespace

kIOHandler_Serial::kIOHandler_Serial(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName)
    : kIOHandler(aConnection, aDirectory, aFileName) {
  const kConnection none;
  const kConnection& c = aConnection != nullptr ? *aConnection : none;
  const uint32_t number = PortNumber(c.SerialPort());
  const TParity parity = ParityOf(c.Parity());
  const TStopBits stop = StopBitsOf(c.StopBits());
  fComPort = std::make_unique<TComPort>(number, static_cast<uint32_t>(c.Speed()),
                                        static_cast<uint8_t>(c.DataBits() & 0xFF), stop, parity);
}

kIOHandler_Serial::~kIOHandler_Serial() { fComPort.reset(); }

bool kIOHandler_Serial::Connected() { return fComPort->ComIsOpen(); }

bool kIOHandler_Serial::Connect() {
  kIOHandler::Connect();
  Debug(tZV_MessageType::let_info, Text(u"Serial Driver Version: ").append(fComPort->DriverVersion()));
  Debug(tZV_MessageType::let_info, Text(u"SerialPort=COM").append(IntToText(fComPort->ComNumber())));
  Debug(tZV_MessageType::let_info, Text(u"Speed=").append(IntToText(fComPort->BaudRate())));
  Debug(tZV_MessageType::let_info, ParityLine(fComPort->Parity()));
  Debug(tZV_MessageType::let_info, Text(u"DataBits=").append(IntToText(fComPort->DataBits())));
  Debug(tZV_MessageType::let_info, StopBitsLine(fComPort->StopBits()));
  fComPort->Open();
  return fComPort->ComIsOpen();
}

bool kIOHandler_Serial::Disconnect() {
  fComPort->Close();
  return !fComPort->ComIsOpen();
}

void kIOHandler_Serial::ClearBuffers() { fComPort->ClearBuffers(); }

bool kIOHandler_Serial::Write(const Text& aMessage) {
  WriteLog(tZV_MessageType::let_info, u"Write", aMessage);
  fComPort->WriteText(platform::ToAnsi(aMessage));
  return true;
}

Text kIOHandler_Serial::ReadChars(int32_t aCharsNum) {
  Text result;
  const Clock::time_point start = Clock::now();
  bool timedOut = false;
  uint32_t errorWord = 0;
  for (;;) {
    uint8_t byte = 0;
    if (fComPort->Read(&byte, 1, kAttemptTimeout, errorWord) > 0) result.push_back(static_cast<char16_t>(byte));
    timedOut = MsSince(start) > ReadTimeout();
    if (timedOut || static_cast<int64_t>(result.size()) == aCharsNum) break;
  }
  if (timedOut)
    WriteLog(tZV_MessageType::let_error, u"Read Timeout", result);
  else
    WriteLog(tZV_MessageType::let_info, u"Read", result);
  return result;
}

Text kIOHandler_Serial::ReadUpTo(const std::vector<uint8_t>& aChars) {
  if (HasLog()) {
    Text display;
    Text hex;
    for (uint8_t c : aChars) {
      display.push_back(static_cast<char16_t>(c));
      display.push_back(u',');
      hex.append(TextToHex(Text(1, static_cast<char16_t>(c)))).push_back(u',');
    }
    if (!display.empty()) display.pop_back();
    if (!hex.empty()) hex.pop_back();
    Text line = Text(u"Waiting for:").append(display);
    if (HexLog()) line.append(u" [").append(hex).append(u"]");
    Debug(tZV_MessageType::let_info, line);
  }
  Text result;
  const Clock::time_point start = Clock::now();
  uint32_t errorWord = 0;
  bool found = false;
  bool timedOut = false;
  while (!found && !timedOut) {
    uint8_t byte = 0;
    const int32_t count = fComPort->Read(&byte, 1, kAttemptTimeout, errorWord);
    if (errorWord != 0) WriteLog(tZV_MessageType::let_error, u"Read Error", IntToText(errorWord));
    if (count > 0) {
      result.push_back(static_cast<char16_t>(byte));
      for (uint8_t c : aChars) found = found || c == byte;
      // A device that never stops sending must not hold the caller for ever: past the
      // time-out by more than one attempt, the read ends even while bytes come.
      if (!found) timedOut = MsSince(start) > int64_t{ReadTimeout()} + kAttemptTimeout;
    } else {
      timedOut = MsSince(start) > ReadTimeout();
    }
  }
  if (timedOut)
    WriteLog(tZV_MessageType::let_error, u"Read Timeout", result);
  else
    WriteLog(tZV_MessageType::let_info, u"Read", result);
  return result;
}

Text kIOHandler_Serial::ReadAll() { throw kException(u"ReadAll Unsupported"); }

bool kIOHandler_Serial::InputBufferContainsData() { return fComPort->GetBytesPending() > 0; }

}  // namespace zv
