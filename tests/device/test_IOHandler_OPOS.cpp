// The OPOS I/O handler against the simulated fiscal printer, loaded as the control
// plug-in through ZV_OPOS_FISCALPRINTER as any installed control is.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "HostLibrary.h"
#include "ZvOposFiscalPrinter.h"
#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_OPOS.h"
#include "device/uZvDeviceHandler.h"
#include "platform/Clock.h"
#include "test_IOHandler_Support.h"

namespace zv {
namespace {

using zvtest::FailureOf;
using zvtest::LogDir;
using zvtest::LogLines;
using zvtest::T;
using zvtest::U8;

constexpr char kStart[] = "I *************************** START ***************************";
constexpr char kStop[] = "I *************************** STOP ****************************";

// Sets an environment variable (or removes it) while it lives; the former value
// comes back at destruction.
class ScopedEnv {
 public:
  ScopedEnv(const char* aName, const std::optional<std::string>& aValue) : fName(aName) {
    if (const char* old = std::getenv(aName)) fOld = old;
    if (aValue)
      ::setenv(aName, aValue->c_str(), 1);
    else
      ::unsetenv(aName);
  }
  ~ScopedEnv() {
    if (fOld)
      ::setenv(fName, fOld->c_str(), 1);
    else
      ::unsetenv(fName);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* fName;
  std::optional<std::string> fOld;
};

std::vector<std::string> FileLines(const std::filesystem::path& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Each test has a printer of its own: the simulator keeps one printer per journal.
class OposHandler : public testing::Test {
 protected:
  LogDir fDir;
  std::filesystem::path fJournal = fDir.Path() / "journal.txt";
  std::filesystem::path fControl = fDir.Path() / "control.txt";
  std::filesystem::path fCalls = fDir.Path() / "calls.txt";
  ScopedEnv fPlugin{"ZV_OPOS_FISCALPRINTER", std::string(ZV_FISCAL_PRINTER_SIM_PATH)};
  ScopedEnv fJournalEnv{"FPSIM_JOURNAL", fJournal.string()};
  ScopedEnv fControlEnv{"FPSIM_CONTROL", fControl.string()};
  ScopedEnv fCallsEnv{"FPSIM_CALLS", fCalls.string()};
  ScopedEnv fDeviceEnv{"FPSIM_DEVICE_NAME", std::nullopt};
  ScopedEnv fVersionEnv{"FPSIM_TABLE_VERSION", std::nullopt};
  ScopedEnv fSizeEnv{"FPSIM_TABLE_SIZE", std::nullopt};
  ScopedEnv fOmitEnv{"FPSIM_TABLE_OMIT", std::nullopt};
  ScopedEnv fNoTableEnv{"FPSIM_NO_TABLE", std::nullopt};
  ScopedEnv fNoControlEnv{"FPSIM_NO_CONTROL", std::nullopt};
  ScopedEnv fRewriteEnv{"FPSIM_TABLE_REWRITE", std::nullopt};

  std::unique_ptr<kIOHandler_OPOS> Make(const std::string& aDeviceName = "FiscalPrinterSim",
                                        const std::string& aLogName = "OPOS_Test") {
    kConnection connection;
    connection.SetDeviceName(T(aDeviceName));
    connection.SetConnectTimeOut(300);
    return std::make_unique<kIOHandler_OPOS>(&connection, fDir.Dir(), T(aLogName));
  }
  std::filesystem::path LogFile(const std::string& aLogName = "OPOS_Test") const {
    return fDir.Path() / (aLogName + "_" + zvtest::Today() + ".log");
  }
  // The log lines after the connect sequence's first lines (START, banner, class,
  // version, time-outs and the device name).
  std::vector<std::string> LogAfterConnect(const std::string& aLogName = "OPOS_Test") const {
    std::vector<std::string> lines = LogLines(LogFile(aLogName));
    return lines.size() > 7 ? std::vector<std::string>(lines.begin() + 7, lines.end()) : lines;
  }
  void Control(const std::string& aLine) {
    std::ofstream out(fControl, std::ios::app);
    out << aLine << '\n';
  }
  // Every call the control received with its arguments, in order (the simulator's call
  // record: texts quoted, CR and LF as \r and \n).
  std::vector<std::string> Calls() const { return FileLines(fCalls); }
  // The journal with the printer's date and time stamps replaced by <stamp>.
  std::vector<std::string> Journal() const {
    static const std::regex kStamp(R"(\d{2}/\d{2}/\d{4} \d{2}:\d{2})");
    std::vector<std::string> lines = FileLines(fJournal);
    for (std::string& line : lines) line = std::regex_replace(line, kStamp, "<stamp>");
    return lines;
  }
};

Currency C(const char* aText) { return *Currency::Parse(T(aText)); }

TEST_F(OposHandler, CompleteFiscalReceipt) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    EXPECT_TRUE(h->Connected());
    EXPECT_TRUE(h->BeginFiscalReceipt());
    EXPECT_TRUE(h->PrintRecItem(u"4711", u"Espresso", C("2"), u"pc", 1, C("1.2"), C("2.4")));
    EXPECT_TRUE(h->PrintRecItem(u"4712", u"Croissant", C("1"), u"", 2, C("0"), C("1.5")));
    EXPECT_TRUE(h->PrintRecItemAdjustment(1, u"Promo", C("0.4"), 2));
    EXPECT_TRUE(h->PrintRecSubtotal(C("3.5")));
    EXPECT_TRUE(h->PrintRecTotal(C("3.5"), C("5"), u"Cash"));
    EXPECT_TRUE(h->EndFiscalReceipt());
    int32_t state = 0;
    EXPECT_TRUE(h->PrinterState(state));
    EXPECT_EQ(state, 1);  // back in the monitor state
    EXPECT_FALSE(h->ErrorFound());
    EXPECT_TRUE(h->Disconnect());
    EXPECT_FALSE(h->Connected());
  }
  EXPECT_EQ(LogLines(LogFile()), (std::vector<std::string>{
                                     kStart,
                                     "I *************************************************************",
                                     "I kIOHandler_OPOS",
                                     "I ",
                                     "I ConnectTimeout=300",
                                     "I ReadTimeout=1000",
                                     "I DeviceName=FiscalPrinterSim",
                                     "I [Connect]->Open(FiscalPrinterSim)",
                                     "I [Connect]->ClaimDevice(300)",
                                     "I [Connect]->DeviceEnabled:=true",
                                     "I [BeginFiscalReceipt]->BeginFiscalReceipt(true)",
                                     "I [PrintRecItem]->PrintRecItem('Espresso',2.4,2,1,1.2,'pc')",
                                     "I [PrintRecItem]->PrintRecItem('Croissant',1.5,1,2,0,'')",
                                     "I [PrintRecItemAdjustment]->PrintRecItemAdjustment(1,'Promo',0.4,2)",
                                     "I [PrintRecSubtotal]->PrintRecSubTotal(3.5)",
                                     "I [PrintRecTotal]->PrintRecTotal(3.5,5,'Cash')",
                                     "I [EndFiscalReceipt]->EndFiscalReceipt(false)",
                                     "I [PrinterState]->PrinterState(aPrinterState)",
                                     "I [PrinterState]->aPrinterState=1",
                                     "I [Disconnect]->DeviceEnabled:=false",
                                     "I [Disconnect]->ReleaseDevice",
                                     "I [Disconnect]->Close",
                                     kStop,
                                 }));
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "FISCAL PRINTER SIMULATOR",
                           "<stamp>",
                           "  2 pc x 1.20",
                           "Espresso                         2.40 V1",
                           "Croissant                        1.50 V2",
                           "Promo                           -0.40 V2",
                           "SUBTOTAL                            3.50",
                           "TOTAL                               3.50",
                           "Cash                                5.00",
                           "CHANGE                              1.50",
                           "RECEIPT NO. 1           <stamp>",
                           "** FISCAL RECEIPT **",
                       }));
}

// Open answering 109 stops the sequence before ClaimDevice, but an open was attempted:
// Connected is true, and destroying the handler runs the disconnect sequence.
// What the control receives: the arguments of each call as the handler passes them
// (the log shows its own order and units).
TEST_F(OposHandler, WhatTheControlReceives) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"", true));
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"A", false));
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"B", false));
    EXPECT_TRUE(h->BeginFiscalReceipt());
    EXPECT_TRUE(h->PrintRecItem(u"4711", u"Espresso", C("2"), u"pc", 1, C("1.2"), C("2.4")));
    EXPECT_TRUE(h->PrintRecItemVoid(u"4711", u"Espresso", C("2"), u"pc", 1, C("1.2"), C("2.4")));
    EXPECT_TRUE(h->PrintRecItem(u"4712", u"Tea", C("1"), u"", 2, C("0"), C("3")));
    EXPECT_TRUE(h->PrintRecTotal(C("3"), C("5"), u"Cash"));
    EXPECT_TRUE(h->EndFiscalReceipt());
    EXPECT_TRUE(h->Disconnect());
  }
  EXPECT_EQ(Calls(), (std::vector<std::string>{
                         "Open 'FiscalPrinterSim'",
                         "ClaimDevice 300",  // the connect time-out, not the read time-out
                         "SetDeviceEnabled 1",
                         "GetDeviceEnabled",
                         "SetAdditionalTrailer ''",
                         "GetAdditionalTrailer",
                         "SetAdditionalTrailer 'A\\r\\n'",
                         "GetAdditionalTrailer",
                         "SetAdditionalTrailer 'A\\r\\nB\\r\\n'",
                         "BeginFiscalReceipt 1",
                         // description, price, quantity in thousandths, VAT, unit price, unit
                         "PrintRecItem 'Espresso' 24000 2000 1 12000 'pc'",
                         "PrintRecItemVoid 'Espresso' 24000 2000 1 12000 'pc'",
                         "PrintRecItem 'Tea' 30000 1000 2 0 ''",
                         "PrintRecTotal 30000 50000 'Cash'",
                         "EndFiscalReceipt 0",
                         "SetDeviceEnabled 0",
                         "GetDeviceEnabled",
                         "ReleaseDevice",
                         "Close",
                     }));
}

TEST_F(OposHandler, OpenFailingWithNoExistLeavesADisconnectOwed) {
  {
    auto h = Make("NoSuchPrinter");
    EXPECT_FALSE(h->Connect());
    EXPECT_TRUE(h->Connected());
    EXPECT_TRUE(h->ErrorFound());
    EXPECT_EQ(h->ErrorCode(), 109);
    EXPECT_EQ(U8(h->ErrorMessage()), "[109] OPOS_E_NOEXIST - No fiscal printer is configured as 'NoSuchPrinter'");
  }
  EXPECT_EQ(LogAfterConnect(), (std::vector<std::string>{
                                   "I [Connect]->Open(NoSuchPrinter)",
                                   "E [109] OPOS_E_NOEXIST - No fiscal printer is configured as 'NoSuchPrinter'",
                                   "I [Disconnect]->DeviceEnabled:=false",
                                   "I [Disconnect]->ReleaseDevice",
                                   "E [101] OPOS_E_CLOSED - The control is not open",
                                   kStop,
                               }));
}

TEST_F(OposHandler, DestroyingAConnectedHandlerDisconnects) {
  { ASSERT_TRUE(Make()->Connect()); }
  // The printer is free again: a second handler claims it at once.
  {
    auto h = Make("FiscalPrinterSim", "OPOS_Second");
    EXPECT_TRUE(h->Connect());
  }
  EXPECT_EQ(LogAfterConnect(), (std::vector<std::string>{
                                   "I [Connect]->Open(FiscalPrinterSim)",
                                   "I [Connect]->ClaimDevice(300)",
                                   "I [Connect]->DeviceEnabled:=true",
                                   "I [Disconnect]->DeviceEnabled:=false",
                                   "I [Disconnect]->ReleaseDevice",
                                   "I [Disconnect]->Close",
                                   kStop,
                               }));
}

TEST_F(OposHandler, ConnectSequenceSteps) {
  auto first = Make();
  ASSERT_TRUE(first->Connect());
  // A connected handler disconnects before it opens again.
  EXPECT_TRUE(first->Connect());
  // Another handler of the same printer waits ConnectTimeout for the claim, and owes a
  // disconnect of the open that succeeded.
  auto second = Make("FiscalPrinterSim", "OPOS_Second");
  EXPECT_FALSE(second->Connect());
  EXPECT_TRUE(second->Connected());
  EXPECT_EQ(U8(second->ErrorMessage()), "[112] OPOS_E_TIMEOUT - The device is claimed by another control");
  second.reset();
  first.reset();
  EXPECT_EQ(LogAfterConnect(), (std::vector<std::string>{
                                   "I [Connect]->Open(FiscalPrinterSim)",
                                   "I [Connect]->ClaimDevice(300)",
                                   "I [Connect]->DeviceEnabled:=true",
                                   "I *************************************************************",
                                   "I kIOHandler_OPOS",
                                   "I ",
                                   "I ConnectTimeout=300",
                                   "I ReadTimeout=1000",
                                   "I DeviceName=FiscalPrinterSim",
                                   "I [Disconnect]->DeviceEnabled:=false",
                                   "I [Disconnect]->ReleaseDevice",
                                   "I [Disconnect]->Close",
                                   "I [Connect]->Open(FiscalPrinterSim)",
                                   "I [Connect]->ClaimDevice(300)",
                                   "I [Connect]->DeviceEnabled:=true",
                                   "I [Disconnect]->DeviceEnabled:=false",
                                   "I [Disconnect]->ReleaseDevice",
                                   "I [Disconnect]->Close",
                                   kStop,
                               }));
  EXPECT_EQ(LogAfterConnect("OPOS_Second"),
            (std::vector<std::string>{
                "I [Connect]->Open(FiscalPrinterSim)",
                "I [Connect]->ClaimDevice(300)",
                "E [112] OPOS_E_TIMEOUT - The device is claimed by another control",
                "I [Disconnect]->DeviceEnabled:=false",
                "I [Disconnect]->ReleaseDevice",
                "E [106] OPOS_E_ILLEGAL - The device is not claimed by this control",
                kStop,
            }));
}

// DeviceEnabled that does not take the value written: Connect answers false and still
// owes a disconnect; Disconnect then neither releases nor closes, answers false and
// counts as done.
TEST_F(OposHandler, DeviceEnabledThatDoesNotChange) {
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  Control("enable stuck");
  EXPECT_FALSE(h->Disconnect());
  EXPECT_FALSE(h->Connected());
  EXPECT_FALSE(h->ErrorFound());
  Control("enable normal");
  EXPECT_TRUE(h->Disconnect());  // the device was still claimed and open
  EXPECT_FALSE(h->Connected());
  auto second = Make("FiscalPrinterSim", "OPOS_Second");
  Control("enable stuck");
  EXPECT_FALSE(second->Connect());
  EXPECT_TRUE(second->Connected());
  EXPECT_FALSE(second->ErrorFound());
  Control("enable normal");
  second.reset();
  h.reset();
  EXPECT_EQ(LogAfterConnect(), (std::vector<std::string>{
                                   "I [Connect]->Open(FiscalPrinterSim)",
                                   "I [Connect]->ClaimDevice(300)",
                                   "I [Connect]->DeviceEnabled:=true",
                                   "I [Disconnect]->DeviceEnabled:=false",
                                   "I [Disconnect]->DeviceEnabled:=false",
                                   "I [Disconnect]->ReleaseDevice",
                                   "I [Disconnect]->Close",
                                   kStop,
                               }));
  EXPECT_EQ(LogAfterConnect("OPOS_Second"), (std::vector<std::string>{
                                                "I [Connect]->Open(FiscalPrinterSim)",
                                                "I [Connect]->ClaimDevice(300)",
                                                "I [Connect]->DeviceEnabled:=true",
                                                "I [Disconnect]->DeviceEnabled:=false",
                                                "I [Disconnect]->ReleaseDevice",
                                                "I [Disconnect]->Close",
                                                kStop,
                                            }));
}

// A control that raises inside Connect or Disconnect: the sequence logs the message
// with its prefix, answers false and leaves Connected as it was.
TEST_F(OposHandler, ControlRaisingInConnectAndDisconnect) {
  auto h = Make();
  Control("fail SetDeviceEnabled 5 0 enable refused");
  EXPECT_FALSE(h->Connect());
  EXPECT_FALSE(h->Connected());
  Control("fail GetDeviceEnabled 6 0 status lost");
  EXPECT_FALSE(h->Connect());  // Open again is illegal: the first one stays
  EXPECT_TRUE(h->Connected());
  EXPECT_FALSE(h->Disconnect());
  EXPECT_TRUE(h->Connected());
  EXPECT_TRUE(h->Disconnect());
  EXPECT_FALSE(h->Connected());
  h.reset();
  EXPECT_EQ(LogAfterConnect(),
            (std::vector<std::string>{
                "I [Connect]->Open(FiscalPrinterSim)",
                "I [Connect]->ClaimDevice(300)",
                "I [Connect]->DeviceEnabled:=true",
                "E [Connect]:The fiscal printer control failed on the property DeviceEnabled (5): enable refused",
                "I *************************************************************",
                "I kIOHandler_OPOS",
                "I ",
                "I ConnectTimeout=300",
                "I ReadTimeout=1000",
                "I DeviceName=FiscalPrinterSim",
                "I [Connect]->Open(FiscalPrinterSim)",
                "E [106] OPOS_E_ILLEGAL - The control is already open",
                "I [Disconnect]->DeviceEnabled:=false",
                "E [Disconnect]:The fiscal printer control failed on the property DeviceEnabled (6): status lost",
                "I [Disconnect]->DeviceEnabled:=false",
                "I [Disconnect]->ReleaseDevice",
                "I [Disconnect]->Close",
                kStop,
            }));
}

TEST_F(OposHandler, ErrorTextsOfBothCodeTables) {
  struct Case {
    int Code, Extended;
    std::string Text;
  };
  const std::vector<Case> cases = {
      {101, 0, "[101] OPOS_E_CLOSED - x"},
      {102, 0, "[102] OPOS_E_CLAIMED - x"},
      {103, 0, "[103] OPOS_E_NOTCLAIMED - x"},
      {104, 0, "[104] OPOS_E_NOSERVICE - x"},
      {105, 0, "[105] OPOS_E_DISABLED - x"},
      {106, 0, "[106] OPOS_E_ILLEGAL - x"},
      {107, 0, "[107] OPOS_E_NOHARDWARE - x"},
      {108, 0, "[108] OPOS_E_OFFLINE - x"},
      {109, 0, "[109] OPOS_E_NOEXIST - x"},
      {110, 0, "[110] OPOS_E_EXISTS - x"},
      {111, 0, "[111] OPOS_E_FAILURE - x"},
      {112, 0, "[112] OPOS_E_TIMEOUT - x"},
      {113, 0, "[113] OPOS_E_BUSY - x"},
      {114, 0, "[114] OPOS_E_EXTENDED - x"},
      {115, 0, "[115] OPOS_E_DEPRECATED - x"},
      {150, 0, "[150] UNKNOWN - x"},
      {100, 0, "[100] UNKNOWN - x"},
      {-1, 0, "[-1] UNKNOWN - x"},
      // The extended code counts only with 114.
      {111, 203, "[111] OPOS_E_FAILURE - x"},
      {114, 201, "[114] OPOS_E_EXTENDED [201] OPOS_EFPTR_COVER_OPEN - x"},
      {114, 202, "[114] OPOS_E_EXTENDED [202] OPOS_EFPTR_JRN_EMPTY - x"},
      {114, 203, "[114] OPOS_E_EXTENDED [203] OPOS_EFPTR_REC_EMPTY - x"},
      {114, 204, "[114] OPOS_E_EXTENDED [204] OPOS_EFPTR_SLP_EMPTY - x"},
      {114, 205, "[114] OPOS_E_EXTENDED [205] OPOS_EFPTR_SLP_FORM - x"},
      {114, 206, "[114] OPOS_E_EXTENDED [206] OPOS_EFPTR_MISSING_DEVICES - x"},
      {114, 207, "[114] OPOS_E_EXTENDED [207] OPOS_EFPTR_WRONG_STATE - x"},
      {114, 208, "[114] OPOS_E_EXTENDED [208] OPOS_EFPTR_TECHNICAL_ASSISTANCE - x"},
      {114, 209, "[114] OPOS_E_EXTENDED [209] OPOS_EFPTR_CLOCK_ERROR - x"},
      {114, 210, "[114] OPOS_E_EXTENDED [210] OPOS_EFPTR_FISCAL_MEMORY_FULL - x"},
      {114, 211, "[114] OPOS_E_EXTENDED [211] OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED - x"},
      {114, 212, "[114] OPOS_E_EXTENDED [212] OPOS_EFPTR_FISCAL_TOTALS_ERROR - x"},
      {114, 213, "[114] OPOS_E_EXTENDED [213] OPOS_EFPTR_BAD_ITEM_QUANTITY - x"},
      {114, 214, "[114] OPOS_E_EXTENDED [214] OPOS_EFPTR_BAD_ITEM_AMOUNT - x"},
      {114, 215, "[114] OPOS_E_EXTENDED [215] OPOS_EFPTR_BAD_ITEM_DESCRIPTION - x"},
      {114, 216, "[114] OPOS_E_EXTENDED [216] OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW - x"},
      {114, 217, "[114] OPOS_E_EXTENDED [217] OPOS_EFPTR_BAD_VAT - x"},
      {114, 218, "[114] OPOS_E_EXTENDED [218] OPOS_EFPTR_BAD_PRICE - x"},
      {114, 219, "[114] OPOS_E_EXTENDED [219] OPOS_EFPTR_BAD_DATE - x"},
      {114, 220, "[114] OPOS_E_EXTENDED [220] OPOS_EFPTR_NEGATIVE_TOTAL - x"},
      {114, 221, "[114] OPOS_E_EXTENDED [221] OPOS_EFPTR_WORD_NOT_ALLOWED - x"},
      {114, 222, "[114] OPOS_E_EXTENDED [222] OPOS_EFPTR_BAD_LENGTH - x"},
      {114, 223, "[114] OPOS_E_EXTENDED [223] OPOS_EFPTR_MISSING_SET_CURRENCY - x"},
      {114, 224, "[114] OPOS_E_EXTENDED [224] OPOS_EFPTR_DAY_END_REQUIRED - x"},
      {114, 230, "[114] OPOS_E_EXTENDED [230] UNKNOWN - x"},
      {114, 200, "[114] OPOS_E_EXTENDED [200] UNKNOWN - x"},
      {150, 230, "[150] UNKNOWN - x"},
  };
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    Control(zvtest::Concat(std::string("fail PrintXReport "), std::to_string(c.Code), std::string(" "),
                           std::to_string(c.Extended), std::string(" x")));
    EXPECT_FALSE(h->PrintXReport());
    EXPECT_TRUE(h->ErrorFound());
    EXPECT_EQ(h->ErrorCode(), c.Code);
    EXPECT_EQ(U8(h->ErrorMessage()), c.Text);
  }
  // The control is asked for the extended code after 114 only.
  const std::vector<std::string> calls = Calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "GetResultCodeExtended"),
            std::count_if(cases.begin(), cases.end(), [](const Case& c) { return c.Code == 114; }));
  // The next success clears the error state.
  EXPECT_TRUE(h->PrintXReport());
  EXPECT_FALSE(h->ErrorFound());
  EXPECT_EQ(h->ErrorCode(), 0);
  EXPECT_EQ(U8(h->ErrorMessage()), "");
}

// A control that raises while a failure is being described: the exception reaches the
// caller, and the error state is the cleared one with the method's code already taken.
TEST_F(OposHandler, ControlRaisingWhileAFailureIsDescribed) {
  const std::pair<std::string, std::string> cases[] = {
      {"fail GetResultCodeExtended 6 0 lost",
       "The fiscal printer control failed on the property ResultCodeExtended (6): lost"},
      {"fail GetErrorString 7 0 gone", "The fiscal printer control failed on the property ErrorString (7): gone"},
  };
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  for (const auto& [fault, message] : cases) {
    SCOPED_TRACE(fault);
    Control("fail PrintXReport 111 0 earlier");
    EXPECT_FALSE(h->PrintXReport());
    ASSERT_TRUE(h->ErrorFound());
    Control("fail PrintXReport 114 203 paper");
    Control(fault);
    EXPECT_EQ(FailureOf([&] { h->PrintXReport(); }), message);
    EXPECT_FALSE(h->ErrorFound());
    EXPECT_EQ(h->ErrorCode(), 114);
    EXPECT_EQ(U8(h->ErrorMessage()), "");
  }
}

// Faults the printer finds itself: a call in the wrong state, the cover, the paper.
TEST_F(OposHandler, PrinterFaultsAnswerExtendedCodes) {
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  EXPECT_FALSE(h->PrintRecItem(u"", u"Tea", C("1"), u"", 1, C("0"), C("2")));
  EXPECT_EQ(U8(h->ErrorMessage()),
            "[114] OPOS_E_EXTENDED [207] OPOS_EFPTR_WRONG_STATE - PrintRecItem is not allowed in printer state 1");
  EXPECT_EQ(h->ErrorCode(), 114);
  Control("cover open");
  bool flag = false;
  EXPECT_TRUE(h->GetCoverOpen(flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(h->BeginFiscalReceipt());
  EXPECT_EQ(U8(h->ErrorMessage()), "[114] OPOS_E_EXTENDED [201] OPOS_EFPTR_COVER_OPEN - The printer cover is open");
  Control("cover closed");
  Control("paper near-end");
  EXPECT_TRUE(h->GetRecNearEnd(flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(h->GetRecEmpty(flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(h->PrintXReport());
  Control("paper empty");
  EXPECT_TRUE(h->GetRecEmpty(flag));
  EXPECT_TRUE(flag);
  EXPECT_FALSE(h->PrintXReport());
  EXPECT_EQ(U8(h->ErrorMessage()), "[114] OPOS_E_EXTENDED [203] OPOS_EFPTR_REC_EMPTY - The receipt paper is out");
  // The total must be the printer's.
  Control("paper normal");
  ASSERT_TRUE(h->BeginFiscalReceipt());
  ASSERT_TRUE(h->PrintRecItem(u"", u"Tea", C("1"), u"", 1, C("0"), C("2")));
  EXPECT_FALSE(h->PrintRecTotal(C("3"), C("3"), u"Cash"));
  EXPECT_EQ(U8(h->ErrorMessage()),
            "[114] OPOS_E_EXTENDED [214] OPOS_EFPTR_BAD_ITEM_AMOUNT - The total 3.00 differs from the printer's 2.00");
  EXPECT_TRUE(h->ResetPrinter());
}

// A receipt part paid and part not paid, and the cover and paper reads, with their log
// lines.
TEST_F(OposHandler, NotPaidAndCoverAndPaperReads) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    bool flag = false;
    Control("cover open");
    EXPECT_TRUE(h->GetCoverOpen(flag));
    EXPECT_TRUE(flag);
    Control("cover closed");
    EXPECT_TRUE(h->GetCoverOpen(flag));
    EXPECT_FALSE(flag);
    Control("paper empty");
    EXPECT_TRUE(h->GetRecEmpty(flag));
    EXPECT_TRUE(flag);
    Control("paper normal");
    EXPECT_TRUE(h->GetRecEmpty(flag));
    EXPECT_FALSE(flag);
    ASSERT_TRUE(h->BeginFiscalReceipt());
    ASSERT_TRUE(h->PrintRecItem(u"", u"Tea", C("1"), u"", 1, C("0"), C("3")));
    ASSERT_TRUE(h->PrintRecTotal(C("3"), C("1"), u"Cash"));
    EXPECT_TRUE(h->PrintRecNotPaid(C("2"), u"On account's"));
    EXPECT_TRUE(h->EndFiscalReceipt());
  }
  const std::vector<std::string> log = LogAfterConnect();
  ASSERT_GE(log.size(), 17u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.begin() + 17),
            (std::vector<std::string>{
                "I [GetCoverOpen]->CoverOpen(aResult)",
                "I [GetCoverOpen]->CoverOpen=True",
                "I [GetCoverOpen]->CoverOpen(aResult)",
                "I [GetCoverOpen]->CoverOpen=False",
                "I [GetRecEmpty]->RecEmpty(aResult)",
                "I [GetRecEmpty]->aResult=True",
                "I [GetRecEmpty]->RecEmpty(aResult)",
                "I [GetRecEmpty]->aResult=False",
                "I [BeginFiscalReceipt]->BeginFiscalReceipt(true)",
                "I [PrintRecItem]->PrintRecItem('Tea',3,1,1,0,'')",
                "I [PrintRecTotal]->PrintRecTotal(3,1,'Cash')",
                "I [PrintRecNotPaid]->PrintRecNotPaid('On account''s',2)",
                "I [EndFiscalReceipt]->EndFiscalReceipt(false)",
                "I [Disconnect]->DeviceEnabled:=false",
            }));
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "FISCAL PRINTER SIMULATOR",
                           "<stamp>",
                           "Tea                              3.00 V1",
                           "TOTAL                               3.00",
                           "Cash                                1.00",
                           "NOT PAID On account's               2.00",
                           "RECEIPT NO. 1           <stamp>",
                           "** FISCAL RECEIPT **",
                       }));
}

// Text arguments are quoted with inner quotes doubled; quantities reach the control
// in thousandths truncated toward zero, and the log shows their whole part.
TEST_F(OposHandler, QuotingAndQuantities) {
  struct Case {
    const char* Quantity;
    std::string LogLine;
    std::string QuantityLine;  // as the printer prints what it received
  } cases[] = {
      {"2.5", "I [PrintRecItem]->PrintRecItem('Kid''s ''best''',5,2,1,2,'kg')", "  2.5 kg x 2.00"},
      {"1.2345", "I [PrintRecItem]->PrintRecItem('Kid''s ''best''',5,1,1,2,'kg')", "  1.234 kg x 2.00"},
      {"0.9999", "I [PrintRecItem]->PrintRecItem('Kid''s ''best''',5,0,1,2,'kg')", "  0.999 kg x 2.00"},
  };
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    ASSERT_TRUE(h->BeginFiscalReceipt());
    for (const Case& c : cases) ASSERT_TRUE(h->PrintRecItem(u"", u"Kid's 'best'", C(c.Quantity), u"kg", 1, C("2"), C("5")));
    EXPECT_TRUE(h->PrintRecMessage(u"It's"));
    EXPECT_TRUE(h->PrintRecItemVoid(u"", u"O'Neil", C("1"), u"'", 3, C("0"), C("5")));
    EXPECT_TRUE(h->PrintRecRefund(u"", u"a'b", C("7"), u"x", 2, C("9"), C("1.25")));
    EXPECT_TRUE(h->PrintRecSubtotalAdjustment(3, u"10% 'off'", C("10")));
    EXPECT_TRUE(h->ResetPrinter());
    // A quantity whose thousandths do not fit the control's 32 bits is refused before
    // anything is sent.
    EXPECT_EQ(FailureOf([&] { h->PrintRecItem(u"", u"Bulk", C("2147484"), u"", 1, C("0"), C("1")); }),
              "Quantity 2147484 is out of range for the fiscal printer (at most 2147483.647 in magnitude)");
  }
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(c.LogLine);
  for (const char* line : {"I [PrintRecMessage]->PrintRecMessage('It''s')",
                           "I [PrintRecItemVoid]->PrintRecItemVoid('O''Neil',5,3,0,'''')",
                           "I [PrintRecRefund]->PrintRecRefund('a''b',1.25,2)",
                           "I [PrintRecSubtotalAdjustment]->PrintRecSubtotalAdjustment(3,'10% ''off''',10)",
                           "I [ResetPrinter]->ResetPrinter"})
    expected.push_back(line);
  std::vector<std::string> log = LogAfterConnect();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 4, log.end() - 4), expected);
  const std::vector<std::string> journal = Journal();
  for (const Case& c : cases) EXPECT_NE(std::find(journal.begin(), journal.end(), c.QuantityLine), journal.end())
      << c.QuantityLine;
}

// Below zero both the logged whole part and the thousandths are truncated toward zero
// (the printer refuses the item and names the quantity it received).
TEST_F(OposHandler, NegativeQuantitiesTruncateTowardZero) {
  struct Case {
    const char* Quantity;
    std::string LogLine;
    std::string Received;
  } cases[] = {
      {"-2.5", "I [PrintRecItem]->PrintRecItem('Tea',2,-2,1,1,'')", "-2.5"},
      {"-1.2345", "I [PrintRecItem]->PrintRecItem('Tea',2,-1,1,1,'')", "-1.234"},
      {"-0.0019", "I [PrintRecItem]->PrintRecItem('Tea',2,0,1,1,'')", "-0.001"},
  };
  const auto refusal = [](const std::string& aReceived) {
    return zvtest::Concat(std::string("[114] OPOS_E_EXTENDED [213] OPOS_EFPTR_BAD_ITEM_QUANTITY - The quantity "),
                          aReceived, std::string(" is not greater than 0"));
  };
  std::vector<std::string> expected;
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    ASSERT_TRUE(h->BeginFiscalReceipt());
    for (const Case& c : cases) {
      SCOPED_TRACE(c.Quantity);
      EXPECT_FALSE(h->PrintRecItem(u"", u"Tea", C(c.Quantity), u"", 1, C("1"), C("2")));
      EXPECT_EQ(U8(h->ErrorMessage()), refusal(c.Received));
      expected.push_back(c.LogLine);
      expected.push_back("E " + refusal(c.Received));
    }
    EXPECT_FALSE(h->PrintRecItemVoid(u"", u"Tea", C("-1.2345"), u"", 1, C("1"), C("2")));
    EXPECT_EQ(U8(h->ErrorMessage()), refusal("-1.234"));
  }
  const std::vector<std::string> log = LogAfterConnect();
  ASSERT_GE(log.size(), 4 + expected.size());
  EXPECT_EQ(std::vector<std::string>(log.begin() + 4, log.begin() + 4 + expected.size()), expected);
}

TEST_F(OposHandler, NonFiscalTrainingReportsAndProperties) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    EXPECT_TRUE(h->BeginNonFiscal());
    EXPECT_TRUE(h->PrintNormal(u"Opening 'hours'"));
    EXPECT_TRUE(h->EndNonFiscal());
    EXPECT_TRUE(h->BeginTraining());
    bool flag = false;
    EXPECT_TRUE(h->GetTrainingModeActive(flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(h->EndTraining());
    EXPECT_TRUE(h->SetFiscalReceiptType(4));
    EXPECT_TRUE(h->SetPreLine(u"Offer's"));
    EXPECT_TRUE(h->PrintXReport());
    EXPECT_TRUE(h->GetDayOpened(flag));
    EXPECT_FALSE(flag);
    int32_t memory = 0;
    EXPECT_TRUE(h->RemainingFiscalMemory(memory));
    EXPECT_EQ(memory, 1800);
    EXPECT_TRUE(h->PrintZReport());
    EXPECT_TRUE(h->RemainingFiscalMemory(memory));
    EXPECT_EQ(memory, 1799);
    EXPECT_TRUE(h->GetRecNearEnd(flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(h->PrintRecTaxid(u"IT'1"));  // not in a receipt
  }
  EXPECT_EQ(LogAfterConnect(),
            (std::vector<std::string>{
                "I [Connect]->Open(FiscalPrinterSim)",
                "I [Connect]->ClaimDevice(300)",
                "I [Connect]->DeviceEnabled:=true",
                "I [BeginNonFiscal]->BeginNonFiscal",
                "I [PrintNormal]->PrintNormal(2,'Opening ''hours''')",
                "I [EndNonFiscal]->EndNonFiscal",
                "I [BeginTraining]->BeginTraining",
                "I [GetTrainingModeActive]->TrainingModeActive(aResult)",
                "I [GetTrainingModeActive]->aResult=True",
                "I [EndTraining]->EndTraining",
                "I [SetFiscalReceiptType]->FiscalReceiptType=4",
                "I [SetPreLine]->PreLine='Offer''s'",
                "I [PrintXReport]->PrintXReport",
                "I [GetDayOpened]->DayOpened(aResult)",
                "I [GetDayOpened]->aResult=False",
                "I [RemainingFiscalMemory]->RemainingFiscalMemory(aRemainingFiscalMemory)",
                "I [RemainingFiscalMemory]->aRemainingFiscalMemory=1800",
                "I [PrintZReport]->PrintZReport",
                "I [RemainingFiscalMemory]->RemainingFiscalMemory(aRemainingFiscalMemory)",
                "I [RemainingFiscalMemory]->aRemainingFiscalMemory=1799",
                "I [GetRecNearEmpty]->RecNearEmpty(aResult)",
                "I [GetRecNearEmpty]->aResult=False",
                "I [PrintRecTaxid]->PrintRecTaxid('IT''1')",
                "E [114] OPOS_E_EXTENDED [207] OPOS_EFPTR_WRONG_STATE - PrintRecTaxID is not allowed in printer state 1",
                "I [Disconnect]->DeviceEnabled:=false",
                "I [Disconnect]->ReleaseDevice",
                "I [Disconnect]->Close",
                kStop,
            }));
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "Opening 'hours'",
                           "** NON-FISCAL DOCUMENT **",
                           "X REPORT",
                           "<stamp>",
                           "RECEIPTS                               0",
                           "DAILY TOTAL                         0.00",
                           "Z REPORT NO. 1",
                           "<stamp>",
                           "RECEIPTS                               0",
                           "DAILY TOTAL                         0.00",
                           "GRAND TOTAL                         0.00",
                       }));
}

TEST_F(OposHandler, AdditionalTrailerLines) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"", true));
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"A", false));
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"B'", false));
    ASSERT_TRUE(h->BeginFiscalReceipt());
    ASSERT_TRUE(h->PrintRecItem(u"", u"Tea", C("1"), u"", 1, C("0"), C("2")));
    ASSERT_TRUE(h->PrintRecTotal(C("2"), C("2"), u"Card"));
    ASSERT_TRUE(h->EndFiscalReceipt());
    // Clearing replaces the trailer.
    EXPECT_TRUE(h->SetAdditionalTrailerLine(u"Thanks", true));
    ASSERT_TRUE(h->BeginFiscalReceipt());
    ASSERT_TRUE(h->PrintRecItem(u"", u"Tea", C("1"), u"", 1, C("0"), C("2")));
    ASSERT_TRUE(h->PrintRecTotal(C("2"), C("2"), u"Card"));
    ASSERT_TRUE(h->EndFiscalReceipt());
  }
  const std::vector<std::string> log = LogAfterConnect();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.begin() + 6),
            (std::vector<std::string>{
                "I [SetAdditionalTrailerLine]->AdditionalTrailer=''",
                "I [SetAdditionalTrailerLine]->AdditionalTrailer=+'A'",
                "I [SetAdditionalTrailerLine]->AdditionalTrailer=+'B'''",
            }));
  EXPECT_NE(std::find(log.begin(), log.end(), "I [SetAdditionalTrailerLine]->AdditionalTrailer='Thanks'"), log.end());
  // The printer received "A\r\nB'\r\n": one trailer line each, nothing after them.
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "FISCAL PRINTER SIMULATOR",
                           "<stamp>",
                           "Tea                              2.00 V1",
                           "TOTAL                               2.00",
                           "Card                                2.00",
                           "A",
                           "B'",
                           "RECEIPT NO. 1           <stamp>",
                           "** FISCAL RECEIPT **",
                           "FISCAL PRINTER SIMULATOR",
                           "<stamp>",
                           "Tea                              2.00 V1",
                           "TOTAL                               2.00",
                           "Card                                2.00",
                           "Thanks",
                           "RECEIPT NO. 2           <stamp>",
                           "** FISCAL RECEIPT **",
                       }));
}

TEST_F(OposHandler, SetDateThenGetDate) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    const DateTime wanted = *TryEncodeDateTime({2024, 2, 1, 15, 30, 42, 500});
    EXPECT_TRUE(h->SetDate(wanted));
    DateTime date = 0;
    EXPECT_TRUE(h->GetDate(date));
    const DateTimeParts p = DecodeDateTime(date);
    EXPECT_EQ(std::vector<int>({p.Day, p.Month, p.Year, p.Hour, p.Minute, p.Second, p.Millisecond}),
              std::vector<int>({1, 2, 2024, 15, 30, 0, 0}));
  }
  const std::vector<std::string> log = LogAfterConnect();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.begin() + 6),
            (std::vector<std::string>{
                "I [SetDate]->SetDate('010220241530')",
                "I [GetDate]->GetDate",
                "I [GetDate]->aDate=010220241530",
            }));
}

TEST_F(OposHandler, GetDateReadsTheControlsText) {
  struct Case {
    std::string Text;
    std::string Failure;  // empty: read
    std::vector<int> Parts;
  } cases[] = {
      {"010220241530", "", {1, 2, 2024, 15, 30}},
      {"311220232359", "", {31, 12, 2023, 23, 59}},
      {"0102202415", "'' is not a valid integer value", {}},
      {"0a0220241530", "'0a' is not a valid integer value", {}},
      {"01022024 530", "' 5' is not a valid integer value", {}},
      {"0102$0241530", "'$024' is not a valid integer value", {}},
      {"300220241530", "'300220241530' is not a valid date and time (ddmmyyyyhhnn)", {}},
      {"010220242430", "'010220242430' is not a valid date and time (ddmmyyyyhhnn)", {}},
      {"0102202415301", "'0102202415301' is not a valid date and time (ddmmyyyyhhnn)", {}},
      {"01022024153x", "'3x' is not a valid integer value", {}},
  };
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    Control("date " + c.Text);
    DateTime date = 0;
    if (!c.Failure.empty()) {
      EXPECT_EQ(FailureOf([&] { h->GetDate(date); }), c.Failure);
      continue;
    }
    EXPECT_TRUE(h->GetDate(date));
    const DateTimeParts p = DecodeDateTime(date);
    EXPECT_EQ(std::vector<int>({p.Day, p.Month, p.Year, p.Hour, p.Minute, p.Second}),
              std::vector<int>({c.Parts[0], c.Parts[1], c.Parts[2], c.Parts[3], c.Parts[4], 0}));
  }
}

// A failed GetDate answers the local date and time and false.
TEST_F(OposHandler, GetDateFailureAnswersNow) {
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  Control("fail GetDate 111 0 clock lost");
  DateTime date = 0;
  const DateTime before = Now();
  EXPECT_FALSE(h->GetDate(date));
  const DateTime after = Now();
  EXPECT_GE(date, before);
  EXPECT_LE(date, after);
  EXPECT_EQ(U8(h->ErrorMessage()), "[111] OPOS_E_FAILURE - clock lost");
  h.reset();
  const std::vector<std::string> log = LogAfterConnect();
  EXPECT_EQ(std::count(log.begin(), log.end(), "I [GetDate]->GetDate"), 1);
  for (const std::string& line : log) EXPECT_EQ(line.find("aDate="), std::string::npos) << line;
}

TEST_F(OposHandler, GetDataAndDirectIO) {
  {
    auto h = Make();
    ASSERT_TRUE(h->Connect());
    Text output = u"stale";
    EXPECT_TRUE(h->GetData(9, 0, output));
    EXPECT_EQ(U8(output), "FPSIM-0001");
    output = u"stale";
    EXPECT_FALSE(h->GetData(99, 5, output));
    EXPECT_EQ(U8(output), "");
    EXPECT_EQ(U8(h->ErrorMessage()), "[106] OPOS_E_ILLEGAL - Unknown data item 99");
    int32_t data = 17;
    Text string = u"in'";
    EXPECT_TRUE(h->DirectIO(1, data, string));
    EXPECT_EQ(data, 0);
    EXPECT_EQ(U8(string), "FPSIM-0001");
    // A failed call still hands back what the control left.
    data = 3;
    string = u"x";
    EXPECT_FALSE(h->DirectIO(7, data, string));
    EXPECT_EQ(data, 0);
    EXPECT_EQ(U8(string), "Unknown DirectIO command 7");
    EXPECT_EQ(h->ErrorCode(), 106);
  }
  const std::vector<std::string> log = LogAfterConnect();
  ASSERT_GE(log.size(), 13u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 3, log.begin() + 13),
            (std::vector<std::string>{
                "I [GetData]->GetData(9,0,aOutput)",
                "I [GetData]->aOutput=FPSIM-0001",
                "I [GetData]->GetData(99,5,aOutput)",
                "E [106] OPOS_E_ILLEGAL - Unknown data item 99",
                "I [DirectIO]->DirectIO(1,17,'in''')",
                "I [DirectIO]->Output(Data:=0, Obj:='FPSIM-0001')",
                "I [DirectIO]->DirectIO(7,3,'x')",
                "I [DirectIO]->Output(Data:=0, Obj:='Unknown DirectIO command 7')",
                "E [106] OPOS_E_ILLEGAL - Unknown DirectIO command 7",
                "I [Disconnect]->DeviceEnabled:=false",
            }));
}

TEST_F(OposHandler, StreamOperationsAreUnsupported) {
  auto h = Make();
  kIOHandler& base = *h;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { base.Write(u"x"); }, "Write Unsupported"},
      {[&] { base.ReadUpTo({13}); }, "ReadUpto Unsupported"},
      {[&] { base.ReadChars(1); }, "ReadChars Unsupported"},
      {[&] { base.ReadAll(); }, "ReadAll Unsupported"},
      {[&] { base.InputBufferContainsData(); }, "InputBufferContainsData Unsupported"},
  };
  for (const auto& [action, message] : cases) EXPECT_EQ(FailureOf(action), message);
  EXPECT_EQ(U8(base.DecodeError(114)), "");
  base.ClearBuffers();
  base.SetParameter(u"a", u"b");
  EXPECT_FALSE(base.Connected());
}

// A control that cannot be made fails the handler's construction with the cause; the
// log it opened gets its START and STOP banners.
TEST_F(OposHandler, ControlThatCannotBeCreated) {
  const std::filesystem::path text = fDir.Path() / "not-a-library.so";
  std::ofstream(text) << "hello";
  const std::string prefix = "The OPOS FiscalPrinter control cannot be created: ";
  struct Case {
    std::optional<std::string> Plugin;
    std::optional<std::string> Variable;  // a FPSIM_ variable "NAME=value" spoiling the simulator
    std::string Message;                  // the start of the failure
  };
  const std::string sim = ZV_FISCAL_PRINTER_SIM_PATH;
  const std::string missing = (fDir.Path() / "missing.so").string();
  const Case cases[] = {
      {std::nullopt, std::nullopt,
       "the environment variable ZV_OPOS_FISCALPRINTER is not set (it names the shared object of the control)"},
      {std::string(), std::nullopt,
       "the environment variable ZV_OPOS_FISCALPRINTER is not set (it names the shared object of the control)"},
      {missing, std::nullopt, zvtest::Concat(std::string("'"), missing, std::string("' (ZV_OPOS_FISCALPRINTER) does not load: "))},
      {text.string(), std::nullopt,
       zvtest::Concat(std::string("'"), text.string(), std::string("' (ZV_OPOS_FISCALPRINTER) does not load: "))},
      {std::string(ZV_LIBRARY_PATH), std::nullopt,
       zvtest::Concat(std::string("'"), std::string(ZV_LIBRARY_PATH),
                      std::string("' exports no entry point ZvOposGetFiscalPrinter"))},
      {sim, std::string("FPSIM_TABLE_VERSION=2"),
       zvtest::Concat(std::string("'"), sim, std::string("' has a table of version 2; this driver needs version 1"))},
      {sim, std::string("FPSIM_NO_TABLE=1"),
       zvtest::Concat(std::string("'"), sim, std::string("' gives no table of FiscalPrinter functions"))},
      {sim, zvtest::Concat(std::string("FPSIM_TABLE_SIZE="), std::to_string(sizeof(ZvOposFiscalPrinterTable) - 1)),
       zvtest::Concat(std::string("'"), sim, std::string("' has a table of "),
                      std::to_string(sizeof(ZvOposFiscalPrinterTable) - 1), std::string(" bytes; version 1 has "),
                      std::to_string(sizeof(ZvOposFiscalPrinterTable)))},
      {sim, std::string("FPSIM_TABLE_OMIT=Create"),
       zvtest::Concat(std::string("'"), sim, std::string("' has no function for Create"))},
      {sim, std::string("FPSIM_TABLE_OMIT=PrintRecNotPaid"),
       zvtest::Concat(std::string("'"), sim, std::string("' has no function for PrintRecNotPaid"))},
      {sim, std::string("FPSIM_TABLE_OMIT=GetTrainingModeActive"),
       zvtest::Concat(std::string("'"), sim, std::string("' has no function for GetTrainingModeActive"))},
      {sim, std::string("FPSIM_NO_CONTROL=1"),
       zvtest::Concat(std::string("'"), sim, std::string("' made no control object"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Message);
    LogDir dir;
    ScopedEnv plugin("ZV_OPOS_FISCALPRINTER", c.Plugin);
    const std::string variable = c.Variable.value_or("FPSIM_TABLE_VERSION=1");
    const std::string name = variable.substr(0, variable.find('='));
    ScopedEnv spoil(name.c_str(), variable.substr(variable.find('=') + 1));
    kConnection connection;
    const std::string failure =
        FailureOf([&] { kIOHandler_OPOS handler(&connection, dir.Dir(), u"OPOS_None"); });
    EXPECT_EQ(failure.substr(0, prefix.size() + c.Message.size()), prefix + c.Message);
    EXPECT_EQ(LogLines(dir.Path() / ("OPOS_None_" + zvtest::Today() + ".log")),
              (std::vector<std::string>{kStart, kStop}));
  }
}

// A plug-in that rewrites its table after a control was made from it does not reach
// that control: a second creation that finds a member missing leaves the first alone.
TEST_F(OposHandler, ALiveControlKeepsTheTableItWasMadeWith) {
  ScopedEnv rewrite("FPSIM_TABLE_REWRITE", std::string("1"));
  auto h = Make();
  ASSERT_TRUE(h->Connect());
  {
    ScopedEnv omit("FPSIM_TABLE_OMIT", std::string("PrintXReport"));
    kConnection connection;
    EXPECT_NE(FailureOf([&] { kIOHandler_OPOS second(&connection, fDir.Dir(), u"OPOS_Second"); })
                  .find("has no function for PrintXReport"),
              std::string::npos);
  }
  EXPECT_TRUE(h->PrintXReport());
  EXPECT_TRUE(h->Disconnect());
}

std::unique_ptr<kIOHandler> FromRequest(const std::string& aRequest, const Text& aLogDir) {
  kDeviceHandler handler;
  handler.Deserialize(T(aRequest));
  return handler.CreateIOHandler(aLogDir);
}

TEST_F(OposHandler, FactoryMakesOposHandlers) {
  {
    auto handler = FromRequest("<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>F</LogId></OPEN>", fDir.Dir());
    EXPECT_NE(dynamic_cast<kIOHandler_OPOS*>(handler.get()), nullptr);  // no Connection: OPOS
    EXPECT_FALSE(handler->Connected());
  }
  auto handler = FromRequest(
      "<OPEN><Driver>ZVPA_LORVANI_10</Driver><LogId>G</LogId><Connection><Type>opos</Type>"
      "<DeviceName>Till 4</DeviceName><ConnectTimeout>2500</ConnectTimeout></Connection></OPEN>",
      fDir.Dir());
  auto* opos = dynamic_cast<kIOHandler_OPOS*>(handler.get());
  ASSERT_NE(opos, nullptr);
  EXPECT_EQ(U8(opos->DeviceName()), "Till 4");
  EXPECT_EQ(opos->ConnectTimeout(), 2500);
  EXPECT_EQ(U8(handler->GetLogFileName()), (fDir.Path() / ("ZVPA_LORVANI_10_G_" + zvtest::Today() + ".log")).string());
}

// OPEN through the library as a host calls it: a device without a Connection gets an
// OPOS handler; without a control the handler's failure is OPEN's, and with one the
// Lorvani device refuses a handler that is not HTTP. The device log is opened and
// closed either way.
TEST_F(OposHandler, OpenThroughTheLibrary) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt,
       "The OPOS FiscalPrinter control cannot be created: the environment variable ZV_OPOS_FISCALPRINTER is not set "
       "(it names the shared object of the control)"},
      {std::string(ZV_FISCAL_PRINTER_SIM_PATH), "Invalid class typecast"},
  };
  ScopedEnv logRoot("ZV_LOG_DIR", fDir.Path().string());
  zvtest::HostLibrary lib;
  int n = 0;
  for (const auto& [plugin, message] : cases) {
    SCOPED_TRACE(message);
    ScopedEnv env("ZV_OPOS_FISCALPRINTER", plugin);
    const std::string logId = "opos" + std::to_string(++n);
    const auto a = lib.Call("OPEN", T("<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>" + logId + "</LogId></Request>"));
    EXPECT_EQ(U8(a.error), message);
    EXPECT_EQ(a.result, 0xFFFF);
    EXPECT_EQ(LogLines(fDir.Path() / "LogFiles" / "Payment" / ("ZVPA_LORVANI_10_" + logId + "_" + zvtest::Today() + ".log")),
              (std::vector<std::string>{kStart, kStop}));
  }
}

}  // namespace
}  // namespace zv
