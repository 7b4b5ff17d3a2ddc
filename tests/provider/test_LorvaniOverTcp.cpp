// OPEN of the driver on a TCP connection, as a host calls it: the payment device
// needs the HTTP handler, so the handler made for TCP is refused and closed again.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "CommandCalls.h"
#include "HostLibrary.h"
#include "TcpTestPeer.h"
#include "TestText.h"
#include "payment/uZvPayment.h"

using zvtest::HostLibrary;
using zvtest::ReadFile;
using zvtest::T;
using zvtest::U8;

namespace {

TEST(LorvaniOverTcp, OpenIsAnInvalidTypecastAndTheHandlerLogsItsBanners) {
  zvtest::TcpTestPeer peer({});
  const std::string logId = "tcp_" + std::to_string(::getpid());
  const std::string request = "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + logId +
                              "</LogId><Connection><Type>TCP</Type><Address>127.0.0.1</Address><Port>" +
                              std::to_string(peer.Port()) + "</Port></Connection></Request>";
  HostLibrary lib;
  const auto a = lib.Call("OPEN", T(request));
  EXPECT_NE(a.result, 0);
  EXPECT_EQ(U8(a.error), "Invalid class typecast");

  // The handler was made (START) and freed with the failed device (STOP), unconnected.
  std::string log;
  const std::filesystem::path directory = U8(zv::kPaymentDevice::PaymentLogDirectory());
  const std::string prefix = "ZVPA_LORVANI_10_" + logId + "_";
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename().string().starts_with(prefix)) {
      log = ReadFile(entry.path().string());
      std::filesystem::remove(entry.path());
    }
  }
  const size_t start = log.find(" - *************************** START ***************************\r\n");
  const size_t stop = log.find(" - *************************** STOP ****************************\r\n");
  ASSERT_NE(start, std::string::npos) << log;
  ASSERT_NE(stop, std::string::npos) << log;
  EXPECT_LT(start, stop);
  // Nothing between them: the device failed before it connected.
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
  EXPECT_EQ(peer.ConnectionCount(), 0);
}

}  // namespace
