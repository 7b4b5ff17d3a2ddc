#include <gtest/gtest.h>

#include <functional>

#include "TestText.h"
#include "base/Exception.h"
#include "device/uZvDeviceHandler.h"

using namespace zv;
using zvtest::T;
using zvtest::U8;
using zvtest::FailureOf;

namespace {


struct Request {
  explicit Request(const std::string& aChildren) { handler.Deserialize(T("<Request>" + aChildren + "</Request>")); }
  kDeviceHandler handler;
};

TEST(DeviceHandler, ReadsTheConfigurationPart) {
  Request r("<Driver>ZVPA_LORVANI_10</Driver><Method>M</Method><Handle>4</Handle><LogId>Till1</LogId>"
            "<Connection><Type>HTTP</Type><Address>example.local</Address><Port>8080</Port>"
            "<URL>http://x/</URL><AuthType>Digest</AuthType><User>u</User><Password>p</Password>"
            "<SerialPort>COM1</SerialPort><DeviceName>Fiscal</DeviceName><LibraryName>l.dll</LibraryName>"
            "</Connection>");
  const kDeviceHandler& h = r.handler;
  EXPECT_EQ(h.Driver(), u"ZVPA_LORVANI_10");
  EXPECT_EQ(h.Method(), u"M");
  EXPECT_EQ(h.DeviceHandle(), 4);
  EXPECT_EQ(h.LogId(), u"Till1");
  const kConnection& c = h.Connection();
  EXPECT_EQ(c.ConnectionType(), zvConnectionType::HTTP);
  EXPECT_EQ(c.Address(), u"example.local");
  EXPECT_EQ(c.Port(), 8080);
  EXPECT_EQ(c.URL(), u"http://x/");
  EXPECT_EQ(c.AuthType(), zvHTTPAuthType::at_Digest);
  EXPECT_EQ(c.User(), u"u");
  EXPECT_EQ(c.Password(), u"p");
  // Nodes of other connection types are ignored.
  EXPECT_EQ(c.SerialPort(), u"");
  EXPECT_EQ(c.DeviceName(), u"");
  EXPECT_EQ(c.LibraryName(), u"");
  EXPECT_EQ(c.ConnectTimeOut(), 1000);
  EXPECT_EQ(c.ReadTimeOut(), 1000);
}

TEST(DeviceHandler, WithoutConnectionKeepsTheDefaults) {
  Request r("<Driver>D</Driver>");
  EXPECT_EQ(r.handler.Connection().ConnectionType(), zvConnectionType::OPOS);
  EXPECT_EQ(r.handler.Connection().ConnectTimeOut(), 1000);
  EXPECT_EQ(r.handler.DeviceHandle(), 0);
}

TEST(DeviceHandler, ReadsEachConnectionTypesOwnNodes) {
  Request serial("<Connection><Type>serial</Type><SerialPort>COM3</SerialPort><Speed>9600</Speed>"
                 "<DataBits>8</DataBits><Parity>Even</Parity><StopBits>1</StopBits><Address>ignored</Address>"
                 "</Connection>");
  const kConnection& s = serial.handler.Connection();
  EXPECT_EQ(s.ConnectionType(), zvConnectionType::Serial);
  EXPECT_EQ(s.SerialPort(), u"COM3");
  EXPECT_EQ(s.Speed(), 9600);
  EXPECT_EQ(s.DataBits(), 8);
  EXPECT_EQ(s.Parity(), zvParity::Even);
  EXPECT_EQ(s.StopBits(), 1);
  EXPECT_EQ(s.Address(), u"");

  Request opos("<Connection><Type>OPOS</Type><DeviceName>FP1</DeviceName></Connection>");
  EXPECT_EQ(opos.handler.Connection().DeviceName(), u"FP1");
  Request dll("<Connection><Type>Dll</Type><LibraryName>x.so</LibraryName></Connection>");
  EXPECT_EQ(dll.handler.Connection().LibraryName(), u"x.so");
  Request spool("<Connection><Type>SPOOL</Type><PrinterName>P</PrinterName></Connection>");
  EXPECT_EQ(spool.handler.Connection().PrinterName(), u"P");
  Request com("<Connection><Type>com</Type></Connection>");
  EXPECT_EQ(com.handler.Connection().ConnectionType(), zvConnectionType::Com);
}

TEST(DeviceHandler, TimeoutsOnlyTakePositiveValuesAndTheParameterOverrides) {
  const struct {
    const char* connection;
    const char* parameter;  // nullptr: none
    int32_t expected;
  } cases[] = {{"0", nullptr, 1000}, {"-5", nullptr, 1000}, {"3000", nullptr, 3000},
               {"3000", "5000", 5000}, {"3000", "0", 3000}, {"3000", "-1", 3000}};
  for (const auto& c : cases) {
    std::string xml = std::string("<Connection><Type>http</Type><ConnectTimeout>") + c.connection +
                      "</ConnectTimeout><ReadTimeout>" + c.connection + "</ReadTimeout></Connection>";
    if (c.parameter) xml += std::string("<Parameters><ConnectTimeout>") + c.parameter + "</ConnectTimeout></Parameters>";
    Request r(xml);
    EXPECT_EQ(r.handler.Connection().ConnectTimeOut(), c.expected) << xml;
  }
}

TEST(DeviceHandler, ParametersKeepDocumentOrderAndIgnoreCaseOnLookup) {
  Request r("<Connection><Type>HTTP</Type></Connection>"
            "<Parameters><Bearer>tok=en</Bearer><STAGING>true</STAGING><HexLog/><Bearer>second</Bearer>"
            "<DeviceName>Override</DeviceName></Parameters>");
  const kDeviceHandler& h = r.handler;
  ASSERT_EQ(h.Parameters().size(), 5u);
  EXPECT_EQ(h.Parameters()[0], u"bearer=tok=en");
  EXPECT_EQ(h.Parameters()[1], u"staging=true");
  EXPECT_EQ(h.Parameters()[2], u"hexlog=");
  // Two children of one name share the first one's text.
  EXPECT_EQ(h.Parameters()[3], u"bearer=tok=en");
  EXPECT_EQ(h.GetParameter(u"Staging"), u"true");
  EXPECT_EQ(h.GetParameter(u"BEARER"), u"tok=en");
  EXPECT_TRUE(h.ParameterExists(u"HexLog"));
  EXPECT_EQ(h.GetParameter(u"HexLog"), u"");
  EXPECT_FALSE(h.ParameterExists(u"Missing"));
  EXPECT_EQ(h.GetParameter(u"Missing"), u"");
  // DeviceName reaches the connection whatever its type.
  EXPECT_EQ(h.Connection().DeviceName(), u"Override");
}

TEST(DeviceHandler, EveryChildNodeOfParametersIsAnEntry) {
  Request r("<Parameters>\n  <A>1</A>\n  <!--note--><?tool x?>text</Parameters>");
  EXPECT_EQ(r.handler.Parameters(), (std::vector<Text>{u"a=1", u"#comment=", u"tool=", u"#text="}));
}

TEST(DeviceHandler, FailsWithTheMessageOfWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"<Connection><Type>https</Type></Connection>", "Connection Type https is not valid"},
      {"<Connection><Port>1</Port></Connection>", "Connection Type  is not valid"},
      {"<Connection><Type>Serial</Type></Connection>", "Connection Parity  is not valid"},
      {"<Connection><Type>Serial</Type><Parity>Mark</Parity></Connection>", "Connection Parity Mark is not valid"},
      {"<Handle>abc</Handle>", "Error in processing node Handle as integer.\r\n'abc' is not a valid integer value"},
      {"<Connection><Type>tcp</Type><Port>80x</Port></Connection>",
       "Error in processing node Port as integer.\r\n'80x' is not a valid integer value"},
      {"<Parameters><ConnectTimeout>soon</ConnectTimeout></Parameters>", "'soon' is not a valid integer value"},
      {"<Parameters><Bearer><x/></Bearer></Parameters>",
       "Error in processing node Bearer as string.\r\nElement \"Bearer\" does not contain a single text node"},
  };
  for (auto [xml, message] : cases) {
    kDeviceHandler h;
    EXPECT_EQ(FailureOf([&] { h.Deserialize(T(std::string("<R>") + xml + "</R>")); }), message) << xml;
  }
}

TEST(DeviceHandler, QuotesALongRequestValueCut) {
  using zvtest::Quoted;
  const std::string value = zvtest::LongValue(1000);
  const std::pair<std::string, std::string> cases[] = {
      {"<Connection><Type>" + value + "</Type></Connection>", "Connection Type " + Quoted(value) + " is not valid"},
      {"<Connection><Type>Serial</Type><Parity>" + value + "</Parity></Connection>",
       "Connection Parity " + Quoted(value) + " is not valid"},
      {"<Parameters><ConnectTimeout>" + value + "</ConnectTimeout></Parameters>",
       zvtest::Concat("'", Quoted(value), "' is not a valid integer value")},
      {"<Handle>" + value + "</Handle>",
       zvtest::Concat("Error in processing node Handle as integer.\r\n'", Quoted(value), "' is not a valid integer value")},
      // A parameter's name comes from the request too.
      {"<Parameters><" + value + "><x/></" + value + "></Parameters>",
       "Error in processing node " + Quoted(value) + " as string.\r\nElement \"" + Quoted(value) +
           "\" does not contain a single text node"},
  };
  for (const auto& [xml, message] : cases) {
    kDeviceHandler h;
    EXPECT_EQ(FailureOf([&] { h.Deserialize(T("<R>" + xml + "</R>")); }), message) << xml.substr(0, 40);
  }
}

TEST(DeviceHandler, UnknownAuthTypeIsNone) {
  Request r("<Connection><Type>HTTP</Type><AuthType>bearer</AuthType></Connection>");
  EXPECT_EQ(r.handler.Connection().AuthType(), zvHTTPAuthType::at_None);
  EXPECT_EQ(kConnection::ConvertAuthType(u"BASIC"), zvHTTPAuthType::at_Basic);
  EXPECT_EQ(kConnection::ConvertAuthType(u"none"), zvHTTPAuthType::at_None);
}

TEST(DeviceHandler, MalformedRequestsFailWithTheParsersMessage) {
  for (const char* xml : {"", "not xml", "<R>", "<R></S>"}) {
    kDeviceHandler h;
    const std::string failure = FailureOf([&] { h.Deserialize(T(xml)); });
    EXPECT_NE(failure, "<no failure>") << xml;
    EXPECT_NE(failure.find("offset"), std::string::npos) << failure;
  }
}

}  // namespace
