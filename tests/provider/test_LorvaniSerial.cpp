// The Lorvani device speaks HTTP only: opened on a serial connection it refuses the
// handler the factory made, which still opened and closed the device log.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CommandCalls.h"
#include "HostLibrary.h"
#include "PseudoTerminal.h"
#include "TestText.h"
#include "device/test_IOHandler_Support.h"

namespace {

using zvtest::HostLibrary;
using zvtest::T;
using zvtest::U8;

TEST(LorvaniSerial, OpenOnASerialConnectionIsAnInvalidTypecast) {
  zvtest::FakeComPorts ports;
  ports.Add(1);
  const std::string logId = "serial_" + std::to_string(::getpid());
  HostLibrary lib;
  const auto a = lib.Call("OPEN", T("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + logId +
                                    "</LogId><Connection><Type>Serial</Type><SerialPort>COM1</SerialPort>"
                                    "<Speed>9600</Speed><DataBits>8</DataBits><Parity>None</Parity>"
                                    "<StopBits>1</StopBits></Connection></Request>"));
  EXPECT_EQ(U8(a.error), "Invalid class typecast");
  EXPECT_EQ(a.result, 0xFFFF);
  const auto log = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "LogFiles" / "Payment" /
                   ("ZVPA_LORVANI_10_" + logId + "_" + zvtest::Today() + ".log");
  EXPECT_EQ(zvtest::LogLines(log), (std::vector<std::string>{
                                       "I *************************** START ***************************",
                                       "I *************************** STOP ****************************",
                                   }));
  std::filesystem::remove(log);
}

}  // namespace
