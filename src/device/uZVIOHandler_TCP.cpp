#include "device/uZVIOHandler_TCP.h"

#include <algorithm>
#include <chrono>

#include "base/Exception.h"
#include "platform/Socket.h"

namespace zv {

namespace {

using Clock = std::chrono::steady_clock;

// The peer ended the connection in an orderly way: the normal end of ReadAll.
class kClosedByPeer : public kException {
 public:
  using kException::kException;
};

// Bytes 0x80 to 0xFF of code page 437.
constexpr char16_t kCodePage437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Bytes 0x80 to 0xFF of code page 850.
constexpr char16_t kCodePage850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// Bytes 0x80 to 0xFF of code page 1252.
constexpr char16_t kCodePage1252[128] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6, 0x00A7,
    0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,
    0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,
    0x00C0, 0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7,
    0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD, 0x00CE, 0x00CF,
    0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7,
    0x00D8, 0x00D9, 0x00DA, 0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF,
    0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF,
    0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4, 0x00F5, 0x00F6, 0x00F7,
    0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF,
};

const char16_t* UpperHalf(int32_t aCodePage) {
  switch (aCodePage) {
    case 437: return kCodePage437;
    case 850: return kCodePage850;
    case 1252: return kCodePage1252;
    default: return nullptr;
  }
}

Text ByteText(std::string_view aBytes) {
  Text text;
  text.reserve(aBytes.size());
  for (char c : aBytes) text += static_cast<char16_t>(static_cast<uint8_t>(c));
  return text;
}

int64_t MillisecondsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

}  // namespace

kIOHandler_TCP::kIOHandler_TCP(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName)
    : kIOHandler(aConnection, aDirectory, aFileName), fClient(std::make_unique<platform::TcpClient>()) {
  if (aConnection != nullptr) {
    fHost = aConnection->Address();
    fPort = static_cast<uint16_t>(aConnection->Port() & 0xFFFF);
  }
}

kIOHandler_TCP::~kIOHandler_TCP() { fClient.reset(); }

bool kIOHandler_TCP::Connected() { return fClient->IsOpen() && (!fInput.empty() || !fClient->PeerGone()); }

bool kIOHandler_TCP::Connect() {
  kIOHandler::Connect();
  Debug(tZV_MessageType::let_info, u"Host=" + fHost);
  Debug(tZV_MessageType::let_info, u"Port=" + IntToText(fPort));
  try {
    if (!Connected()) {
      fInput.clear();
      const platform::TcpClient::Result r = fClient->Connect(ToUtf8(fHost), fPort, ConnectTimeout());
      if (r.State == platform::TcpClient::Status::Failed) throw kException(FromUtf8(r.Error));
    }
    const bool connected = Connected();
    if (!connected) WriteLog(tZV_MessageType::let_error, u"Connect Timeout", u"");
    return connected;
  } catch (...) {
    WriteLog(tZV_MessageType::let_error, u"Connect Error", FailureMessage(std::current_exception()));
    return false;
  }
}

bool kIOHandler_TCP::Disconnect() {
  // A connection the peer has ended is released as well.
  fClient->Close();
  fInput.clear();
  return !Connected();
}

void kIOHandler_TCP::ClearBuffers() { fInput.clear(); }

std::string kIOHandler_TCP::Encode(const Text& aText, int32_t aCodePage) {
  const char16_t* upper = nullptr;
  if (aCodePage != 0) {
    upper = UpperHalf(aCodePage);
    if (upper == nullptr) throw kException(u"Code page " + IntToText(aCodePage) + u" is not supported");
  }
  std::string bytes;
  bytes.reserve(aText.size());
  for (char16_t c : aText) {
    if (c < 0x80 || (upper == nullptr && c <= 0xFF)) {
      bytes += static_cast<char>(c);
      continue;
    }
    const char16_t* found = upper == nullptr ? nullptr : std::find(upper, upper + 128, c);
    bytes += found != nullptr && found != upper + 128 ? static_cast<char>(0x80 + (found - upper)) : '?';
  }
  return bytes;
}

bool kIOHandler_TCP::Write(const Text& aMessage) {
  WriteLog(tZV_MessageType::let_info, u"Write", aMessage);
  const std::string bytes = Encode(aMessage, CodePage());
  if (!fClient->IsOpen()) throw kException(kNotConnected);
  const platform::TcpClient::Result r = fClient->Send(bytes);
  if (!r.Ok()) throw kException(FromUtf8(r.Error));
  return true;
}

void kIOHandler_TCP::Receive() {
  if (!fClient->IsOpen()) throw kException(kNotConnected);
  const platform::TcpClient::Result r = fClient->Receive(fInput, 4096, ReadTimeout());
  switch (r.State) {
    case platform::TcpClient::Status::Ok: return;
    case platform::TcpClient::Status::Closed: throw kClosedByPeer(FromUtf8(r.Error));
    default: throw kException(FromUtf8(r.Error));
  }
}

uint8_t kIOHandler_TCP::ReadByte() {
  if (fInput.empty()) Receive();
  const auto byte = static_cast<uint8_t>(fInput.front());
  fInput.erase(0, 1);
  return byte;
}

Text kIOHandler_TCP::ReadChars(int32_t aCharsNum) {
  try {
    const size_t wanted = aCharsNum > 0 ? static_cast<size_t>(aCharsNum) : 0;
    // The bytes stay buffered until all have arrived: a failed read takes none.
    while (fInput.size() < wanted) Receive();
    const Text result = ByteText(std::string_view(fInput).substr(0, wanted));
    fInput.erase(0, wanted);
    const Text logText = HexLog() ? result + u" [" + TextToHex(result) + u"]" : result;
    if (result.size() < wanted)
      WriteLog(tZV_MessageType::let_error, u"Read Timeout", logText);
    else
      WriteLog(tZV_MessageType::let_info, u"Read", logText);
    return result;
  } catch (...) {
    WriteLog(tZV_MessageType::let_error, u"ReadChars Unexpected error", FailureMessage(std::current_exception()));
    return {};
  }
}

Text kIOHandler_TCP::ReadUpTo(const std::vector<uint8_t>& aChars) {
  Text display;
  Text hex;
  for (uint8_t c : aChars) {
    if (!display.empty()) {
      display += u',';
      hex += u',';
    }
    display += static_cast<char16_t>(c);
    hex += TextToHex(Text(1, static_cast<char16_t>(c)));
  }
  Debug(tZV_MessageType::let_info, HexLog() ? u"Waiting for:" + display + u" [" + hex + u"]" : u"Waiting for:" + display);

  Text result;
  const Clock::time_point start = Clock::now();
  try {
    bool found = false;
    bool timedOut = false;
    while (!found && !timedOut) {
      const uint8_t byte = ReadByte();
      result += static_cast<char16_t>(byte);
      timedOut = MillisecondsSince(start) > ReadTimeout();
      found = std::find(aChars.begin(), aChars.end(), byte) != aChars.end();
    }
    if (timedOut)
      WriteLog(tZV_MessageType::let_error, u"Read Timeout", result);
    else
      WriteLog(tZV_MessageType::let_info, u"Read", result);
  } catch (...) {
    WriteLog(tZV_MessageType::let_error, u"ReadUpTo Unexpected error", FailureMessage(std::current_exception()));
  }
  return result;
}

Text kIOHandler_TCP::ReadAll() {
  Text result;
  const Clock::time_point start = Clock::now();
  try {
    do {
      result += static_cast<char16_t>(ReadByte());
    } while (MillisecondsSince(start) <= ReadTimeout());
    WriteLog(tZV_MessageType::let_error, u"Read Timeout", result);
  } catch (const kClosedByPeer&) {
    WriteLog(tZV_MessageType::let_info, u"Read", result);
  } catch (...) {
    WriteLog(tZV_MessageType::let_error, u"ReadAll Unexpected error", FailureMessage(std::current_exception()));
  }
  return result;
}

}  // namespace zv
