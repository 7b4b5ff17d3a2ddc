// The I/O handler base: its log framing, hex dump, error state and time-outs.

#include <gtest/gtest.h>

#include <memory>

#include "NullIOHandler.h"
#include "TestText.h"
#include "device/uZVIOHandler_Base.h"
#include "test_IOHandler_Support.h"

namespace zv {
namespace {

using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::T;
using zvtest::U8;

// The smallest concrete handler: the channel slots do nothing.
class TestHandler : public zvtest::NullIOHandler {
 public:
  using NullIOHandler::NullIOHandler;
  using kIOHandler::ClearError;
  using kIOHandler::CurrencyToText;
  using kIOHandler::TextToHex;
  Text ClassName() const override { return u"TestHandler"; }
};

const std::string kStart = "I *************************** START ***************************";
const std::string kStop = "I *************************** STOP ****************************";

TEST(IOHandler, BannersAndLinesInOrder) {
  LogDir dir;
  kConnection connection;
  connection.SetConnectTimeOut(3000);
  connection.SetReadTimeOut(4000);
  const auto file = dir.Path() / ("Dev_" + zvtest::Today() + ".log");
  {
    TestHandler handler(&connection, dir.Dir(), u"Dev");
    EXPECT_EQ(U8(handler.GetLogFileName()), file.string());
    EXPECT_EQ(handler.ConnectTimeout(), 3000);
    EXPECT_EQ(handler.ReadTimeout(), 4000);
    EXPECT_FALSE(handler.HexLog());
    handler.SetVersion(u"1.01");
    EXPECT_TRUE(handler.Connect());
    handler.WriteLog(tZV_MessageType::let_info, u"Write [17]", u"{\"amount\":12.50}");
    handler.WriteLog(tZV_MessageType::let_error, u"Post Error", u"refused");
    handler.Debug(tZV_MessageType::let_info, u"plain text");
    handler.SetHexLog(true);
    handler.WriteLog(tZV_MessageType::let_info, u"T", u"AB");
    handler.WriteLog(tZV_MessageType::let_info, u"T", u"");
    // The log callback has the shape of WriteLog and goes through it.
    handler.LogEvent()(tZV_MessageType::let_error, u"Cb", u"\u20ac");
  }
  const std::vector<std::string> expected = {
      kStart,
      "I " + std::string(61, '*'),
      "I TestHandler",
      "I 1.01",
      "I ConnectTimeout=3000",
      "I ReadTimeout=4000",
      "I Write [17]:{\"amount\":12.50}",
      "E Post Error:refused",
      "I plain text",
      "I T:AB [41 42]",
      "I T: []",
      "E Cb:\xE2\x82\xAC [20ac]",
      kStop,
  };
  EXPECT_EQ(LogLines(file), expected);
}

TEST(IOHandler, WithoutDirectoryOrFileNameThereIsNoLog) {
  LogDir dir;
  struct Case {
    Text Directory, FileName;
  } cases[] = {{dir.Dir(), u""}, {u"", u"Dev"}, {u"", u""}};
  for (const Case& c : cases) {
    TestHandler handler(nullptr, c.Directory, c.FileName);
    EXPECT_EQ(handler.GetLogFileName(), u"");
    EXPECT_EQ(handler.ConnectTimeout(), 0);
    EXPECT_EQ(handler.ReadTimeout(), 0);
    handler.SetHexLog(true);
    EXPECT_TRUE(handler.Connect());
    handler.WriteLog(tZV_MessageType::let_info, u"T", u"x");
    handler.Debug(tZV_MessageType::let_error, u"x");
    handler.SetTemporaryReadTimeout(5000);
    EXPECT_EQ(handler.ReadTimeout(), 5000);
    // The saved time-out was 0, which a reset does not restore.
    handler.ResetTemporaryReadTimeout();
    EXPECT_EQ(handler.ReadTimeout(), 5000);
  }
  EXPECT_TRUE(dir.Files().empty());
}

TEST(IOHandler, TextToHexDumpsCodeUnits) {
  struct Case {
    Text In;
    std::string Hex;
  } cases[] = {
      {u"", ""},
      {u"AB", "41 42"},
      {u"a\r\n", "61 0d 0a"},
      {Text(1, u'\0'), "00"},
      {u"\u20ac", "20ac"},
      {u"\u00ff\u0100", "ff 100"},
      {u"\U0001F600", "d83d de00"},
  };
  for (const Case& c : cases) EXPECT_EQ(U8(TestHandler::TextToHex(c.In)), c.Hex) << c.Hex;
}

TEST(IOHandler, CurrencyToText) {
  EXPECT_EQ(TestHandler::CurrencyToText(Currency::FromScaled(125000)), u"12.5");
  EXPECT_EQ(TestHandler::CurrencyToText(Currency::FromUnits(100)), u"100");
  EXPECT_EQ(TestHandler::CurrencyToText(Currency::FromScaled(-1)), u"-0.0001");
}

TEST(IOHandler, ErrorStateIsSetAndClearedOnlyExplicitly) {
  LogDir dir;
  const auto file = dir.Path() / ("Dev_" + zvtest::Today() + ".log");
  {
    TestHandler handler(nullptr, dir.Dir(), u"Dev");
    EXPECT_FALSE(handler.ErrorFound());
    EXPECT_EQ(handler.ErrorCode(), 0);
    handler.SetCustomError(404, u"Not Found");
    // Logging and further work leave it set.
    handler.WriteLog(tZV_MessageType::let_info, u"T", u"x");
    EXPECT_TRUE(handler.Write(u"next command"));
    EXPECT_TRUE(handler.ErrorFound());
    EXPECT_EQ(handler.ErrorCode(), 404);
    EXPECT_EQ(handler.ErrorMessage(), u"Not Found");
    handler.ResetCustomError();
    EXPECT_FALSE(handler.ErrorFound());
    EXPECT_EQ(handler.ErrorCode(), 0);
    EXPECT_EQ(handler.ErrorMessage(), u"");
    handler.SetCustomError(-1, u"again");
    handler.ClearError();
    EXPECT_FALSE(handler.ErrorFound());
    EXPECT_EQ(handler.ErrorCode(), 0);
    EXPECT_EQ(handler.ErrorMessage(), u"");
    // Clearing may take the code of a call that is still being looked at.
    handler.SetCustomError(-1, u"again");
    handler.ClearError(114);
    EXPECT_FALSE(handler.ErrorFound());
    EXPECT_EQ(handler.ErrorCode(), 114);
    EXPECT_EQ(handler.ErrorMessage(), u"");
  }
  // Neither setting nor clearing the error writes a line.
  EXPECT_EQ(LogLines(file), (std::vector<std::string>{kStart, "I T:x", kStop}));
}

TEST(IOHandler, TemporaryReadTimeout) {
  struct Step {
    int Set;  // -1: ResetTemporaryReadTimeout; any other value: SetTemporaryReadTimeout(value)
    int ReadTimeoutAfter;
    std::string Line;
  };
  struct Case {
    std::string Name;
    std::vector<Step> Steps;
  } cases[] = {
      {"set then reset", {{5000, 5000, "I Set Read Timeout to 5000ms from 1000 ms"}, {-1, 1000, "I Reset Timeout to 1000 ms"}}},
      {"zero logs but keeps", {{0, 1000, "I Set Read Timeout to 0ms from 1000 ms"}}},
      {"negative logs but keeps", {{-7, 1000, "I Set Read Timeout to -7ms from 1000 ms"}}},
      {"reset without set", {{-1, 1000, "I Reset Timeout to 0 ms"}}},
      {"two sets, one reset",
       {{5000, 5000, "I Set Read Timeout to 5000ms from 1000 ms"},
        {8000, 8000, "I Set Read Timeout to 8000ms from 5000 ms"},
        {-1, 5000, "I Reset Timeout to 5000 ms"},
        // The saved value stays after a reset.
        {-1, 5000, "I Reset Timeout to 5000 ms"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    LogDir dir;
    kConnection connection;  // read time-out 1000
    std::vector<std::string> expected{kStart};
    {
      TestHandler handler(&connection, dir.Dir(), u"Dev");
      for (const Step& step : c.Steps) {
        if (step.Set == -1)
          handler.ResetTemporaryReadTimeout();
        else
          handler.SetTemporaryReadTimeout(step.Set);
        EXPECT_EQ(handler.ReadTimeout(), step.ReadTimeoutAfter);
        expected.push_back(step.Line);
      }
    }
    expected.push_back(kStop);
    EXPECT_EQ(LogLines(dir.Path() / ("Dev_" + zvtest::Today() + ".log")), expected);
  }
}

}  // namespace
}  // namespace zv
