// The TCP I/O handler against scripted peers on 127.0.0.1.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "HttpTestServer.h"
#include "TcpTestPeer.h"
#include "TestSocket.h"
#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_TCP.h"
#include "platform/Socket.h"
#include "test_IOHandler_Support.h"

namespace zv {
namespace {

using namespace std::chrono_literals;
using zvtest::Concat;
using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::TcpTestPeer;
using zvtest::U8;
using End = TcpTestPeer::End;
using Steady = std::chrono::steady_clock;

TcpTestPeer::Script Answer(std::string aBytes, End aFinish, std::string aAwait = {}) {
  return {std::move(aAwait), {{0ms, std::move(aBytes)}}, aFinish};
}

// Bytes sent one at a time with a pause before each.
TcpTestPeer::Script Trickle(const std::string& aBytes, std::chrono::milliseconds aPause) {
  TcpTestPeer::Script script;
  for (char c : aBytes) script.Steps.push_back({aPause, std::string(1, c)});
  return script;
}

// A long run of letters for a peer that trickles: more than a read time-out's worth.
const std::string kLetters = "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int kTableReadTimeout = 1500;  // ms, for the tables of ReadUpTo and ReadAll

int64_t MsSince(Steady::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - aStart).count();
}

class TcpHandlerTest : public testing::Test {
 protected:
  std::unique_ptr<kIOHandler_TCP> MakeHandler(int aPort, int aReadTimeout = 3000, int aConnectTimeout = 2000,
                                              const Text& aAddress = u"127.0.0.1") {
    kConnection connection;
    connection.SetConnectionType(zvConnectionType::TCP);
    connection.SetAddress(aAddress);
    connection.SetPort(aPort);
    connection.SetConnectTimeOut(aConnectTimeout);
    connection.SetReadTimeOut(aReadTimeout);
    return std::make_unique<kIOHandler_TCP>(&connection, fDir.Dir(), zvtest::T(fName));
  }
  std::unique_ptr<kIOHandler_TCP> Connected(int aPort, int aReadTimeout = 3000) {
    auto handler = MakeHandler(aPort, aReadTimeout);
    EXPECT_TRUE(handler->Connect());
    return handler;
  }
  std::vector<std::string> Log() const { return LogLines(fDir.Path() / Concat(fName, "_", zvtest::Today(), ".log")); }
  // The log lines after the connect banner and the Host= and Port= lines.
  std::vector<std::string> Traffic() const {
    std::vector<std::string> lines = Log();
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i].starts_with("I Port=")) return {lines.begin() + static_cast<std::ptrdiff_t>(i) + 1, lines.end()};
    return lines;
  }

  LogDir fDir;
  std::string fName = "Tcp";  // the log's base name: one per case of a table
};

// Every line of one exchange: banners, connect lines, the request, the terminators and
// the answer, each with its hex dump (ReadChars dumps its own bracket once more).
TEST_F(TcpHandlerTest, OneFullExchangeAndItsLogLines) {
  TcpTestPeer peer(Answer("OK\r\nAB", End::StayOpen, "PING\r\n"));
  {
    auto handler = MakeHandler(peer.Port(), 3000, 2000);
    handler->SetHexLog(true);
    handler->SetVersion(u"Version 1.2.3");
    ASSERT_TRUE(handler->Connect());
    EXPECT_TRUE(handler->Connected());
    EXPECT_TRUE(handler->Write(u"PING\r\n"));
    EXPECT_EQ(handler->ReadUpTo({0x03, '\n'}), u"OK\r\n");
    EXPECT_EQ(handler->ReadChars(2), u"AB");
    EXPECT_TRUE(handler->Disconnect());
    EXPECT_FALSE(handler->Connected());
  }
  EXPECT_EQ(peer.Received(), "PING\r\n");
  const std::vector<std::string> expected = {
      "I *************************** START ***************************",
      "I " + std::string(61, '*'),
      "I kIOHandler_TCP",
      "I Version 1.2.3",
      "I ConnectTimeout=2000",
      "I ReadTimeout=3000",
      "I Host=127.0.0.1",
      Concat("I Port=", std::to_string(peer.Port())),
      "I Write:PING",
      " [50 49 4e 47 0d 0a]",
      "I Waiting for:\x03,\n [03,0a]",
      "I Read:OK",
      " [4f 4b 0d 0a]",
      "I Read:AB [41 42] [41 42 20 5b 34 31 20 34 32 5d]",
      "I *************************** STOP ****************************",
  };
  EXPECT_EQ(Log(), expected);
}

TEST_F(TcpHandlerTest, ConnectFailures) {
  {
    auto handler = MakeHandler(zvtest::ClosedPort());
    const auto start = Steady::now();
    EXPECT_FALSE(handler->Connect());
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_FALSE(handler->Connected());
  }
  EXPECT_EQ(Traffic().front(), "E Connect Error:Connection refused");
}

TEST_F(TcpHandlerTest, ConnectGivesUpAfterTheConnectTimeout) {
  zvtest::UnansweredPort port;
  {
    auto handler = MakeHandler(port.Port(), 3000, 400);
    const auto start = Steady::now();
    EXPECT_FALSE(handler->Connect());
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 350);
    EXPECT_LT(elapsed, 4000);
  }
  EXPECT_EQ(Traffic().front(), "E Connect Timeout:");
}

// The resolver alone would wait for the silent name server through its own retries
// (10 s with the system's defaults); the connect time-out bounds the look-up as well.
TEST_F(TcpHandlerTest, TheNameLookUpCountsAgainstTheConnectTimeout) {
  zvtest::SilentNameServer server;
  ASSERT_GT(server.Port(), 0);
  struct SystemNameServer {
    ~SystemNameServer() { platform::UseNameServerForTests({}); }
  } restore;
  if (!platform::UseNameServerForTests(Concat("127.0.0.1:", std::to_string(server.Port()))))
    GTEST_SKIP() << "this system's resolver cannot be pointed at a test's name server";
  {
    auto handler = MakeHandler(80, 3000, 500, u"lookup.zv-unanswered.example");
    const auto start = Steady::now();
    EXPECT_FALSE(handler->Connect());
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 450);
    EXPECT_LT(elapsed, 4000);
    EXPECT_FALSE(handler->Connected());
  }
  EXPECT_TRUE(server.QueryArrived());
  EXPECT_EQ(Traffic().front(), "E Connect Timeout:");
}

// A second Connect logs its lines again but keeps the connection it has.
TEST_F(TcpHandlerTest, ConnectOnAConnectedHandlerKeepsTheConnection) {
  TcpTestPeer peer(Answer("", End::StayOpen));
  auto handler = Connected(peer.Port());
  EXPECT_TRUE(handler->Connect());
  ASSERT_TRUE(peer.WaitForConnections(1));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(peer.ConnectionCount(), 1);
  // Reconnecting after Disconnect makes a new connection.
  EXPECT_TRUE(handler->Disconnect());
  EXPECT_TRUE(handler->Connect());
  EXPECT_TRUE(peer.WaitForConnections(2));
}

// Host and Port come from the connection; the port keeps its low 16 bits.
TEST_F(TcpHandlerTest, HostAndPortFromTheConnection) {
  TcpTestPeer peer(Answer("", End::StayOpen));
  kConnection connection;
  connection.SetAddress(u"127.0.0.1");
  connection.SetPort(0x10000 + peer.Port());
  kIOHandler_TCP handler(&connection, u"", u"");
  EXPECT_EQ(handler.Host(), u"127.0.0.1");
  EXPECT_EQ(handler.Port(), peer.Port());
  EXPECT_TRUE(handler.Connect());
  EXPECT_EQ(handler.DecodeError(10061), u"");
}

// Before the first Connect and after Disconnect there is no connection to use.
TEST_F(TcpHandlerTest, WithoutConnectionReadsAndWritesFailClearly) {
  TcpTestPeer peer(Answer("DATA", End::StayOpen));
  auto fresh = MakeHandler(peer.Port());
  auto closed = Connected(peer.Port());
  ASSERT_TRUE(closed->Disconnect());
  for (kIOHandler_TCP* handler : {fresh.get(), closed.get()}) {
    EXPECT_FALSE(handler->Connected());
    EXPECT_FALSE(handler->InputBufferContainsData());
    handler->ClearBuffers();
    EXPECT_EQ(zvtest::FailureOf([&] { handler->Write(u"x"); }), "Not connected");
    EXPECT_EQ(handler->ReadChars(1), u"");
    EXPECT_EQ(handler->ReadUpTo({'\n'}), u"");
    EXPECT_EQ(handler->ReadAll(), u"");
  }
  fresh.reset();
  closed.reset();
  const std::vector<std::string> lines = Log();
  for (const char* title : {"ReadChars", "ReadUpTo", "ReadAll"})
    EXPECT_EQ(std::count(lines.begin(), lines.end(), Concat("E ", title, " Unexpected error:Not connected")), 2)
        << title;
}

TEST_F(TcpHandlerTest, ReadUpTo) {
  const struct Case {
    const char* name;
    TcpTestPeer::Script script;
    std::vector<uint8_t> terminators;
    Text result;
    std::string logLine;
  } cases[] = {
      {"answer with CR LF", Answer("OK\r\n", End::StayOpen), {'\n'}, u"OK\r\n", "I Read:OK"},
      {"first of two terminators", Answer("AB\x03" "CD\n", End::StayOpen), {'\n', 0x03}, u"AB\x03", "I Read:AB\x03"},
      {"silent peer", Answer("", End::StayOpen), {'\n'}, u"",
       "E ReadUpTo Unexpected error:Read timed out after 1500 ms"},
      {"part, then silence", Answer("AB", End::StayOpen), {'\n'}, u"AB",
       "E ReadUpTo Unexpected error:Read timed out after 1500 ms"},
      {"part, then closed", Answer("AB", End::Close), {'\n'}, u"AB",
       "E ReadUpTo Unexpected error:Connection closed by peer"},
      {"part, then reset", {"", {{0ms, "AB"}, {300ms, ""}}, End::Reset}, {'\n'}, u"AB",
       "E ReadUpTo Unexpected error:Connection reset by peer"},
      {"bytes keep coming past the time-out", Trickle(kLetters, 50ms), {'\n'}, u"",
       "E Read Timeout:"},
      {"terminator arriving after the time-out", {"", {{0ms, "A"}, {900ms, "B"}, {900ms, "\x03"}}, End::StayOpen},
       {0x03}, u"AB\x03", "E Read Timeout:AB\x03"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fName = Concat("Tcp", std::to_string(&c - cases));
    TcpTestPeer peer(c.script);
    Text result;
    int64_t elapsed = 0;
    {
      auto handler = Connected(peer.Port(), kTableReadTimeout);
      const auto start = Steady::now();
      result = handler->ReadUpTo(c.terminators);
      elapsed = MsSince(start);
    }
    EXPECT_LT(elapsed, 8000);
    const std::vector<std::string> lines = Traffic();
    ASSERT_GE(lines.size(), 2u);
    if (c.logLine == "E Read Timeout:") {
      // Whatever arrived within the time-out and the byte that showed it was over.
      EXPECT_GE(result.size(), 3u);
      EXPECT_LT(result.size(), kLetters.size());
      EXPECT_EQ(U8(result), kLetters.substr(0, result.size()));
      EXPECT_EQ(lines[1], Concat(c.logLine, U8(result)));
      EXPECT_GE(elapsed, kTableReadTimeout - 50);
    } else {
      EXPECT_EQ(result, c.result);
      EXPECT_EQ(lines[1], c.logLine);
    }
    if (c.logLine.find("timed out") != std::string::npos) {
      EXPECT_GE(elapsed, kTableReadTimeout - 50);
    }
  }
}

// The peer's orderly close is the normal end of ReadAll; a silent line and a reset
// are failures; bytes that keep coming end at the time-out.
TEST_F(TcpHandlerTest, ReadAll) {
  const struct Case {
    const char* name;
    TcpTestPeer::Script script;
    std::string logLine;  // without the text read
    bool waitsTheTimeout;
  } cases[] = {
      {"answers and closes", Answer("ANSWER\x80\xFF", End::Close), "I Read:", false},
      {"answers and stays open", Answer("ANSWER\x80\xFF", End::StayOpen),
       "E ReadAll Unexpected error:Read timed out after 1500 ms", true},
      {"answers and resets", {"", {{0ms, "ANSWER\x80\xFF"}, {300ms, ""}}, End::Reset},
       "E ReadAll Unexpected error:Connection reset by peer", false},
      {"bytes keep coming past the time-out", Trickle(kLetters, 50ms), "E Read Timeout:", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fName = Concat("Tcp", std::to_string(&c - cases));
    TcpTestPeer peer(c.script);
    Text result;
    int64_t elapsed = 0;
    {
      auto handler = Connected(peer.Port(), kTableReadTimeout);
      const auto start = Steady::now();
      result = handler->ReadAll();
      elapsed = MsSince(start);
    }
    const std::vector<std::string> lines = Traffic();
    ASSERT_GE(lines.size(), 1u);
    if (c.logLine == "E Read Timeout:") {
      EXPECT_GE(result.size(), 3u);
      EXPECT_LT(result.size(), kLetters.size());
      EXPECT_EQ(U8(result), kLetters.substr(0, result.size()));
      EXPECT_EQ(lines[0], Concat(c.logLine, U8(result)));
    } else {
      // One character per byte, above 127 too.
      EXPECT_EQ(result, u"ANSWER\u0080\u00ff");
      EXPECT_EQ(lines[0], c.logLine == "I Read:" ? Concat(c.logLine, U8(result)) : c.logLine);
    }
    if (c.waitsTheTimeout) {
      EXPECT_GE(elapsed, kTableReadTimeout - 50);
      // Bytes that keep coming end the read with the first one past the time-out.
      if (c.logLine == "E Read Timeout:") {
        EXPECT_LT(elapsed, kTableReadTimeout + 300);
      }
    } else {
      EXPECT_LT(elapsed, kTableReadTimeout - 100);
    }
    EXPECT_LT(elapsed, 8000);
  }
}

// ReadChars takes exactly the bytes asked for, across several arrivals; when they do
// not all come in time it takes none of them.
TEST_F(TcpHandlerTest, ReadCharsAcrossArrivalsAndShortOfBytes) {
  TcpTestPeer peer({"", {{0ms, "HEL"}, {200ms, "LO WOR"}, {200ms, "LD"}}, End::StayOpen});
  auto handler = Connected(peer.Port(), 1500);
  EXPECT_EQ(handler->ReadChars(5), u"HELLO");
  EXPECT_EQ(handler->ReadChars(6), u" WORLD");
  EXPECT_EQ(handler->ReadChars(0), u"");

  TcpTestPeer shortPeer(Answer("ABC", End::StayOpen));
  auto shortHandler = Connected(shortPeer.Port(), 500);
  const auto start = Steady::now();
  EXPECT_EQ(shortHandler->ReadChars(5), u"");
  EXPECT_GE(MsSince(start), 450);
  EXPECT_TRUE(shortHandler->InputBufferContainsData());
  EXPECT_EQ(shortHandler->ReadChars(3), u"ABC");
  EXPECT_FALSE(shortHandler->InputBufferContainsData());
  handler.reset();
  shortHandler.reset();

  const std::vector<std::string> lines = Log();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E ReadChars Unexpected error:Read timed out after 500 ms"),
            lines.end());
  for (const char* line : {"I Read:HELLO", "I Read: WORLD", "I Read:", "I Read:ABC"})
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

// The peer ends before all bytes asked for have come: the ones that came stay readable.
TEST_F(TcpHandlerTest, ReadCharsFromAPeerThatClosed) {
  TcpTestPeer peer(Answer("XY", End::Close));
  auto handler = Connected(peer.Port(), 2000);
  EXPECT_EQ(handler->ReadChars(3), u"");
  EXPECT_TRUE(handler->Connected());  // two bytes are still waiting
  EXPECT_EQ(handler->ReadChars(2), u"XY");
  EXPECT_FALSE(handler->Connected());
  handler.reset();
  const std::vector<std::string> lines = Traffic();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "E ReadChars Unexpected error:Connection closed by peer");
  EXPECT_EQ(lines[1], "I Read:XY");
}

// Text goes out one byte per character: 8-bit by default, a code page when one is set.
TEST(TcpHandlerEncoding, CodePages) {
  const struct {
    int32_t codePage;
    Text text;
    std::string bytes;
  } cases[] = {
      {0, u"A\u00e9\u00ff\u0080\u20ac\u2591", "A\xE9\xFF\x80??"},
      {1252, u"A\u00e9\u00ff\u20ac\u0160\u2591", "A\xE9\xFF\x80\x8A?"},
      {850, u"A\u00e9\u00c7\u2591\u00ff\u20ac", "A\x82\x80\xB0\x98?"},
      {437, u"A\u00e9\u03b1\u2591\u00ff\u00c3", "A\x82\xE0\xB0\x98?"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(kIOHandler_TCP::Encode(c.text, c.codePage), c.bytes) << c.codePage;
}

TEST_F(TcpHandlerTest, BytesAbove127BothWays) {
  std::string all;
  for (int b = 0x80; b <= 0xFF; ++b) all += static_cast<char>(b);
  TcpTestPeer peer(Answer(all, End::StayOpen, "\x80"));
  auto handler = Connected(peer.Port());
  handler->SetCodePage(1252);
  EXPECT_TRUE(handler->Write(u"\u00e9\u20ac"));
  ASSERT_TRUE(peer.WaitForReceived(2));
  EXPECT_EQ(peer.Received(), "\xE9\x80");
  // Reads are 8-bit whatever the code page: byte b is the character b.
  const Text read = handler->ReadChars(128);
  ASSERT_EQ(read.size(), 128u);
  for (size_t i = 0; i < read.size(); ++i) EXPECT_EQ(read[i], 0x80 + i);

  // A code page without a table is refused: nothing goes out.
  handler->SetCodePage(1253);
  EXPECT_EQ(zvtest::FailureOf([&] { handler->Write(u"\u03b1"); }), "Code page 1253 is not supported");
  handler->SetCodePage(0);
  EXPECT_TRUE(handler->Write(u"\u03b1"));
  ASSERT_TRUE(peer.WaitForReceived(3));
  EXPECT_EQ(peer.Received(), "\xE9\x80?");
}

// ClearBuffers drops what has already arrived, not what is still on its way.
TEST_F(TcpHandlerTest, ClearBuffersDropsOnlyWhatArrived) {
  TcpTestPeer peer({"", {{0ms, "OLD"}, {400ms, "NEW"}}, End::StayOpen});
  auto handler = Connected(peer.Port());
  EXPECT_EQ(handler->ReadChars(1), u"O");
  EXPECT_TRUE(handler->InputBufferContainsData());
  handler->ClearBuffers();
  EXPECT_FALSE(handler->InputBufferContainsData());
  EXPECT_EQ(handler->ReadChars(3), u"NEW");
}

// What arrived on a connection ends with it: nothing of it is read after Disconnect.
TEST_F(TcpHandlerTest, DisconnectDropsWhatArrived) {
  TcpTestPeer peer(Answer("OLD", End::StayOpen));
  auto handler = Connected(peer.Port());
  EXPECT_EQ(handler->ReadChars(1), u"O");
  ASSERT_TRUE(handler->InputBufferContainsData());
  EXPECT_TRUE(handler->Disconnect());
  EXPECT_FALSE(handler->InputBufferContainsData());
  EXPECT_EQ(handler->ReadChars(2), u"");
}

// A temporary read time-out is in force from the next read on.
TEST_F(TcpHandlerTest, TheReadTimeoutInForceAppliesToTheNextRead) {
  TcpTestPeer peer(Answer("", End::StayOpen));
  auto handler = Connected(peer.Port(), 8000);
  handler->SetTemporaryReadTimeout(300);
  auto start = Steady::now();
  EXPECT_EQ(handler->ReadUpTo({'\n'}), u"");
  EXPECT_LT(MsSince(start), 4000);
  handler->ResetTemporaryReadTimeout();
  handler->SetTemporaryReadTimeout(500);
  start = Steady::now();
  EXPECT_EQ(handler->ReadAll(), u"");
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 450);
  EXPECT_LT(elapsed, 4000);
  handler.reset();
  const std::vector<std::string> lines = Log();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E ReadUpTo Unexpected error:Read timed out after 300 ms"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E ReadAll Unexpected error:Read timed out after 500 ms"),
            lines.end());
}

// A peer that resets: the connection is gone and Write raises instead of killing the
// process with a signal.
TEST_F(TcpHandlerTest, WriteToAPeerThatResetRaises) {
  TcpTestPeer peer(Answer("", End::Reset, "REQ"));
  auto handler = Connected(peer.Port());
  EXPECT_TRUE(handler->Write(u"REQ"));
  ASSERT_TRUE(peer.WaitForFinish());
  // Asking whether the connection is up does not swallow the reset the next read reports.
  const auto end = Steady::now() + 5s;
  while (handler->Connected() && Steady::now() < end) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(handler->Connected());
  EXPECT_EQ(handler->ReadAll(), u"");
  EXPECT_NE(zvtest::FailureOf([&] { handler->Write(u"MORE"); }), "<no failure>");
  // The handler stays usable: a new Connect gets a new connection.
  EXPECT_TRUE(handler->Connect());
  EXPECT_TRUE(peer.WaitForConnections(2));
  handler.reset();
  const std::vector<std::string> lines = Log();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E ReadAll Unexpected error:Connection reset by peer"),
            lines.end());
}

}  // namespace
}  // namespace zv
