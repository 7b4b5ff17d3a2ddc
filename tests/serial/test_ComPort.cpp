// The COM port driver over pseudo-terminals that play the device (under Wine, through
// the COM ports that Wine's registry maps to them).

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "PseudoTerminal.h"
#include "TestText.h"
#include "platform/SerialPort.h"
#include "platform/SerialReadTimer.h"
#include "serial/uzvSerialDriver.h"

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;
using zvtest::FakeComPorts;
using zvtest::PseudoTerminal;
using zvtest::TerminalSettings;
using zvtest::U8;

std::string FailureOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const TComPortException& e) {
    return U8(e.Message());
  }
  return "<no failure>";
}

// Bytes as hex pairs, so that a failure shows the control characters.
std::string Hex(const std::string& aBytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : aBytes) {
    if (!hex.empty()) hex.push_back(' ');
    hex.push_back(kDigits[static_cast<uint8_t>(c) >> 4]);
    hex.push_back(kDigits[static_cast<uint8_t>(c) & 0xF]);
  }
  return hex;
}

int64_t MsSince(Clock::time_point aStart) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - aStart).count();
}

#ifndef _WIN32
size_t OpenDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Linux alone: Windows names its ports \\.\COMn whatever the environment says.
TEST(ComPort, DevicePathFollowsTheDevicesFolder) {
  {
    FakeComPorts ports;
    EXPECT_EQ(platform::SerialPort::DevicePath(3), (ports.Dir() / "com3").string());
  }
  const char* former = std::getenv("ZV_DEVICES");
  const std::string saved = former ? former : "";
  unsetenv("ZV_DEVICES");
  EXPECT_EQ(platform::SerialPort::DevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(platform::SerialPort::DevicePath(12), "/dev/ttyS11");
  if (former) setenv("ZV_DEVICES", saved.c_str(), 1);
}
#endif

TEST(ComPort, APortThatDoesNotExistIsNoValidPort) {
  FakeComPorts ports;
  ports.Add(1);
  // Numbers that Wine's registry leaves unmapped as well: a mapped one always opens there.
  for (uint32_t number : {0u, 99u, 123u}) {
    TComPort port(number);
    EXPECT_EQ(FailureOf([&] { port.Open(); }),
              zvtest::Concat(std::string("COM"), std::to_string(number), std::string(" is not a valid COM port.")));
    EXPECT_FALSE(port.ComIsOpen());
  }
}

TEST(ComPort, APortIsHeldExclusivelyByOneOpening) {
  FakeComPorts ports;
  ports.Add(4);
  TComPort first(4);
  first.Open();
  ASSERT_TRUE(first.ComIsOpen());

  // In this process.
  TComPort second(4);
  EXPECT_EQ(FailureOf([&] { second.Open(); }), "Cannot open COM4 (error #5).");
  EXPECT_FALSE(second.ComIsOpen());

#ifndef _WIN32
  // In another process (under Wine the second opening above stands for it: a forked
  // child cannot run Windows code).
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeEnds[0]);
    TComPort other(4);
    const std::string message = FailureOf([&] { other.Open(); });
    [[maybe_unused]] ssize_t ignored = write(pipeEnds[1], message.data(), message.size());
    _exit(0);
  }
  close(pipeEnds[1]);
  std::string message;
  char buffer[256];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, static_cast<size_t>(n));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(message, "Cannot open COM4 (error #5).");
#endif

  // Closing releases it; freeing an open port does too.
  first.Close();
  second.Open();
  EXPECT_TRUE(second.ComIsOpen());
  second.Close();
  {
    TComPort scoped(4);
    scoped.Open();
  }
  second.Open();
  EXPECT_TRUE(second.ComIsOpen());
}

TEST(ComPort, AClosedPortRefusesReadsWritesAndModemLines) {
  FakeComPorts ports;
  ports.Add(1);
  TComPort never(1);
  TComPort closed(1);
  closed.Open();
  closed.Close();
  for (TComPort* port : {&never, &closed}) {
    uint32_t error = 0;
    uint8_t byte = 0;
    EXPECT_EQ(FailureOf([&] { port->Read(&byte, 1, 100, error); }), "Cannot read because COM port is not open.");
    EXPECT_EQ(FailureOf([&] { port->WriteText("x"); }), "Cannot write because COM port is not open.");
    EXPECT_EQ(FailureOf([&] { port->SetRTS(true); }), "SetRTS failed because COM port not open.");
    EXPECT_EQ(FailureOf([&] { port->SetDTR(true); }), "SetDTR failed because COM port not open.");
    EXPECT_EQ(FailureOf([&] { port->SetLineParameters(9600, 8, TStopBits::sbOne, TParity::ptNone); }),
              "GetCommState failed!");
    EXPECT_EQ(port->GetBytesPending(), 0);
    EXPECT_EQ(FailureOf([&] { port->ClearBuffers(); }), "<no failure>");
    EXPECT_EQ(FailureOf([&] { port->Close(); }), "<no failure>");
    EXPECT_EQ(U8(port->DriverVersion()), "1.0");
  }
}

// A serial port after boot carries the terminal line discipline; a Windows port has
// none. Open leaves a raw byte pipe with the four line settings on top, and hardware
// flow control as the port was configured.
TEST(ComPort, OpenLeavesARawPipeWithTheLineSettingsAndTheConfiguredHardwareFlowControl) {
  for (const bool hardwareFlow : {true, false}) {
    SCOPED_TRACE(hardwareFlow ? "RTS/CTS on" : "RTS/CTS off");
    FakeComPorts ports;
    PseudoTerminal& device = ports.Add(2);
    device.SetFlowControl(true, 0x05, hardwareFlow);

    TComPort port(2, 19200, 7, TStopBits::sbTwo, TParity::ptOdd);
    port.Open();
    TerminalSettings after = device.Settings();
    EXPECT_EQ(after.Baud, 19200u);
    EXPECT_TRUE(after.TwoStopBits);
    EXPECT_EQ(after.RtsCts, hardwareFlow);
#ifdef _WIN32
    // The device-control block keeps software flow control as the port was configured.
    EXPECT_TRUE(after.XonOutput);
    EXPECT_TRUE(after.XonInput);
    EXPECT_EQ(after.StartChar, 0x05);
#else
    // Software flow control is off, as on a Windows port set up by the system.
    EXPECT_FALSE(after.XonOutput);
    EXPECT_FALSE(after.XonInput);
    EXPECT_EQ(after.InputFlags & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY | BRKINT | PARMRK), 0u);
    EXPECT_EQ(after.OutputFlags & OPOST, 0u);
    EXPECT_EQ(after.LocalFlags & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.ControlFlags & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
    EXPECT_EQ(after.MinCount, 1);
    EXPECT_EQ(after.TimeCount, 0);
#endif
    // A pseudo-terminal keeps eight bits without parity whatever it is given.
    const platform::SerialLine& applied = port.Port().AppliedLine();
    EXPECT_EQ(applied.Baud, 19200u);
    EXPECT_EQ(applied.DataBits, 7);
    EXPECT_EQ(applied.StopBits, 2);
    EXPECT_EQ(applied.Parity, 1);

    const struct {
      TParity parity;
      TStopBits stop;
      uint8_t data;
    } accepted[] = {{TParity::ptNone, TStopBits::sbOne, 8},
                    {TParity::ptEven, TStopBits::sbTwo, 6},
                    {TParity::ptMark, TStopBits::sbOneHalf, 5},
                    {TParity::ptSpace, TStopBits::sbOne, 7}};
    for (const auto& c : accepted) {
      port.SetLineParameters(4800, c.data, c.stop, c.parity);
      EXPECT_EQ(port.Port().AppliedLine().Parity, static_cast<uint8_t>(c.parity));
      EXPECT_EQ(port.Port().AppliedLine().StopBits, static_cast<uint8_t>(c.stop));
      EXPECT_EQ(port.Port().AppliedLine().DataBits, c.data);
      EXPECT_EQ(port.BaudRate(), 4800u);
      EXPECT_EQ(port.Parity(), c.parity);
      EXPECT_EQ(port.DataBits(), c.data);
      EXPECT_EQ(port.StopBits(), c.stop);
      after = device.Settings();
      EXPECT_EQ(after.Baud, 4800u);
      EXPECT_EQ(after.TwoStopBits, c.stop != TStopBits::sbOne);
      EXPECT_EQ(after.RtsCts, hardwareFlow);
    }
  }
}

// Bytes cross a port opened at the kernel's terminal defaults unchanged both ways:
// no line editing, translation, echo, signal, end-of-file or flow-control character.
struct PassCase {
  const char* name;
  bool fromDevice;  // the device sends them; otherwise the driver writes them
  std::string bytes;
};

void PrintTo(const PassCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

std::string EveryByte(std::initializer_list<uint8_t> aLeftOut = {}) {
  std::string bytes;
  for (int b = 0; b < 256; ++b)
    if (std::find(aLeftOut.begin(), aLeftOut.end(), b) == aLeftOut.end()) bytes.push_back(static_cast<char>(b));
  return bytes;
}

class PassesUnchanged : public ::testing::TestWithParam<PassCase> {};

TEST_P(PassesUnchanged, AtTheKernelsDefaults) {
  const PassCase& c = GetParam();
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  if (c.fromDevice) {
    device.Send(c.bytes);
    std::string got;
    uint32_t error = 0;
    char buffer[512];
    for (const auto start = Clock::now(); got.size() < c.bytes.size() && MsSince(start) < 3000;) {
      const int32_t n = port.Read(buffer, static_cast<uint32_t>(c.bytes.size() - got.size()), 1000, error);
      ASSERT_GE(n, 0);
      got.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(Hex(got), Hex(c.bytes));
    // Nothing comes back to the device.
    EXPECT_EQ(Hex(device.Receive(200)), "");
  } else {
    EXPECT_TRUE(port.WriteText(c.bytes));
    EXPECT_EQ(Hex(device.Receive()), Hex(c.bytes));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ComPort, PassesUnchanged,
    ::testing::Values(PassCase{"ALoneAck", true, "\x06"}, PassCase{"ACarriageReturnThatEndsNoLine", true, "OK\r"},
                      PassCase{"TheEndOfFileCharacter", true, "\x04"},
                      PassCase{"InterruptQuitAndSuspend", true, "\x03\x1c\x1a"},
                      PassCase{"EraseKillWordEraseReprintAndLiteralNext", true, "a\x7f\x15\x17\x12\x16z"},
#ifdef _WIN32
                      // Wine shows the terminal's XON/XOFF setting as the port's configured
                      // software flow control, which a Windows port keeps.
                      PassCase{"EveryByteBesidesXonAndXoffFromTheDevice", true, EveryByte({0x11, 0x13})},
#else
                      PassCase{"XoffAndXon", true, "\x13\x11"},
                      PassCase{"EveryByteFromTheDevice", true, EveryByte()},
#endif
                      PassCase{"ALineFeedWithoutCarriageReturn", false, "A\n"},
                      PassCase{"EveryByteToTheDevice", false, EveryByte()}),
    [](const ::testing::TestParamInfo<PassCase>& aInfo) { return std::string(aInfo.param.name); });

// A port left raw by another program whose reads wait for three bytes: a single byte
// is read at once all the same.
TEST(ComPort, ALoneByteIsReadOnAPortThatWaitedForThree) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1, zvtest::PortSetup::RawWaitingForThree);
  TComPort port(1);
  port.Open();
  device.Send("\x06");
  char byte = 0;
  uint32_t error = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port.Read(&byte, 1, 5000, error), 1);
  EXPECT_LT(MsSince(start), 4000);
  EXPECT_EQ(byte, '\x06');
}

TEST(ComPort, ARefusedLineSetupKeepsTheFormerSettings) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(2);
  TComPort port(2, 38400, 8, TStopBits::sbOne, TParity::ptEven);
  port.Open();
  const struct {
    uint32_t baud;
    uint8_t data;
    TStopBits stop;
  } refused[] = {
#ifndef _WIN32
      // Wine takes any speed (as a custom divisor) and one and a half stop bits with
      // eight data bits: the refusal is the serial driver's, not this class's.
      {12345, 8, TStopBits::sbOne},
      {9600, 8, TStopBits::sbOneHalf},
#endif
      // Wine refuses it after it has set the speed: the port must be set back.
      {9600, 9, TStopBits::sbOne}};
  for (const auto& c : refused) {
    EXPECT_EQ(FailureOf([&] { port.SetLineParameters(c.baud, c.data, c.stop, TParity::ptOdd); }),
              "SetCommState failed!");
    EXPECT_EQ(port.BaudRate(), 38400u);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), TStopBits::sbOne);
    EXPECT_EQ(port.Parity(), TParity::ptEven);
    EXPECT_EQ(device.Settings().Baud, 38400u);
  }
  EXPECT_TRUE(port.ComIsOpen());
}

#ifndef _WIN32
// A setup that fails for any other reason than a parity or character size that the
// device cannot hold fails, although all that changes is the parity: here the port is
// the controlling terminal of the session of a process that another process group holds
// in the foreground, so its settings cannot be changed (the system answers EIO, since
// nothing in the session could stop the process for it).
TEST(ComPort, ASetupRefusedForAnotherReasonFails) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeEnds[0]);
    std::string outcome = "no session";
    if (setsid() >= 0 && ioctl(device.Slave(), TIOCSCTTY, 0) == 0) {
      TComPort port(1);
      outcome = FailureOf([&] { port.Open(); });
      const pid_t holder = outcome == "<no failure>" ? fork() : -1;
      if (holder == 0) {
        setpgid(0, 0);
        pause();
        _exit(0);
      }
      if (holder > 0) {
        setpgid(holder, holder);
        outcome = tcsetpgrp(device.Slave(), holder) != 0
                      ? "no other foreground"
                      : FailureOf([&] { port.SetLineParameters(9600, 8, TStopBits::sbOne, TParity::ptOdd); });
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
      }
    }
    [[maybe_unused]] ssize_t ignored = write(pipeEnds[1], outcome.data(), outcome.size());
    _exit(0);
  }
  close(pipeEnds[1]);
  std::string outcome;
  char buffer[256];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) outcome.append(buffer, static_cast<size_t>(n));
  close(pipeEnds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(outcome, "SetCommState failed!");
}
#endif

// A device that is no terminal cannot be set up: Open fails and holds nothing.
TEST(ComPort, AnOpenWhoseLineSetupFailsReleasesThePort) {
  FakeComPorts ports;
  const auto file = ports.Dir() / "plain-file";
  std::ofstream(file) << "x";
  ports.Link(6, file);
#ifndef _WIN32
  const size_t descriptors = OpenDescriptors();
#endif
  TComPort port(6);
  for (int attempt = 0; attempt < 2; ++attempt) {
    // The second attempt would find the port held if the first had kept it.
    EXPECT_EQ(FailureOf([&] { port.Open(); }), "GetCommState failed!");
    EXPECT_FALSE(port.ComIsOpen());
#ifndef _WIN32
    // (Wine counts no handles of a process.)
    EXPECT_EQ(OpenDescriptors(), descriptors);
#endif
  }
  TComPort other(6);
  EXPECT_EQ(FailureOf([&] { other.Open(); }), "GetCommState failed!");
}

TEST(ComPort, ReadReturnsWhatArrivedWithinItsTimeOuts) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  EXPECT_EQ(port.CurrentComTimeout(), TComPort::kNoTimeout);

  // Silence: 0 bytes after the time-out, the error word untouched.
  char buffer[16] = {};
  uint32_t error = 1234;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(port.Read(buffer, 4, 300, error), 0);
  EXPECT_GE(MsSince(start), 250);
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_EQ(error, 1234u);
  EXPECT_EQ(port.CurrentComTimeout(), 300u);

  // Fewer bytes than asked: the read ends 100 ms after the last byte, long before the
  // total time-out; bytes above 127 arrive unchanged.
  device.Send("a\xE9\xFF");
  start = Clock::now();
  EXPECT_EQ(port.Read(buffer, 10, 20000, error), 3);
  EXPECT_LT(MsSince(start), 10000);
  EXPECT_EQ(std::string(buffer, 3), "a\xE9\xFF");
  EXPECT_EQ(port.CurrentComTimeout(), 20000u);

  // The count asked for ends the read at once; 0 keeps the time-outs in force.
  device.Send("xyz");
  EXPECT_EQ(port.Read(buffer, 2, 0, error), 2);
  EXPECT_EQ(port.CurrentComTimeout(), 20000u);
  EXPECT_EQ(port.Read(buffer + 2, 1, 0, error), 1);
  EXPECT_EQ(std::string(buffer, 3), "xyz");

  // A new opening writes the time-out again.
  port.Close();
  port.Open();
  EXPECT_EQ(port.CurrentComTimeout(), TComPort::kNoTimeout);
}

// The device sends aBytes aDelayMs from now, on a thread of its own, unless the object
// ends first (the test's read returned without them).
class LateSender {
 public:
  LateSender(const PseudoTerminal& aDevice, std::string aBytes, int aDelayMs)
      : fThread([this, &aDevice, bytes = std::move(aBytes), aDelayMs] {
          for (const auto start = Clock::now(); MsSince(start) < aDelayMs;
               std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            if (fCancelled) return;
          aDevice.Send(bytes);
        }) {}
  ~LateSender() {
    fCancelled = true;
    fThread.join();
  }
  LateSender(const LateSender&) = delete;
  LateSender& operator=(const LateSender&) = delete;

 private:
  std::atomic<bool> fCancelled{false};
  std::thread fThread;
};

// A read ends 100 ms after the last byte that came: a pause of 600 ms in what the device
// sends ends it, long before its total time-out.
TEST(ComPort, APauseOfTheDeviceEndsTheReadAfterAHundredMilliseconds) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  device.Send("a");
  char buffer[8] = {};
  uint32_t error = 0;
  const LateSender late(device, "b", 600);
  EXPECT_EQ(port.Read(buffer, 8, 5000, error), 1);
  EXPECT_EQ(std::string(buffer, 1), "a");
  EXPECT_EQ(port.Read(buffer, 8, 5000, error), 1);
  EXPECT_EQ(std::string(buffer, 1), "b");
}

// 0xFFFFFFFF, the value that stands for "no time-out written yet", is the longest time-out
// when a read asks for it: a fresh port then ends the read 100 ms after the last byte
// instead of waiting for the whole count. (A read that waits for ever ends after 5 s with
// the count, when the device sends the rest.)
TEST(ComPort, TheLongestTimeOutBoundsAReadOnAFreshPort) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  ASSERT_EQ(port.CurrentComTimeout(), TComPort::kNoTimeout);
  device.Send("abc");
  char buffer[16] = {};
  uint32_t error = 0;
  int32_t count = 0;
  {
    const LateSender rest(device, "defghij", 5000);
    count = port.Read(buffer, 10, TComPort::kNoTimeout, error);
  }
  EXPECT_EQ(count, 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

#ifndef _WIN32
// A bound longer than one wait of the system takes is waited in parts, here parts of
// 50 ms: the end of one part does not end the read.
TEST(ComPort, AReadWaitsThroughThePartsOfItsTimeOut) {
  struct ShortWaits {
    ShortWaits() { platform::SetLongestSerialWaitForTests(50); }
    ~ShortWaits() { platform::SetLongestSerialWaitForTests(0); }
  } shortWaits;
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  char byte = 0;
  uint32_t error = 0;
  const LateSender late(device, "z", 400);
  EXPECT_EQ(port.Read(&byte, 1, 5000, error), 1);
  EXPECT_EQ(byte, 'z');
}
#endif

// What the device sent before the port was opened, and what the kernel's line
// discipline made of it (the line "AT" CR, its carriage return turned into a line feed
// and echoed back), is not read: a port starts with an empty input queue.
TEST(ComPort, AnOpeningReadsNothingThatCameBeforeIt) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  device.Send("AT\r");
  // The echo shows that the line discipline has taken the line.
  EXPECT_EQ(Hex(device.Receive()), Hex("AT\r\n"));
  TComPort port(1);
  port.Open();
  char buffer[8] = {};
  uint32_t error = 0;
  EXPECT_EQ(port.Read(buffer, 8, 300, error), 0) << Hex(std::string(buffer, 3));
  device.Send("OK");
  EXPECT_EQ(port.Read(buffer, 2, 2000, error), 2);
  EXPECT_EQ(std::string(buffer, 2), "OK");
}

// Close drops what the device sent and nobody read: the next program to open the port
// does not find it.
TEST(ComPort, CloseDropsUnreadInput) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  device.Send("stale");
  for (const auto start = Clock::now(); port.GetBytesPending() < 5 && MsSince(start) < 5000;) usleep(10000);
  ASSERT_EQ(device.UnreadAtPort(), 5);
  port.Close();
  EXPECT_EQ(device.UnreadAtPort(), 0);
}

TEST(ComPort, AHungUpDeviceFailsReadsWithErrorFlagsAndTheRestWithMessages) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  device.CloseMaster();
  uint8_t byte = 0;
  uint32_t error = 0;
  EXPECT_EQ(port.Read(&byte, 1, 100, error), -1);
  EXPECT_NE(error, 0u);
  // Whatever else needs the device fails with the operation's message.
  EXPECT_EQ(FailureOf([&] { port.WriteText("x"); }), "Write to com port failed.");
#ifndef _WIN32
  // Wine's purge does not look at the outcome of flushing a hung-up terminal.
  EXPECT_EQ(FailureOf([&] { port.ClearBuffers(); }), "PurgeComm failed!");
#endif
  EXPECT_EQ(FailureOf([&] { port.SetLineParameters(9600, 8, TStopBits::sbOne, TParity::ptNone); }),
            "GetCommState failed!");
  EXPECT_EQ(port.GetBytesPending(), 0);
  EXPECT_EQ(FailureOf([&] { port.Close(); }), "<no failure>");
  EXPECT_FALSE(port.ComIsOpen());
}

// Output the device has not taken yet is dropped by ClearBuffers, as unread input is.
TEST(ComPort, ClearBuffersDropsOutputTheDeviceHasNotTaken) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  // More than the device side takes in before it reads: the rest waits in the port.
  const std::string block(8192, 'x');
  ASSERT_TRUE(port.WriteText(block));
  EXPECT_EQ(device.Receive().size(), block.size());
  ASSERT_TRUE(port.WriteText(block));
  port.ClearBuffers();
  EXPECT_LT(device.Receive().size(), block.size());
}

TEST(ComPort, WritesPendingBytesPurgeAndModemLines) {
  FakeComPorts ports;
  PseudoTerminal& device = ports.Add(1);
  TComPort port(1);
  port.Open();
  EXPECT_TRUE(port.WriteText(""));
  EXPECT_TRUE(port.WriteText(std::string("ok\x80\xFF\r\n", 6)));
  EXPECT_EQ(device.Receive(), std::string("ok\x80\xFF\r\n", 6));

  device.Send("abc");
  int32_t pending = 0;
  for (const auto start = Clock::now(); (pending = port.GetBytesPending()) < 3 && MsSince(start) < 5000;)
    usleep(10000);
  EXPECT_EQ(pending, 3);
  port.ClearBuffers();
  EXPECT_EQ(port.GetBytesPending(), 0);

  // A pseudo-terminal has no modem lines: that is no failure.
  EXPECT_EQ(FailureOf([&] {
              port.SetDTR(true);
              port.SetRTS(true);
              port.SetDTR(false);
              port.SetRTS(false);
            }),
            "<no failure>");
}

}  // namespace
}  // namespace zv
