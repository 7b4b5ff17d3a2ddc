// The line settings of a serial port as termios flags, checked on the flags themselves:
// a pseudo-terminal, the tests' device, keeps neither parity nor character size.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/SerialTermios.h"

namespace zv::platform {
namespace {

struct LineCase {
  std::string name;
  uint8_t parity;
  uint8_t stopBits;
  uint8_t dataBits;
};

void PrintTo(const LineCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

// Parity by its number as the driver passes it; 5 is none of them.
struct Parity {
  const char* name;
  tcflag_t bits;  // the parity bits set, or kLeft: those of the port as they were
};
constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
constexpr tcflag_t kLeft = ~tcflag_t{0};
constexpr Parity kParities[] = {{"None", 0},
                                {"Odd", PARENB | PARODD},
                                {"Even", PARENB},
                                // The sticky parities: the parity bit always 1, or always 0.
                                {"Mark", PARENB | CMSPAR | PARODD},
                                {"Space", PARENB | CMSPAR},
                                {"Unknown", kLeft}};
constexpr const char* kStopBits[] = {"OneStopBit", "OneAndAHalfStopBits", "TwoStopBits", "UnknownStopBits"};

std::vector<LineCase> AllLines() {
  std::vector<LineCase> cases;
  for (uint8_t parity = 0; parity < std::size(kParities); ++parity)
    for (uint8_t stop = 0; stop < std::size(kStopBits); ++stop)
      for (uint8_t data = 5; data <= 9; ++data)
        cases.push_back({std::string(kParities[parity].name) + "_" + kStopBits[stop] + "_" + std::to_string(data) +
                             "DataBits",
                         parity, stop, data});
  return cases;
}

// A port as it was: odd parity, two stop bits, seven data bits, hardware flow control,
// and the kernel's terminal flags.
termios Former() {
  termios settings{};
  settings.c_iflag = ICRNL | IXON;
  settings.c_oflag = OPOST | ONLCR;
  settings.c_cflag = CS7 | CSTOPB | PARENB | PARODD | CREAD | HUPCL | CRTSCTS;
  settings.c_lflag = ISIG | ICANON | ECHO;
  cfsetispeed(&settings, B38400);
  cfsetospeed(&settings, B38400);
  return settings;
}

class SerialTermios : public ::testing::TestWithParam<LineCase> {};

TEST_P(SerialTermios, SetLineMapsParityStopBitsAndDataBits) {
  const LineCase& c = GetParam();
  const termios former = Former();
  termios settings = former;
  const bool accepted = SetLine(settings, {9600, c.dataBits, c.stopBits, c.parity});

  // Five to eight data bits; one and a half stop bits only with five, two not with five.
  const bool valid = c.dataBits >= 5 && c.dataBits <= 8 && !(c.stopBits == 1 && c.dataBits != 5) &&
                     !(c.stopBits == 2 && c.dataBits == 5);
  ASSERT_EQ(accepted, valid);
  if (!accepted) {
    // Nothing of a refused setup reaches the settings.
    EXPECT_EQ(settings.c_cflag, former.c_cflag);
    EXPECT_EQ(cfgetospeed(&settings), cfgetospeed(&former));
    return;
  }
  constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  EXPECT_EQ(settings.c_cflag & CSIZE, kSizes[c.dataBits - 5]);
  // An unknown number of stop bits leaves the port's own (two).
  EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, c.stopBits != 0);
  const tcflag_t parity = kParities[c.parity].bits == kLeft ? former.c_cflag & kParityBits : kParities[c.parity].bits;
  EXPECT_EQ(settings.c_cflag & kParityBits, parity);
  EXPECT_EQ(cfgetispeed(&settings), speed_t{B9600});
  EXPECT_EQ(cfgetospeed(&settings), speed_t{B9600});
  // Everything else stays as it was.
  constexpr tcflag_t kLine = CSIZE | CSTOPB | kParityBits | CBAUD;
  EXPECT_EQ(settings.c_cflag & ~kLine, former.c_cflag & ~kLine);
  EXPECT_EQ(settings.c_iflag, former.c_iflag);
  EXPECT_EQ(settings.c_oflag, former.c_oflag);
  EXPECT_EQ(settings.c_lflag, former.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Table, SerialTermios, ::testing::ValuesIn(AllLines()),
                         [](const ::testing::TestParamInfo<LineCase>& aInfo) { return aInfo.param.name; });

TEST(SerialTermiosSpeed, TheStandardSpeedsAreTakenAndOthersRefused) {
  const struct {
    uint32_t baud;
    speed_t speed;  // B0: refused
  } cases[] = {{110, B110}, {1200, B1200}, {9600, B9600}, {19200, B19200}, {115200, B115200},
               {921600, B921600}, {0, B0}, {12345, B0}, {14400, B0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    termios settings = Former();
    EXPECT_EQ(SetLine(settings, {c.baud, 8, 0, 0}), c.speed != B0);
    EXPECT_EQ(cfgetospeed(&settings), c.speed != B0 ? c.speed : speed_t{B38400});
  }
}

// A setup that the C library called failed: whether it holds all the same, by what the
// port read back, the error and the device.
struct FailedSetupCase {
  std::string name;
  void (*kept)(termios&);  // what the port read back differs from what was asked in this
  int error;
  bool pseudoTerminal;
  bool holds;
};

void PrintTo(const FailedSetupCase& aCase, std::ostream* aOut) { *aOut << aCase.name; }

class FailedSetup : public ::testing::TestWithParam<FailedSetupCase> {};

TEST_P(FailedSetup, HoldsOnlyWhereThePseudoTerminalDroppedParityOrSize) {
  const FailedSetupCase& c = GetParam();
  termios asked = Former();
  ASSERT_TRUE(SetLine(asked, {9600, 7, 2, 1}));
  termios kept = asked;
  c.kept(kept);
  EXPECT_EQ(FailedSetupHolds(c.error, c.pseudoTerminal, asked, kept), c.holds);
}

void Nothing(termios&) {}
void EightBitsWithoutParity(termios& a) { a.c_cflag = (a.c_cflag & ~(CSIZE | kParityBits)) | CS8; }
void OneStopBit(termios& a) { a.c_cflag &= ~CSTOPB; }
void NoHardwareFlowControl(termios& a) { a.c_cflag &= ~CRTSCTS; }
void NoModemLinesIgnored(termios& a) { a.c_cflag ^= CLOCAL; }
void OtherSpeed(termios& a) { cfsetospeed(&a, B4800); }
void CarriageReturnsTranslated(termios& a) { a.c_iflag ^= IGNCR; }
void OutputProcessed(termios& a) { a.c_oflag ^= OPOST; }
void LineMode(termios& a) { a.c_lflag ^= ICANON; }
void ReadsWaitingForTwo(termios& a) { a.c_cc[VMIN] = 2; }

INSTANTIATE_TEST_SUITE_P(
    Table, FailedSetup,
    ::testing::Values(FailedSetupCase{"PseudoTerminalDroppedParityAndSize", EightBitsWithoutParity, EINVAL, true, true},
                      // A real port that refuses seven data bits or a parity has failed.
                      FailedSetupCase{"RealPortDroppedParityAndSize", EightBitsWithoutParity, EINVAL, false, false},
                      // Any other failure is one, whatever the port reads back.
                      FailedSetupCase{"AnInputOutputError", Nothing, EIO, true, false},
                      FailedSetupCase{"AnInterruptedSetup", EightBitsWithoutParity, EINTR, true, false},
                      // Whatever else of the control flags was not kept.
                      FailedSetupCase{"StopBitsLost", OneStopBit, EINVAL, true, false},
                      FailedSetupCase{"HardwareFlowControlLost", NoHardwareFlowControl, EINVAL, true, false},
                      FailedSetupCase{"ModemLinesSettingLost", NoModemLinesIgnored, EINVAL, true, false},
                      FailedSetupCase{"SpeedLost", OtherSpeed, EINVAL, true, false},
                      FailedSetupCase{"InputFlagsLost", CarriageReturnsTranslated, EINVAL, true, false},
                      FailedSetupCase{"OutputFlagsLost", OutputProcessed, EINVAL, true, false},
                      FailedSetupCase{"LocalFlagsLost", LineMode, EINVAL, true, false},
                      FailedSetupCase{"ReadCountLost", ReadsWaitingForTwo, EINVAL, true, false}),
    [](const ::testing::TestParamInfo<FailedSetupCase>& aInfo) { return aInfo.param.name; });

TEST(SerialTermiosDevice, APseudoTerminalIsToldFromOtherDevices) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  EXPECT_TRUE(IsPseudoTerminal(slave));
  EXPECT_FALSE(IsPseudoTerminal(master));
  close(master);
  close(slave);
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(null, 0);
  EXPECT_FALSE(IsPseudoTerminal(null));
  close(null);
  EXPECT_FALSE(IsPseudoTerminal(-1));
}

}  // namespace
}  // namespace zv::platform
