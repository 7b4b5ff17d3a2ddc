// The I/O handler factory of the configuration document.

#include <gtest/gtest.h>

#include <memory>

#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_HTTP.h"
#include "device/uZVIOHandler_TCP.h"
#include "device/uZvDeviceHandler.h"
#include "test_IOHandler_Support.h"

namespace zv {
namespace {

using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::T;
using zvtest::U8;

std::unique_ptr<kIOHandler> Create(const std::string& aRequest, const Text& aLogDir) {
  kDeviceHandler handler;
  handler.Deserialize(T(aRequest));
  return handler.CreateIOHandler(aLogDir);
}

std::string HttpRequestXml(const std::string& aLogId, const std::string& aParameters) {
  return "<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>" + aLogId +
         "</LogId><Connection><Type>HTTP</Type><URL>http://127.0.0.1:1/</URL><ConnectTimeout>2500</ConnectTimeout>"
         "<ReadTimeout>3500</ReadTimeout></Connection><Parameters>" +
         aParameters + "</Parameters></OPEN>";
}

TEST(Factory, HttpConnectionGivesAnHttpHandlerWithItsLogInTheDirectory) {
  LogDir dir;
  const auto file = dir.Path() / ("ZVPA_LORVANI_10_Till7_" + zvtest::Today() + ".log");
  {
    std::unique_ptr<kIOHandler> handler = Create(HttpRequestXml("Till7", ""), dir.Dir());
    auto* http = dynamic_cast<kIOHandler_HTTP*>(handler.get());
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(U8(http->URL()), "http://127.0.0.1:1/");
    EXPECT_EQ(handler->ConnectTimeout(), 2500);
    EXPECT_EQ(handler->ReadTimeout(), 3500);
    EXPECT_EQ(U8(handler->GetLogFileName()), file.string());
    // Constructed, not connected.
    EXPECT_FALSE(handler->Connected());
  }
  EXPECT_EQ(LogLines(file), (std::vector<std::string>{
                                "I *************************** START ***************************",
                                "I *************************** STOP ****************************",
                            }));
}

TEST(Factory, TcpConnectionGivesATcpHandlerWithItsLogInTheDirectory) {
  LogDir dir;
  const auto file = dir.Path() / ("ZVPA_LORVANI_10_Till8_" + zvtest::Today() + ".log");
  {
    std::unique_ptr<kIOHandler> handler =
        Create("<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>Till8</LogId><Connection><Type>tcp</Type>"
               "<Address>127.0.0.1</Address><Port>9100</Port><ConnectTimeout>2500</ConnectTimeout>"
               "<ReadTimeout>3500</ReadTimeout></Connection><Parameters><HexLog>true</HexLog></Parameters></OPEN>",
               dir.Dir());
    auto* tcp = dynamic_cast<kIOHandler_TCP*>(handler.get());
    ASSERT_NE(tcp, nullptr);
    EXPECT_EQ(U8(tcp->Host()), "127.0.0.1");
    EXPECT_EQ(tcp->Port(), 9100);
    EXPECT_EQ(handler->ConnectTimeout(), 2500);
    EXPECT_EQ(handler->ReadTimeout(), 3500);
    EXPECT_TRUE(handler->HexLog());
    EXPECT_EQ(U8(handler->GetLogFileName()), file.string());
    // Constructed, not connected.
    EXPECT_FALSE(handler->Connected());
  }
  EXPECT_EQ(LogLines(file), (std::vector<std::string>{
                                "I *************************** START ***************************",
                                "I *************************** STOP ****************************",
                            }));
}

TEST(Factory, EmptyLogIdEndsTheBaseNameInAnUnderscore) {
  LogDir dir;
  auto handler = Create(HttpRequestXml("", ""), dir.Dir());
  EXPECT_EQ(U8(handler->GetLogFileName()), (dir.Path() / ("ZVPA_LORVANI_10__" + zvtest::Today() + ".log")).string());
}

TEST(Factory, HexLogParameter) {
  struct Case {
    std::string Parameters;
    bool HexLog;
  } cases[] = {
      {"<HexLog>TRUE</HexLog>", true},
      {"<HexLog>True</HexLog>", true},
      {"<hexlog>true</hexlog>", true},
      {"<HexLog></HexLog>", false},
      {"<HexLog>yes</HexLog>", false},
      {"<HexLog>1</HexLog>", false},
      {"<HexLog> true</HexLog>", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Parameters);
    LogDir dir;
    EXPECT_EQ(Create(HttpRequestXml("H", c.Parameters), dir.Dir())->HexLog(), c.HexLog);
  }
}

}  // namespace
}  // namespace zv
