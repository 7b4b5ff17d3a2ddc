#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CommandCalls.h"
#include "TestText.h"
#include "base/Exception.h"
#include "driver/uZVDriverLibrary.h"
#include "driver/uZVPaymentWrapper.h"

using namespace zv;
using zvtest::T;
using zvtest::U8;
using zvtest::Answer;
using zvtest::Call;

namespace zv {

// Reaches the handle counter of a device table, which no command can set.
class kDeviceTableTestAccess {
 public:
  static void SetHandleCounter(kDeviceTable& aTable, int32_t aValue) { aTable.fHandleCounter = aValue; }
};

}  // namespace zv

namespace {

// A device class of the tests' own: counts constructions and destructions, and can
// be told to fail its construction.
class TestDevice : public kPaymentDevice {
 public:
  static inline int sAlive = 0;
  static inline bool sFailConstruction = false;
  explicit TestDevice(kPaymentHandler& aHandler) : kPaymentDevice(aHandler) {
    if (sFailConstruction) throw kException(u"construction failed <&>");
    logId = aHandler.LogId();
    ++sAlive;
  }
  ~TestDevice() override { --sAlive; }
  Text logId;

 protected:
  bool Pay(const kPaymentReceipt&, int_PAY_result&) override { return false; }
  bool Refund(const kPaymentReceipt&, int_PAY_result&) override { return false; }
  bool Void(const kPaymentReceipt&, int_PAY_result&) override { return false; }
  bool Reprint(const Text&, ZvPrintLocation, int_REPRINT_result&) override { return false; }
  bool DayClose(const kPaymentDayClose&, int_DAYCLOSE_result&) override { return false; }
  bool GetTotals(const kPaymentTotals&, int_GETTOTALS_result&) override { return false; }
};

std::string Open(const std::string& aDriver, const std::string& aExtra = "") {
  return "<Request><Driver>" + aDriver + "</Driver><LogId>frame</LogId>" + aExtra +
         "<Connection><Type>HTTP</Type></Connection></Request>";
}

std::string Close(int aHandle) { return "<Request><Handle>" + std::to_string(aHandle) + "</Handle></Request>"; }

std::string OpenResponse(int aHandle, bool aError, const std::string& aErrorText) {
  return "<Handle>" + std::to_string(aHandle) + "</Handle>\r\n<Error>" + (aError ? "True" : "False") +
         "</Error>\r\n<ErrorText>" + aErrorText + "</ErrorText>\r\n<LogFileName></LogFileName>";
}

class CommandFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDevice::sAlive = 0;
    TestDevice::sFailConstruction = false;
    library = std::make_unique<kDriverLibrary>();
    library->Registry().Register(u"TEST_DRIVER",
                                 [](kPaymentHandler& h) { return std::make_unique<TestDevice>(h); });
  }
  void TearDown() override { library.reset(); }

  std::unique_ptr<kDriverLibrary> library;
};

TEST_F(CommandFrame, HandlesCountUpAndAreNeverReused) {
  EXPECT_EQ(Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER")).response, OpenResponse(1, false, ""));
  EXPECT_EQ(Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER")).response, OpenResponse(2, false, ""));
  Answer closed = Call<kPaymentWrapper_CLOSE>(Close(1));
  EXPECT_EQ(closed.response, "<Error>False</Error>\r\n<ErrorText></ErrorText>\r\n<LogFileName></LogFileName>");
  EXPECT_EQ(closed.result, 0);
  Answer third = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER"));
  EXPECT_EQ(third.response, OpenResponse(3, false, ""));
  EXPECT_EQ(third.result, 0);
  EXPECT_EQ(third.error, "");
  EXPECT_EQ(TestDevice::sAlive, 2);
}

TEST_F(CommandFrame, OpenWithAnOpenHandleAnswersItAndCreatesNothing) {
  Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER"));
  Answer again = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER", "<Handle>1</Handle>"));
  EXPECT_EQ(again.response, OpenResponse(1, false, ""));
  EXPECT_EQ(TestDevice::sAlive, 1);
  Answer missing = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER", "<Handle>7</Handle>"));
  EXPECT_EQ(missing.response, OpenResponse(0, true, "Device Handle not found"));
  EXPECT_EQ(missing.error, "Device Handle not found");
  EXPECT_EQ(missing.result, -1);
  EXPECT_EQ(library->Devices().HandleCounter(), 1);
}

TEST_F(CommandFrame, DriverNamesAreMatchedExactly) {
  for (const std::string& name : {std::string("test_driver"), std::string("TEST_DRIVER "), std::string(),
                                  std::string("ZVPA_LORVANI_10x"), zvtest::LongValue(1000)}) {
    Answer a = Call<kPaymentWrapper_OPEN>(Open(name));
    EXPECT_EQ(a.error, "Payment Driver [" + zvtest::Quoted(name) + "] not registered.");
    EXPECT_EQ(a.result, -1);
  }
  EXPECT_EQ(library->Devices().Count(), 0u);
  EXPECT_EQ(library->Devices().HandleCounter(), 0);
}

TEST_F(CommandFrame, CloseFailsForUnknownOrMissingHandles) {
  Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER"));
  EXPECT_EQ(Call<kPaymentWrapper_CLOSE>(Close(1)).result, 0);
  Answer second = Call<kPaymentWrapper_CLOSE>(Close(1));
  EXPECT_EQ(second.response,
            "<Error>True</Error>\r\n<ErrorText>Device Handle not found</ErrorText>\r\n<LogFileName></LogFileName>");
  EXPECT_EQ(second.result, -1);
  Answer none = Call<kPaymentWrapper_CLOSE>("<Request><Driver>TEST_DRIVER</Driver></Request>");
  EXPECT_EQ(none.error, "Payment Device has not previously opened");
  EXPECT_EQ(Call<kPaymentWrapper_CLOSE>(Close(-3)).error, "Payment Device has not previously opened");
  EXPECT_EQ(TestDevice::sAlive, 0);
}

TEST_F(CommandFrame, FailedConstructionConsumesNoHandle) {
  TestDevice::sFailConstruction = true;
  Answer failed = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER"));
  EXPECT_EQ(failed.response, OpenResponse(0, true, "construction failed &lt;&amp;&gt;"));
  EXPECT_EQ(failed.error, "construction failed <&>");
  TestDevice::sFailConstruction = false;
  EXPECT_EQ(Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER")).response, OpenResponse(1, false, ""));
}

TEST_F(CommandFrame, AfterTheLastHandleNoDeviceIsRegistered) {
  kDeviceTableTestAccess::SetHandleCounter(library->Devices(), INT32_MAX - 1);
  EXPECT_EQ(Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER")).response, OpenResponse(INT32_MAX, false, ""));
  const std::string payWithoutHandle = "<Request><Driver>TEST_DRIVER</Driver><LogId>frame</LogId>"
                                       "<Connection><Type>HTTP</Type></Connection><Payment/></Request>";
  for (int attempt = 0; attempt < 2; ++attempt) {
    Answer none = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER"));
    EXPECT_EQ(none.response, OpenResponse(0, true, "No device handle left"));
    EXPECT_EQ(none.error, "No device handle left");
    EXPECT_EQ(none.result, -1);
    Answer pay = Call<kPaymentWrapper_PAY>(payWithoutHandle);
    EXPECT_EQ(pay.error, "No device handle left");
    EXPECT_EQ(pay.result, -1);
  }
  // The devices built for the refused commands are gone, the last one still serves.
  EXPECT_EQ(library->Devices().Count(), 1u);
  EXPECT_EQ(TestDevice::sAlive, 1);
  EXPECT_EQ(library->Devices().HandleCounter(), INT32_MAX);
  EXPECT_EQ(Call<kPaymentWrapper_CLOSE>(Close(INT32_MAX)).result, 0);
  EXPECT_EQ(TestDevice::sAlive, 0);
}

TEST_F(CommandFrame, TheDeviceKeepsNothingOfLaterRequests) {
  Call<kPaymentWrapper_OPEN>("<R><Driver>TEST_DRIVER</Driver><LogId>first</LogId>"
                             "<Connection><Type>HTTP</Type></Connection></R>");
  Call<kPaymentWrapper_OPEN>("<R><Driver>OTHER</Driver><Handle>1</Handle><LogId>second</LogId></R>");
  auto* device = dynamic_cast<TestDevice*>(library->Devices().Find(1));
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->logId, u"first");
  EXPECT_EQ(device->fHandle, 1);
}

TEST_F(CommandFrame, BadRequestsEndAsErrorsWithCompleteResponses) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  for (const std::string& xml : {std::string(""), std::string("garbage"), std::string("<R><Handle>1"), deep,
                                 "<R>" + std::string(4 * 1024 * 1024, 'x') + "</R>"}) {
    Answer a = Call<kPaymentWrapper_OPEN>(xml);
    EXPECT_EQ(a.result, -1);
    EXPECT_FALSE(a.error.empty());
    EXPECT_EQ(a.response.rfind("<Handle>0</Handle>\r\n<Error>True</Error>\r\n<ErrorText>", 0), 0u);
  }
  // A large well-formed request is read like any other.
  Answer big = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER", "<Pad>" + std::string(4 * 1024 * 1024, 'x') + "</Pad>"));
  EXPECT_EQ(big.result, 0);
}

TEST(EscapeXML, EscapesTheFiveCharactersOnce) {
  EXPECT_EQ(kPaymentWrapper::EscapeXML(u"a&b<c>d\"e'f&amp;"), u"a&amp;b&lt;c&gt;d&quot;e&apos;f&amp;amp;");
  EXPECT_EQ(kPaymentWrapper::EscapeXML(u""), u"");
  EXPECT_EQ(kPaymentWrapper::EscapeXML(u"\u20AC plain"), u"\u20AC plain");
}

TEST(ResponseWriter, WritesEachKindOfValue) {
  const Text text = kResponseWriter()
                        .Amount(u"A", Currency::FromScaled(125000))
                        .Amount(u"B", Currency::FromScaled(100000))
                        .Amount(u"C", Currency())
                        .Amount(u"D", Currency::FromScaled(-1))
                        .Moment(u"E", 0)
                        .Integer(u"F", -42)
                        .Boolean(u"G", true)
                        .TextField(u"H", u"")
                        .Code(u"I", u"<raw>")
                        .Result();
  EXPECT_EQ(U8(text),
            "<A>12.5</A>\r\n<B>10</B>\r\n<C>0</C>\r\n<D>-0.0001</D>\r\n<E>1899-12-30T00:00:00.000Z</E>\r\n"
            "<F>-42</F>\r\n<G>True</G>\r\n<H></H>\r\n<I><raw></I>");
}

TEST(CommandFrameUnloaded, CommandsFailCleanlyWithoutALoadedLibrary) {
  Answer a = Call<kPaymentWrapper_OPEN>(Open("TEST_DRIVER"));
  EXPECT_EQ(a.result, -1);
  EXPECT_FALSE(a.error.empty());
}

}  // namespace
