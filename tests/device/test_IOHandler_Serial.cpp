// The serial I/O handler over a pseudo-terminal that plays the device (under Wine,
// through the COM port that Wine's registry maps to it).

#include <gtest/gtest.h>

#ifndef _WIN32
#include <termios.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PseudoTerminal.h"
#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_Serial.h"
#include "device/uZvDeviceHandler.h"
#include "platform/SerialPort.h"
#include "serial/uzvSerialDriver.h"
#include "test_IOHandler_Support.h"

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;
using zvtest::FakeComPorts;
using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::PseudoTerminal;
using zvtest::T;
using zvtest::U8;

const std::vector<uint8_t> kCrLf = {'\r', '\n'};

kConnection Serial(const std::string& aPort, zvParity aParity = zvParity::None, int32_t aStopBits = 1,
                   int32_t aReadTimeout = 1000) {
  kConnection c;
  c.SetConnectionType(zvConnectionType::Serial);
  c.SetSerialPort(T(aPort));
  c.SetSpeed(9600);
  c.SetDataBits(8);
  c.SetParity(aParity);
  c.SetStopBits(aStopBits);
  c.SetReadTimeOut(aReadTimeout);
  c.SetConnectTimeOut(500);
  return c;
}

std::string FailureOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const kException& e) {
    return U8(e.Message());
  }
  return "<no failure>";
}

int64_t MsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

std::filesystem::path LogFile(const LogDir& aDir) { return aDir.Path() / ("serial_" + zvtest::Today() + ".log"); }

TEST(IOHandlerSerial, ThePortNumberParityAndStopBitsAreCheckedInOrder) {
  const struct {
    std::string port;
    zvParity parity;
    int32_t stop;
    std::string outcome;  // the port number, or the failure
  } cases[] = {
      {"COM3", zvParity::None, 1, "3"},
      {"COM12", zvParity::Even, 2, "12"},
      {"COM1234", zvParity::Odd, 1, "123"},
      {"xyz7", zvParity::None, 1, "7"},
      {"COM", zvParity::None, 1, "'' is not a valid integer value"},
      {"", zvParity::None, 1, "'' is not a valid integer value"},
      {"COMab1", static_cast<zvParity>(9), 0, "'ab1' is not a valid integer value"},
      {"COM1", static_cast<zvParity>(9), 0, "Parity invalid"},
      {"COM1", zvParity::None, 0, "Stop Bits 0 invalid"},
      {"COM1", zvParity::None, 3, "Stop Bits 3 invalid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.port);
    LogDir dir;
    const kConnection connection = Serial(c.port, c.parity, c.stop);
    std::string outcome;
    try {
      kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
      outcome = std::to_string(handler.Port().ComNumber());
      EXPECT_FALSE(handler.Connected());
    } catch (const kException& e) {
      outcome = U8(e.Message());
    }
    EXPECT_EQ(outcome, c.outcome);
    // A handler that could not be made still closes its log.
    EXPECT_EQ(LogLines(LogFile(dir)), (std::vector<std::string>{
                                          "I *************************** START ***************************",
                                          "I *************************** STOP ****************************",
                                      }));
  }
}

// One full exchange: the connect lines, a write and an answer up to its terminator.
TEST(IOHandlerSerial, OneExchangeLogsItsLinesAndLeavesWhatFollowsTheTerminator) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(3);
  LogDir dir;
  {
    const kConnection connection = Serial("COM3", zvParity::Odd, 2, 3000);
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    handler.SetVersion(u"V9");
    ASSERT_TRUE(handler.Connect());
    EXPECT_TRUE(handler.Connected());
    EXPECT_EQ(handler.Port().Port().AppliedLine().Parity, static_cast<uint8_t>(TParity::ptOdd));
    EXPECT_TRUE(handler.Write(u"PING\r"));
    EXPECT_EQ(device.Receive(), "PING\r");
    device.Send("OK\r\nNEXT");
    EXPECT_EQ(U8(handler.ReadUpTo(kCrLf)), "OK\r");
    EXPECT_TRUE(handler.InputBufferContainsData());
    EXPECT_EQ(U8(handler.ReadChars(5)), "\nNEXT");
    EXPECT_FALSE(handler.InputBufferContainsData());
    EXPECT_EQ(FailureOf([&] { handler.ReadAll(); }), "ReadAll Unsupported");
    EXPECT_EQ(U8(handler.DecodeError(5)), "");
    EXPECT_TRUE(handler.Disconnect());
    EXPECT_FALSE(handler.Connected());
  }
  EXPECT_EQ(LogLines(LogFile(dir)), (std::vector<std::string>{
                                        "I *************************** START ***************************",
                                        "I *************************************************************",
                                        "I kIOHandler_Serial",
                                        "I V9",
                                        "I ConnectTimeout=500",
                                        "I ReadTimeout=3000",
                                        "I Serial Driver Version: 1.0",
                                        "I SerialPort=COM3",
                                        "I Speed=9600",
                                        "I Parity=odd",
                                        "I DataBits=8",
                                        "I StopBits=2",
                                        // The control characters stand in the lines raw.
                                        "I Write:PING\r",
                                        "I Waiting for:\r,\n",
                                        "I Read:OK\r",
                                        "I Read:\nNEXT",
                                        "I *************************** STOP ****************************",
                                    }));
}

// The connect lines name the line settings as configured, whatever they are.
struct ConnectCase {
  const char* name;
  zvParity parity;
  int32_t stopBits;
  int32_t dataBits;
  int32_t speed;
  std::vector<std::string> lines;  // from the driver's version on
};

void PrintTo(const ConnectCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class ConnectLines : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectLines, NameTheLineSettings) {
  const ConnectCase& c = GetParam();
  FakeComPorts ports;
  ports.Add(2);
  LogDir dir;
  {
    kConnection connection = Serial("COM2", c.parity, c.stopBits);
    connection.SetDataBits(c.dataBits);
    connection.SetSpeed(c.speed);
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    ASSERT_TRUE(handler.Connect());
  }
  const auto lines = LogLines(LogFile(dir));
  const auto first = std::find(lines.begin(), lines.end(), "I Serial Driver Version: 1.0");
  ASSERT_GE(lines.end() - first, 6);
  EXPECT_EQ(std::vector<std::string>(first + 1, first + 6), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    IOHandlerSerial, ConnectLines,
    ::testing::Values(
        ConnectCase{"NoParityOneStopBit", zvParity::None, 1, 8, 9600,
                    {"I SerialPort=COM2", "I Speed=9600", "I Parity=none", "I DataBits=8", "I StopBits=1"}},
        ConnectCase{"EvenParityOneStopBit", zvParity::Even, 1, 7, 19200,
                    {"I SerialPort=COM2", "I Speed=19200", "I Parity=even", "I DataBits=7", "I StopBits=1"}},
        ConnectCase{"OddParityTwoStopBits", zvParity::Odd, 2, 8, 115200,
                    {"I SerialPort=COM2", "I Speed=115200", "I Parity=odd", "I DataBits=8", "I StopBits=2"}},
        ConnectCase{"EvenParityTwoStopBits", zvParity::Even, 2, 6, 4800,
                    {"I SerialPort=COM2", "I Speed=4800", "I Parity=even", "I DataBits=6", "I StopBits=2"}}),
    [](const ::testing::TestParamInfo<ConnectCase>& aInfo) { return std::string(aInfo.param.name); });

// Each attempt reads one byte under a time-out of its own, 100 ms, so that the read
// time-out and the terminators are looked at between bytes.
TEST(IOHandlerSerial, EachAttemptWaitsAHundredMillisecondsForOneByte) {
  FakeComPorts ports;
  ports.Add(1);
  LogDir dir;
  const kConnection connection = Serial("COM1", zvParity::None, 1, 5000);
  kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
  handler.Connect();
  // Nothing waiting: ReadChars(0) ends after its one attempt.
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(U8(handler.ReadChars(0)), "");
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 4000);
  EXPECT_EQ(handler.Port().CurrentComTimeout(), 100u);
}

TEST(IOHandlerSerial, WaitingForShowsTheTerminatorsInHexWhenHexLogIsOn) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  {
    const kConnection connection = Serial("COM1");
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    handler.SetHexLog(true);
    handler.Connect();
    device.Send("A;");
    EXPECT_EQ(U8(handler.ReadUpTo({';', '|'})), "A;");
  }
  const auto lines = LogLines(LogFile(dir));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "I Waiting for:;,| [3b,7c]"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "I Read:A; [41 3b]"), lines.end());
}

TEST(IOHandlerSerial, BytesAboveAsciiTravelAsTheCodePageBytes) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  const kConnection connection = Serial("COM1");
  kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
  handler.Connect();
  // é and ÿ are one byte each, the euro sign has its own byte, and what the code page
  // lacks (Ā, and each half of a character outside the basic plane) goes as "?".
  EXPECT_TRUE(handler.Write(u"\u00e9\u20ac\u00ff\u0100\U0001F600."));
  EXPECT_EQ(device.Receive(), "\xE9\x80\xFF???.");
  // Received bytes become the characters of the same codes.
  device.Send("\x80\xE9\xFF\n");
  EXPECT_EQ(handler.ReadUpTo({'\n'}), Text(u"\u0080\u00e9\u00ff\n"));
}

TEST(IOHandlerSerial, ReadsEndWithTheReadTimeOutAndReturnWhatArrived) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  {
    const kConnection connection = Serial("COM1", zvParity::None, 1, 600);
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    handler.Connect();

    device.Send("abc");
    Clock::time_point start = Clock::now();
    EXPECT_EQ(U8(handler.ReadChars(5)), "abc");
    EXPECT_GE(MsSince(start), 600);
    EXPECT_LT(MsSince(start), 6000);

    device.Send("par");
    start = Clock::now();
    EXPECT_EQ(U8(handler.ReadUpTo(kCrLf)), "par");
    EXPECT_GE(MsSince(start), 600);
    EXPECT_LT(MsSince(start), 6000);

    // Nothing waiting: ReadChars(0) ends after its first attempt.
    start = Clock::now();
    EXPECT_EQ(U8(handler.ReadChars(0)), "");
    EXPECT_LT(MsSince(start), 590);
  }
  const auto lines = LogLines(LogFile(dir));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E Read Timeout:abc"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E Read Timeout:par"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "I Read:"), lines.end());
}

// A device that keeps sending without a terminator does not hold the caller.
TEST(IOHandlerSerial, AStreamWithoutTerminatorEndsAfterTheReadTimeOut) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  std::atomic<bool> stop{false};
  const kConnection connection = Serial("COM1", zvParity::None, 1, 500);
  kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
  handler.Connect();
  // It sends for at most 20 s, so that a read without bound fails instead of hanging.
  std::thread talker([&] {
    for (const auto start = Clock::now(); !stop && MsSince(start) < 20000;) {
      device.Send("z");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const Clock::time_point start = Clock::now();
  const std::string got = U8(handler.ReadUpTo(kCrLf));
  const int64_t elapsed = MsSince(start);
  stop = true;
  talker.join();
  EXPECT_GE(elapsed, 500);
  EXPECT_LT(elapsed, 10000);
  EXPECT_FALSE(got.empty());
  EXPECT_EQ(got.find_first_not_of('z'), std::string::npos);
  handler.Disconnect();
  const auto lines = LogLines(LogFile(dir));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E Read Timeout:" + got), lines.end());
}

// What was written reaches the device although the port is closed at once after it, by
// Disconnect or with the handler (the device's CLOSE), while the device has read none
// of it yet: a write returns when the bytes have left the port, and the close drops
// unread input only. Forty runs, as the loss it guards against came and went.
struct WriteThenCloseCase {
  const char* name;
  size_t bytes;
};

void PrintTo(const WriteThenCloseCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class WriteThenClose : public ::testing::TestWithParam<WriteThenCloseCase> {};

TEST_P(WriteThenClose, DeliversEveryByteInFortyRuns) {
  const std::string message = zvtest::LongValue(GetParam().bytes - 2) + "\r\n";
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  const kConnection connection = Serial("COM1");
  int delivered = 0;
  for (int run = 0; run < 40; ++run) {
    SCOPED_TRACE(run);
    {
      kIOHandler_Serial handler(&connection, u"", u"");
      ASSERT_TRUE(handler.Connect());
      EXPECT_TRUE(handler.Write(T(message)));
      if (run % 2 == 0) {
        EXPECT_TRUE(handler.Disconnect());
      }
    }
    const std::string received = device.Receive(100);
    if (received == message) ++delivered;
    EXPECT_EQ(received.size(), message.size());
  }
  EXPECT_EQ(delivered, 40);
}

INSTANTIATE_TEST_SUITE_P(IOHandlerSerial, WriteThenClose,
                         ::testing::Values(WriteThenCloseCase{"ALastCommand", 24},
                                           // More than the device side takes in before it reads.
                                           WriteThenCloseCase{"ABlockTheDeviceHasNotTakenIn", 8000}),
                         [](const ::testing::TestParamInfo<WriteThenCloseCase>& aInfo) {
                           return std::string(aInfo.param.name);
                         });

// The fastest of three runs of aRead, in milliseconds: a busy machine only ever makes
// a run slower.
int64_t FastestOfThree(const std::function<void()>& aRead) {
  int64_t fastest = INT64_MAX;
  for (int run = 0; run < 3; ++run) {
    const Clock::time_point start = Clock::now();
    aRead();
    fastest = std::min(fastest, MsSince(start));
  }
  return fastest;
}

// A silent device: the read ends at the end of the first attempt after the read time-out,
// which with 250 ms and attempts of 100 ms is the third, at 300 ms.
TEST(IOHandlerSerial, OnASilentDeviceReadsEndWithTheFirstAttemptPastTheTimeOut) {
  FakeComPorts ports;
  ports.Add(1);
  const kConnection connection = Serial("COM1", zvParity::None, 1, 250);
  kIOHandler_Serial handler(&connection, u"", u"");
  handler.Connect();
  const int64_t upTo = FastestOfThree([&] { EXPECT_EQ(U8(handler.ReadUpTo(kCrLf)), ""); });
  EXPECT_GE(upTo, 250);
  EXPECT_LT(upTo, 350);
  const int64_t chars = FastestOfThree([&] { EXPECT_EQ(U8(handler.ReadChars(4)), ""); });
  EXPECT_GE(chars, 250);
  EXPECT_LT(chars, 350);
}

// Timed out means more than the read time-out has passed. With a read time-out of
// 100 ms, a silent device's first attempt ends at 100 ms, not after it (within that
// millisecond, unless the machine held the read up), and a second attempt follows. Up
// to ten runs, for one that was not held up.
TEST(IOHandlerSerial, AReadTimesOutOnlyOnceMoreThanItsTimeOutHasPassed) {
  FakeComPorts ports;
  ports.Add(1);
  const kConnection connection = Serial("COM1", zvParity::None, 1, 100);
  kIOHandler_Serial handler(&connection, u"", u"");
  handler.Connect();
  bool secondAttempt = false;
  for (int run = 0; run < 10 && !secondAttempt; ++run) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(U8(handler.ReadChars(1)), "");
    secondAttempt = MsSince(start) >= 190;
  }
  EXPECT_TRUE(secondAttempt);
}

// ReadChars stops at exactly the count asked for: asked for none while bytes come, it
// reads them until the read time-out.
TEST(IOHandlerSerial, ReadCharsOfNoneReadsWhatComesUntilTheTimeOut) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  {
    const kConnection connection = Serial("COM1", zvParity::None, 1, 400);
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    handler.Connect();
    device.Send("ab");
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(U8(handler.ReadChars(0)), "ab");
    EXPECT_GE(MsSince(start), 400);
  }
  const auto lines = LogLines(LogFile(dir));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E Read Timeout:ab"), lines.end());
}

#ifndef _WIN32
// The error word of a failed read stays for the rest of ReadUpTo: every pass after it
// logs "Read Error", also those that read a byte. The failure: another program put the
// port's line discipline back into line mode, and the device sent an end of file (^D)
// before its answer, so that one read of the port ends at end of file.
TEST(IOHandlerSerial, ReadUpToLogsTheErrorOfAFailedReadOnEveryPassAfterIt) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  {
    const kConnection connection = Serial("COM1", zvParity::None, 1, 3000);
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    handler.Connect();
    termios lineMode{};
    ASSERT_EQ(tcgetattr(device.Slave(), &lineMode), 0);
    lineMode.c_lflag |= ICANON;
    lineMode.c_cc[VEOF] = 0x04;
    ASSERT_EQ(tcsetattr(device.Slave(), TCSANOW, &lineMode), 0);
    device.Send("\x04OK\n");
    EXPECT_EQ(U8(handler.ReadUpTo({'\n'})), "OK\n");
  }
  const auto lines = LogLines(LogFile(dir));
  const std::string error = "E Read Error:" + std::to_string(platform::kSerialIOError);
  // The failed read, then the three that read O, K and the line feed.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), error), 4);
  const auto read = std::find(lines.begin(), lines.end(), "I Read:OK\n");
  ASSERT_NE(read, lines.end());
  EXPECT_EQ(*(read - 1), error);
}
#endif

TEST(IOHandlerSerial, AFailingReadIsLoggedOnEveryAttempt) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  LogDir dir;
  {
    const kConnection connection = Serial("COM1", zvParity::None, 1, 400);
    kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
    handler.Connect();
    device.CloseMaster();
    EXPECT_EQ(U8(handler.ReadUpTo(kCrLf)), "");
  }
  const auto lines = LogLines(LogFile(dir));
  const auto errors = std::count(lines.begin(), lines.end(), "E Read Error:" + std::to_string(platform::kSerialIOError));
  // One per attempt of 100 ms within the 400 ms.
  EXPECT_GE(errors, 2);
  EXPECT_LE(errors, 10);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "E Read Timeout:"), lines.end());
}

TEST(IOHandlerSerial, APortIsHeldUntilDisconnectAndAClosedOneRefusesTraffic) {
  FakeComPorts ports;
  ports.Add(3);
  LogDir dir;
  const kConnection connection = Serial("COM3");
  kIOHandler_Serial handler(&connection, dir.Dir(), u"serial");
  EXPECT_EQ(FailureOf([&] { handler.Write(u"x"); }), "Cannot write because COM port is not open.");
  EXPECT_EQ(FailureOf([&] { handler.ReadChars(1); }), "Cannot read because COM port is not open.");
  EXPECT_EQ(FailureOf([&] { handler.ReadUpTo(kCrLf); }), "Cannot read because COM port is not open.");
  EXPECT_FALSE(handler.InputBufferContainsData());
  EXPECT_EQ(FailureOf([&] { handler.ClearBuffers(); }), "<no failure>");
  handler.Connect();
  EXPECT_EQ(FailureOf([&] { handler.Connect(); }), "Cannot open COM3 (error #5).");
  EXPECT_TRUE(handler.Disconnect());
  EXPECT_TRUE(handler.Connect());

  // A number that Wine's registry leaves unmapped as well.
  const kConnection missing = Serial("COM98");
  kIOHandler_Serial other(&missing, dir.Dir(), u"serial");
  EXPECT_EQ(FailureOf([&] { other.Connect(); }), "COM98 is not a valid COM port.");
  EXPECT_FALSE(other.Connected());
}

TEST(IOHandlerSerial, TheFactoryMakesASerialHandler) {
  FakeComPorts ports;
  ports.Add(2);
  LogDir dir;
  kDeviceHandler request;
  request.Deserialize(T("<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>S</LogId><Connection><Type>Serial</Type>"
                        "<SerialPort>COM2</SerialPort><Speed>19200</Speed><DataBits>7</DataBits>"
                        "<Parity>Even</Parity><StopBits>2</StopBits></Connection></OPEN>"));
  const auto handler = request.CreateIOHandler(dir.Dir());
  auto* serial = dynamic_cast<kIOHandler_Serial*>(handler.get());
  ASSERT_NE(serial, nullptr);
  ASSERT_TRUE(serial->Connect());
  const platform::SerialLine& applied = serial->Port().Port().AppliedLine();
  EXPECT_EQ(applied.Baud, 19200u);
  EXPECT_EQ(applied.DataBits, 7);
  EXPECT_EQ(applied.Parity, static_cast<uint8_t>(TParity::ptEven));
  EXPECT_EQ(applied.StopBits, static_cast<uint8_t>(TStopBits::sbTwo));
}

}  // namespace
}  // namespace zv
