#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "CommandCalls.h"
#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_Base.h"
#include "driver/uZVDriverLibrary.h"
#include "driver/uZVPaymentWrapper.h"
#include "platform/Clock.h"

using namespace zv;
using zvtest::Answer;
using zvtest::Call;
using zvtest::Element;
using zvtest::ReadFile;
using zvtest::T;
using zvtest::U8;

namespace {

// A device whose operations do what each test tells them, and record which ran.
class ScriptedDevice : public kPaymentDevice {
 public:
  static inline std::function<void(ScriptedDevice&, int_PAY_result&)> sPay;
  static inline std::function<void(ScriptedDevice&, int_REPRINT_result&)> sReprint;
  static inline std::function<void(ScriptedDevice&, int_DAYCLOSE_result&)> sDayClose;
  static inline std::function<void(ScriptedDevice&, int_GETTOTALS_result&)> sGetTotals;
  // Runs in every operation before its own hook, on the record's Error and ErrorText.
  static inline std::function<void(ScriptedDevice&, bool& aError, Text& aErrorText)> sAny;
  static inline std::string sLastOperation;

  explicit ScriptedDevice(kPaymentHandler& aHandler) : kPaymentDevice(aHandler) {}

 protected:
  bool Pay(const kPaymentReceipt&, int_PAY_result& r) override { return Run("Pay", sPay, r); }
  bool Refund(const kPaymentReceipt&, int_PAY_result& r) override { return Run("Refund", sPay, r); }
  bool Void(const kPaymentReceipt&, int_PAY_result& r) override { return Run("Void", sPay, r); }
  bool Reprint(const Text& aReceiptId, ZvPrintLocation, int_REPRINT_result& r) override {
    return Run("Reprint:" + U8(aReceiptId), sReprint, r);
  }
  bool DayClose(const kPaymentDayClose&, int_DAYCLOSE_result& r) override { return Run("DayClose", sDayClose, r); }
  bool GetTotals(const kPaymentTotals&, int_GETTOTALS_result& r) override { return Run("GetTotals", sGetTotals, r); }

 private:
  template <typename Hook, typename Result>
  bool Run(const std::string& aName, const Hook& aHook, Result& aResult) {
    sLastOperation = aName;
    if (sAny) sAny(*this, aResult.Error, aResult.ErrorText);
    if (aHook) aHook(*this, aResult);
    return true;
  }
};

// A log id of the test's own, so that every test has a log file of its own.
std::string TestLogId() {
  return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
         std::to_string(::getpid());
}

std::string WithHandle(int aHandle, const std::string& aSection) {
  return "<Request><Driver>SCRIPTED</Driver><Handle>" + std::to_string(aHandle) + "</Handle>" + aSection +
         "</Request>";
}

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    ScriptedDevice::sPay = nullptr;
    ScriptedDevice::sReprint = nullptr;
    ScriptedDevice::sDayClose = nullptr;
    ScriptedDevice::sGetTotals = nullptr;
    ScriptedDevice::sAny = nullptr;
    ScriptedDevice::sLastOperation.clear();
    library = std::make_unique<kDriverLibrary>();
    library->Registry().Register(u"SCRIPTED", [](kPaymentHandler& h) { return std::make_unique<ScriptedDevice>(h); });
    std::tie(handle, logFile) = OpenDevice(TestLogId());
    ASSERT_GT(handle, 0);
  }

  // Opens a device of its own log; its handle and log file name.
  std::pair<int, std::string> OpenDevice(const std::string& aLogId) {
    const std::string open = "<Request><Driver>SCRIPTED</Driver><LogId>" + aLogId +
                             "</LogId><Connection><Type>HTTP</Type></Connection></Request>";
    const int opened = std::stoi(Element(Call<kPaymentWrapper_OPEN>(open).response, "Handle"));
    kPaymentDevice* device = library->Devices().Find(opened);
    return {opened, device != nullptr ? U8(device->IOHandler().GetLogFileName()) : ""};
  }

  // Closes every device so that its log is complete, and returns the log's text.
  std::string ClosedLog() {
    library.reset();
    return ReadFile(logFile);
  }

  std::unique_ptr<kDriverLibrary> library;
  int handle = 0;
  std::string logFile;
};

const char* const kClearedPay =
    "<DeviceId></DeviceId>\r\n<PaymentDateTime>1899-12-30T00:00:00.000Z</PaymentDateTime>\r\n"
    "<PaymentNumber></PaymentNumber>\r\n<PaymentAmount>0</PaymentAmount>\r\n<PaymentCurrency></PaymentCurrency>\r\n"
    "<ExchangeRate>0</ExchangeRate>\r\n<PaymentAmountCurrency>0</PaymentAmountCurrency>\r\n"
    "<PaymentCurrencyCurrency></PaymentCurrencyCurrency>\r\n<TippedAmount>0</TippedAmount>\r\n"
    "<RemainingBalance>0</RemainingBalance>\r\n<MaskedPAN></MaskedPAN>\r\n<SerialNumber></SerialNumber>\r\n"
    "<PaymentNetwork>other</PaymentNetwork>\r\n<TransactionType>OTHER</TransactionType>\r\n"
    "<AuthCode></AuthCode>\r\n<TraceAuditId></TraceAuditId>\r\n<NumberOfItems>0</NumberOfItems>\r\n"
    "<SingleItemAmount>0</SingleItemAmount>\r\n<SignatureRequested>False</SignatureRequested>\r\n"
    "<CustomerCountryCode></CustomerCountryCode>\r\n<CardToken></CardToken>\r\n"
    "<RefundReference></RefundReference>\r\n<ReceiptText></ReceiptText>\r\n"
    "<CashierReceiptText></CashierReceiptText>\r\n<Error>True</Error>\r\n"
    "<ErrorText>Payment node not found</ErrorText>\r\n<LogFileName></LogFileName>";

TEST_F(Commands, PayWithoutPaymentAnswersTheClearedRecord) {
  Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, ""));
  EXPECT_EQ(a.response, kClearedPay);
  EXPECT_EQ(a.error, "Payment node not found");
  EXPECT_EQ(a.result, -1);
  // The request is read before the device is looked up.
  EXPECT_EQ(Call<kPaymentWrapper_PAY>(WithHandle(99, "")).error, "Payment node not found");
  EXPECT_EQ(Call<kPaymentWrapper_PAY>(WithHandle(99, "<Payment/>")).error, "Device Handle not found");
  EXPECT_TRUE(ScriptedDevice::sLastOperation.empty());
}

TEST_F(Commands, PayWhoseOperationWritesNothingSucceeds) {
  const std::string today = U8(FormatIsoZ(Now())).substr(0, 10);
  Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>"));
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.error, "");
  EXPECT_EQ(Element(a.response, "Error"), "False");
  EXPECT_EQ(Element(a.response, "LogFileName"), logFile);
  EXPECT_EQ(Element(a.response, "PaymentDateTime").substr(0, 10), today);
  EXPECT_EQ(Element(a.response, "PaymentNetwork"), "other");
  EXPECT_EQ(Element(a.response, "TransactionType"), "OTHER");
  EXPECT_EQ(ScriptedDevice::sLastOperation, "Pay");
  EXPECT_NE(ClosedLog().find(" - " + std::string(60, '-') + " Pay\r\n"), std::string::npos);
}

TEST_F(Commands, PayDispatchesOnTheAction) {
  for (auto [action, operation] : {std::pair{"PAY", "Pay"}, {"REFUND", "Refund"}, {"VOID", "Void"}}) {
    Call<kPaymentWrapper_PAY>(WithHandle(handle, std::string("<Payment><Action>") + action + "</Action></Payment>"));
    EXPECT_EQ(ScriptedDevice::sLastOperation, operation);
  }
}

TEST_F(Commands, PayWritesWhatTheOperationReported) {
  for (auto [scaled, text] : {std::pair{int64_t{125000}, "12.5"}, {int64_t{1000000}, "100"}}) {
    ScriptedDevice::sPay = [scaled](ScriptedDevice&, int_PAY_result& r) {
      r.PaymentAmount = Currency::FromScaled(scaled);
      r.PaymentNetwork = zvPaymentNetwork::Lorvani;
      r.TraceAuditId = u"tok<1>";
      r.RawResponse = u"never shown";
    };
    Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>"));
    EXPECT_EQ(Element(a.response, "PaymentAmount"), text);
    EXPECT_EQ(Element(a.response, "PaymentNetwork"), "lorvani");
    EXPECT_EQ(Element(a.response, "TraceAuditId"), "tok&lt;1&gt;");
    EXPECT_EQ(a.response.find("never shown"), std::string::npos);
  }
}

TEST_F(Commands, TheIOHandlersErrorWinsOverTheOperationsText) {
  ScriptedDevice::sPay = [](ScriptedDevice& d, int_PAY_result& r) {
    r.Error = true;
    r.ErrorText = u"from the operation";
    r.PaymentAmount = Currency::FromUnits(3);
    d.IOHandler().SetCustomError(500, u"from the handler");
  };
  Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>"));
  EXPECT_EQ(a.error, "from the handler");
  EXPECT_EQ(a.result, -1);
  // What the operation wrote is kept when it reports failure in the record.
  EXPECT_EQ(Element(a.response, "PaymentAmount"), "3");
  EXPECT_EQ(Element(a.response, "LogFileName"), logFile);
}

TEST_F(Commands, AFailureRaisedByTheOperationDropsTheRecord) {
  ScriptedDevice::sPay = [](ScriptedDevice&, int_PAY_result& r) {
    r.PaymentAmount = Currency::FromUnits(3);
    throw kException(u"provider <down>");
  };
  Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>"));
  EXPECT_EQ(a.error, "provider <down>");
  EXPECT_EQ(a.response, std::string(kClearedPay).replace(std::string(kClearedPay).find("Payment node not found"),
                                                         22, "provider &lt;down&gt;"));
}

TEST_F(Commands, ReprintPassesTheReceiptIdAndSetsNoLogFileName) {
  Answer a = Call<kPaymentWrapper_REPRINT>(WithHandle(handle, "<Payment><ReceiptId>R9</ReceiptId></Payment>"));
  EXPECT_EQ(a.response, "<ReceiptText></ReceiptText>\r\n<Error>False</Error>\r\n<ErrorText></ErrorText>\r\n"
                        "<LogFileName></LogFileName>");
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(ScriptedDevice::sLastOperation, "Reprint:R9");
  EXPECT_EQ(Call<kPaymentWrapper_REPRINT>(WithHandle(handle, "<Payment><Action>x</Action></Payment>")).error,
            "Action x invalid. Allowed values are: PAY,REFUND,VOID.");
  EXPECT_EQ(ClosedLog().find("Reprint"), std::string::npos);
}

TEST_F(Commands, DayCloseAnswersTenElements) {
  Answer missing = Call<kPaymentWrapper_DAYCLOSE>(WithHandle(handle, ""));
  EXPECT_EQ(missing.response,
            "<DeviceId></DeviceId>\r\n<ClosureDateTime>1899-12-30T00:00:00.000Z</ClosureDateTime>\r\n"
            "<ClosureNumber></ClosureNumber>\r\n<TransactionsCount>0</TransactionsCount>\r\n"
            "<TotalAmount>0</TotalAmount>\r\n<Currency></Currency>\r\n<ReceiptText></ReceiptText>\r\n"
            "<Error>True</Error>\r\n<ErrorText>DayClose node not found</ErrorText>\r\n<LogFileName></LogFileName>");
  EXPECT_EQ(missing.result, -1);

  ScriptedDevice::sDayClose = [](ScriptedDevice&, int_DAYCLOSE_result& r) {
    r.TotalAmount = Currency::FromScaled(12345000);
    r.TransactionsCount = 7;
  };
  Answer a = Call<kPaymentWrapper_DAYCLOSE>(WithHandle(handle, "<DayClose/>"));
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(Element(a.response, "TotalAmount"), "1234.5");
  EXPECT_EQ(Element(a.response, "TransactionsCount"), "7");
  EXPECT_EQ(Element(a.response, "LogFileName"), logFile);
  EXPECT_NE(Element(a.response, "ClosureDateTime"), "1899-12-30T00:00:00.000Z");
  EXPECT_NE(ClosedLog().find(" - " + std::string(55, '-') + " DayClose\r\n"), std::string::npos);
}

TEST_F(Commands, GetTotalsAnswersNineElements) {
  Answer missing = Call<kPaymentWrapper_GETTOTALS>(WithHandle(handle, "<DayClose/>"));
  EXPECT_EQ(missing.response,
            "<DeviceId></DeviceId>\r\n<DateTime>1899-12-30T00:00:00.000Z</DateTime>\r\n"
            "<TransactionsCount>0</TransactionsCount>\r\n<TotalAmount>0</TotalAmount>\r\n<Currency></Currency>\r\n"
            "<ReceiptText></ReceiptText>\r\n<Error>True</Error>\r\n<ErrorText>GetTotals node not found</ErrorText>\r\n"
            "<LogFileName></LogFileName>");
  Answer a = Call<kPaymentWrapper_GETTOTALS>(WithHandle(handle, "<GetTotals/>"));
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(ScriptedDevice::sLastOperation, "GetTotals");
  EXPECT_EQ(Element(a.response, "LogFileName"), logFile);
  EXPECT_NE(ClosedLog().find(" - " + std::string(55, '-') + " GetTotals\r\n"), std::string::npos);
}

TEST_F(Commands, CommandsWithoutAHandleCreateADeviceThatStaysOpen) {
  const std::string noHandle = "<Request><Driver>SCRIPTED</Driver><LogId>" + TestLogId() +
                               "</LogId><Connection><Type>HTTP</Type></Connection>";
  EXPECT_EQ(Call<kPaymentWrapper_PAY>(noHandle + "<Payment/></Request>").result, 0);
  EXPECT_EQ(Call<kPaymentWrapper_DAYCLOSE>(noHandle + "<DayClose/></Request>").result, 0);
  EXPECT_EQ(Call<kPaymentWrapper_GETTOTALS>(noHandle + "<GetTotals/></Request>").result, 0);
  EXPECT_EQ(library->Devices().Count(), 4u);
  // A bad section creates nothing.
  EXPECT_EQ(Call<kPaymentWrapper_PAY>(noHandle + "<Payment><Action>no</Action></Payment></Request>").result, -1);
  EXPECT_EQ(library->Devices().Count(), 4u);
  EXPECT_EQ(library->Devices().HandleCounter(), 4);
}

TEST_F(Commands, GetStatusNeedsNoDevice) {
  for (const char* request : {"", "not xml", "<R><Handle>42</Handle></R>"}) {
    Answer a = Call<kPaymentWrapper_GETSTATUS>(request);
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.error, "");
    EXPECT_EQ(Element(a.response, "Error"), "False");
  }
}

TEST_F(Commands, TheDeviceLogIsFramedByItsBanners) {
  Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>"));
  Call<kPaymentWrapper_CLOSE>(WithHandle(handle, ""));
  const std::string log = ReadFile(logFile);
  const size_t start = log.find(U8(kIOHandler::kStartBanner));
  const size_t pay = log.find(std::string(60, '-') + " Pay");
  const size_t stop = log.find(U8(kIOHandler::kStopBanner));
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(stop, std::string::npos);
  EXPECT_LT(start, pay);
  EXPECT_LT(pay, stop);
  EXPECT_EQ(log.size(), stop + 61 + 2);
}

// The four device entries as the command frame runs them.
struct Entry {
  const char* command;
  Answer (*call)(const std::string&);
  const char* section;
  std::string banner;  // the line the entry writes into the log, or "" for none
  const char* moment;  // the element holding the time of the call, or "" for none
  bool namesLog;       // LogFileName names the device log
};

const Entry kEntries[] = {
    {"PAY", &Call<kPaymentWrapper_PAY>, "<Payment/>", std::string(60, '-') + " Pay", "PaymentDateTime", true},
    {"REPRINT", &Call<kPaymentWrapper_REPRINT>, "<Payment/>", "", "", false},
    {"DAYCLOSE", &Call<kPaymentWrapper_DAYCLOSE>, "<DayClose/>", std::string(55, '-') + " DayClose",
     "ClosureDateTime", true},
    {"GETTOTALS", &Call<kPaymentWrapper_GETTOTALS>, "<GetTotals/>", std::string(55, '-') + " GetTotals", "DateTime",
     true},
};

// The messages of a device log's lines, without their time stamps.
std::vector<std::string> LogMessages(const std::string& aLog) {
  std::vector<std::string> messages;
  size_t start = 0;
  while (start < aLog.size()) {
    size_t end = aLog.find("\r\n", start);
    if (end == std::string::npos) end = aLog.size();
    const std::string line = aLog.substr(start, end - start);
    const size_t dash = line.find(" - ");
    messages.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
    start = end + 2;
  }
  return messages;
}

TEST_F(Commands, EachEntryWritesItsBannerLogNameAndTimeOfCall) {
  std::vector<std::pair<const Entry*, std::string>> logs;
  for (const Entry& e : kEntries) {
    SCOPED_TRACE(e.command);
    const auto [opened, log] = OpenDevice(TestLogId() + "_" + e.command);
    const std::string before = U8(FormatIsoZ(Now()));
    Answer a = e.call(WithHandle(opened, e.section));
    const std::string after = U8(FormatIsoZ(Now()));
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(Element(a.response, "LogFileName"), e.namesLog ? log : "");
    if (*e.moment != '\0') {
      const std::string at = Element(a.response, e.moment);
      EXPECT_LE(before, at);
      EXPECT_LE(at, after);
    }
    logs.emplace_back(&e, log);
  }
  library.reset();  // every log complete
  for (const auto& [e, log] : logs) {
    std::vector<std::string> expected{U8(kIOHandler::kStartBanner)};
    if (!e->banner.empty()) expected.push_back(e->banner);
    expected.push_back(U8(kIOHandler::kStopBanner));
    EXPECT_EQ(LogMessages(ReadFile(log)), expected) << e->command;
  }
}

TEST_F(Commands, EachEntryAnswersTheIOHandlersErrorOverTheOperationsText) {
  ScriptedDevice::sAny = [](ScriptedDevice& d, bool& aError, Text& aErrorText) {
    aError = true;
    aErrorText = u"from the operation";
    d.IOHandler().SetCustomError(5, u"from the handler <&>");
  };
  for (const Entry& e : kEntries) {
    SCOPED_TRACE(e.command);
    Answer a = e.call(WithHandle(handle, e.section));
    EXPECT_EQ(a.error, "from the handler <&>");
    EXPECT_EQ(Element(a.response, "ErrorText"), "from the handler &lt;&amp;&gt;");
    EXPECT_EQ(Element(a.response, "Error"), "True");
    EXPECT_EQ(a.result, -1);
  }
}

TEST_F(Commands, TheResultFollowsErrorNotTheErrorText) {
  const struct {
    bool error;
    const char16_t* operationText;
    const char16_t* handlerText;  // an error the I/O handler records, or null
    const char* errorText;
    int16_t result;
  } cases[] = {
      {false, u"a note", nullptr, "a note", 0},
      {false, u"", u"handler note", "handler note", 0},
      {true, u"", nullptr, "", -1},
  };
  for (const Entry& e : kEntries) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(e.command) + " " + c.errorText);
      ScriptedDevice::sAny = [&c](ScriptedDevice& d, bool& aError, Text& aErrorText) {
        aError = c.error;
        aErrorText = c.operationText;
        if (c.handlerText != nullptr) d.IOHandler().SetCustomError(1, c.handlerText);
      };
      Answer a = e.call(WithHandle(handle, e.section));
      EXPECT_EQ(a.result, c.result);
      EXPECT_EQ(Element(a.response, "Error"), c.error ? "True" : "False");
      EXPECT_EQ(Element(a.response, "ErrorText"), c.errorText);
      EXPECT_EQ(a.error, c.errorText);
    }
  }
}

TEST_F(Commands, AFailedPayLeavesNoTextForTheNextCommand) {
  for (const Entry& e : kEntries) {
    SCOPED_TRACE(e.command);
    ScriptedDevice::sPay = [](ScriptedDevice& d, int_PAY_result& r) {
      r.Error = true;
      d.IOHandler().SetCustomError(500, u"provider down");
    };
    ASSERT_EQ(Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>")).error, "provider down");
    ScriptedDevice::sPay = nullptr;
    Answer next = e.call(WithHandle(handle, e.section));
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.error, "");
    EXPECT_EQ(Element(next.response, "Error"), "False");
    EXPECT_EQ(Element(next.response, "ErrorText"), "");
  }
}

TEST_F(Commands, EveryTextFieldOfThePayAnswerIsEscaped) {
  static const std::pair<const char*, Text int_PAY_result::*> kTextFields[] = {
      {"DeviceId", &int_PAY_result::DeviceId},
      {"PaymentNumber", &int_PAY_result::PaymentNumber},
      {"PaymentCurrency", &int_PAY_result::PaymentCurrency},
      {"PaymentCurrencyCurrency", &int_PAY_result::PaymentCurrencyCurrency},
      {"MaskedPAN", &int_PAY_result::MaskedPAN},
      {"SerialNumber", &int_PAY_result::SerialNumber},
      {"AuthCode", &int_PAY_result::AuthCode},
      {"TraceAuditId", &int_PAY_result::TraceAuditId},
      {"CustomerCountryCode", &int_PAY_result::CustomerCountryCode},
      {"CardToken", &int_PAY_result::CardToken},
      {"RefundReference", &int_PAY_result::RefundReference},
      {"ReceiptText", &int_PAY_result::ReceiptText},
      {"CashierReceiptText", &int_PAY_result::CashierReceiptText},
      {"ErrorText", &int_PAY_result::ErrorText},
      {"LogFileName", &int_PAY_result::LogFileName},
  };
  // Each field gets a text of its own, so that a field written in another's place shows.
  ScriptedDevice::sPay = [](ScriptedDevice&, int_PAY_result& r) {
    for (const auto& [name, field] : kTextFields) r.*field = u"<&\"'" + T(name);
  };
  Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment/>"));
  for (const auto& [name, field] : kTextFields)
    EXPECT_EQ(Element(a.response, name), std::string("&lt;&amp;&quot;&apos;") + name);
  EXPECT_EQ(a.error, "<&\"'ErrorText");  // the separate error text is never escaped
  EXPECT_EQ(a.result, 0);
}

TEST_F(Commands, AHugeRequestValueComesBackCut) {
  const std::string amount = zvtest::LongValue(10 * 1024 * 1024);
  Answer a = Call<kPaymentWrapper_PAY>(WithHandle(handle, "<Payment><Amount>" + amount + "</Amount></Payment>"));
  const std::string expected = "Error in processing node Amount as currency.\r\n'" + zvtest::Quoted(amount) +
                               "' is not a valid floating point value";
  ASSERT_LT(a.error.size(), 1000u);  // a failure here would print megabytes
  EXPECT_EQ(a.error, expected);
  EXPECT_EQ(Element(a.response, "ErrorText"), zvtest::U8(kPaymentWrapper::EscapeXML(T(expected))));
}

}  // namespace
