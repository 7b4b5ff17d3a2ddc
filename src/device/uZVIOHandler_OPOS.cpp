#include "device/uZVIOHandler_OPOS.h"

#include <cstdio>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string_view>
#include <limits>

#include "base/Exception.h"
#include "platform/Clock.h"
#include "platform/OposFiscalPrinter.h"

namespace zv {

namespace {

constexpr int32_t kExtended = 114;  // OPOS_E_EXTENDED: the extended code tells more
constexpr int32_t kReceiptStation = 2;

struct CodeName {
  int32_t Code;
  const char16_t* Name;
};

// OPOS result codes.
constexpr CodeName kResultCodes[] = {
    {101, u" OPOS_E_CLOSED"},     {102, u" OPOS_E_CLAIMED"},  {103, u" OPOS_E_NOTCLAIMED"},
    {104, u" OPOS_E_NOSERVICE"},  {105, u" OPOS_E_DISABLED"}, {106, u" OPOS_E_ILLEGAL"},
    {107, u" OPOS_E_NOHARDWARE"}, {108, u" OPOS_E_OFFLINE"},  {109, u" OPOS_E_NOEXIST"},
    {110, u" OPOS_E_EXISTS"},     {111, u" OPOS_E_FAILURE"},  {112, u" OPOS_E_TIMEOUT"},
    {113, u" OPOS_E_BUSY"},       {114, u" OPOS_E_EXTENDED"}, {115, u" OPOS_E_DEPRECATED"},
};

// Extended result codes of the fiscal printer.
constexpr CodeName kExtendedCodes[] = {
    {201, u" OPOS_EFPTR_COVER_OPEN"},
    {202, u" OPOS_EFPTR_JRN_EMPTY"},
    {203, u" OPOS_EFPTR_REC_EMPTY"},
    {204, u" OPOS_EFPTR_SLP_EMPTY"},
    {205, u" OPOS_EFPTR_SLP_FORM"},
    {206, u" OPOS_EFPTR_MISSING_DEVICES"},
    {207, u" OPOS_EFPTR_WRONG_STATE"},
    {208, u" OPOS_EFPTR_TECHNICAL_ASSISTANCE"},
    {209, u" OPOS_EFPTR_CLOCK_ERROR"},
    {210, u" OPOS_EFPTR_FISCAL_MEMORY_FULL"},
    {211, u" OPOS_EFPTR_FISCAL_MEMORY_DISCONNECTED"},
    {212, u" OPOS_EFPTR_FISCAL_TOTALS_ERROR"},
    {213, u" OPOS_EFPTR_BAD_ITEM_QUANTITY"},
    {214, u" OPOS_EFPTR_BAD_ITEM_AMOUNT"},
    {215, u" OPOS_EFPTR_BAD_ITEM_DESCRIPTION"},
    {216, u" OPOS_EFPTR_RECEIPT_TOTAL_OVERFLOW"},
    {217, u" OPOS_EFPTR_BAD_VAT"},
    {218, u" OPOS_EFPTR_BAD_PRICE"},
    {219, u" OPOS_EFPTR_BAD_DATE"},
    {220, u" OPOS_EFPTR_NEGATIVE_TOTAL"},
    {221, u" OPOS_EFPTR_WORD_NOT_ALLOWED"},
    {222, u" OPOS_EFPTR_BAD_LENGTH"},
    {223, u" OPOS_EFPTR_MISSING_SET_CURRENCY"},
    {224, u" OPOS_EFPTR_DAY_END_REQUIRED"},
};

template <size_t N>
const char16_t* NameOf(const CodeName (&aTable)[N], int32_t aCode) {
  for (const CodeName& entry : aTable)
    if (entry.Code == aCode) return entry.Name;
  return u" UNKNOWN";
}

// A text argument as the log shows it: in single quotes, each quote inside doubled.
Text Q(const Text& aText) { return Text(u"'").append(ReplaceAll(aText, u"'", u"''")).append(u"'"); }

const char16_t* BoolText(bool aValue) { return aValue ? u"True" : u"False"; }

// The control counts quantities in thousandths of a 32-bit integer.
int32_t Thousandths(Currency aQuantity) {
  const int64_t thousandths = aQuantity.Scaled() / 10;
  if (thousandths < std::numeric_limits<int32_t>::min() || thousandths > std::numeric_limits<int32_t>::max())
    throw kException(Text(u"Quantity ")
                         .append(aQuantity.ToText())
                         .append(u" is out of range for the fiscal printer (at most 2147483.647 in magnitude)"));
  return static_cast<int32_t>(thousandths);
}

Text WholePart(Currency aQuantity) { return IntToText(aQuantity.Scaled() / Currency::kScale); }

// One field of the printer's date text: decimal digits only, as the integer
// conversion reads them.
int DateField(const Text& aField) {
  bool digits = !aField.empty();
  for (char16_t c : aField) digits = digits && c >= u'0' && c <= u'9';
  int32_t value = 0;
  if (!digits || !TryTextToInt(aField, value))
    throw kException(Text(u"'").append(QuotedValue(aField)).append(u"' is not a valid integer value"));
  return value;
}

Text Substring(const Text& aText, size_t aStart, size_t aLength) {
  return aStart < aText.size() ? aText.substr(aStart, aLength) : Text();
}

using Control = platform::OposFiscalPrinter;

// The log line of one step: "[operation]->detail".
Text LogLine(std::u16string_view aOperation, std::u16string_view aDetail) {
  return Text(u"[").append(aOperation).append(u"]->").append(aDetail);
}

// "[operation]->member(arguments)", the arguments as the log shows them, joined by commas.
Text CallLine(std::u16string_view aOperation, std::u16string_view aMember, std::initializer_list<Text> aArguments) {
  Text line = LogLine(aOperation, aMember).append(u"(");
  for (const Text& argument : aArguments) {
    if (&argument != aArguments.begin()) line.append(u",");
    line.append(argument);
  }
  return line.append(u")");
}

// The line of an operation that calls the control's member of its own name without arguments.
Text Plain(std::u16string_view aOperation) { return LogLine(aOperation, aOperation); }

// Reads a flag of the control into aResult and gives it as the log shows it.
std::function<Text(Control&)> Flag(bool (Control::*aGetter)(), bool& aResult) {
  return [aGetter, &aResult](Control& c) -> Text {
    aResult = (c.*aGetter)();
    return BoolText(aResult);
  };
}

}  // namespace

kIOHandler_OPOS::kIOHandler_OPOS(const kConnection* aConnection, const Text& aDirectory, const Text& aFileName)
    : kIOHandler(aConnection, aDirectory, aFileName) {
  fOPOS = platform::OposFiscalPrinter::Create();
  if (aConnection != nullptr) fDeviceName = aConnection->DeviceName();
}

kIOHandler_OPOS::~kIOHandler_OPOS() {
  try {
    if (Connected()) Disconnect();
  } catch (...) {
    // Disconnect catches what the control raises; nothing else may end the destructor.
  }
  fOPOS.reset();
}

void kIOHandler_OPOS::Log(const Text& aLine) { Debug(tZV_MessageType::let_info, aLine); }

bool kIOHandler_OPOS::CheckResult(int32_t aCode) {
  // The code is taken before the control is asked more, which may raise.
  ClearError(aCode);
  if (aCode == 0) return true;
  const int32_t extended = aCode == kExtended ? fOPOS->ResultCodeExtended() : 0;
  const Text text = BuildErrorText(aCode, extended);
  Debug(tZV_MessageType::let_error, text);
  SetCustomError(aCode, text);
  return false;
}

Text kIOHandler_OPOS::BuildErrorText(int32_t aCode, int32_t aExtendedCode) {
  if (aCode == 0) return {};
  Text text = Text(u"[").append(IntToText(aCode)).append(u"]").append(NameOf(kResultCodes, aCode));
  if (aExtendedCode != 0)
    text.append(u" [").append(IntToText(aExtendedCode)).append(u"]").append(NameOf(kExtendedCodes, aExtendedCode));
  return text.append(u" - ").append(fOPOS->ErrorString());
}

bool kIOHandler_OPOS::Connect() {
  kIOHandler::Connect();
  Log(Text(u"DeviceName=").append(fDeviceName));
  try {
    if (Connected()) Disconnect();
    bool result = Step(CallLine(u"Connect", u"Open", {fDeviceName}), [&](Control& c) { return c.Open(fDeviceName); });
    // The claim waits as long as a connect may take.
    const int32_t claim = ConnectTimeout();
    result = result && Step(CallLine(u"Connect", u"ClaimDevice", {IntToText(claim)}),
                            [&](Control& c) { return c.ClaimDevice(claim); });
    if (result) {
      Log(LogLine(u"Connect", u"DeviceEnabled:=true"));
      fOPOS->SetDeviceEnabled(true);
      result = fOPOS->DeviceEnabled();
    }
    // An open was attempted: a Disconnect is owed whatever the steps answered.
    fConnected = true;
    return result;
  } catch (...) {
    Debug(tZV_MessageType::let_error, Text(u"[Connect]:").append(FailureMessage(std::current_exception())));
    return false;
  }
}

bool kIOHandler_OPOS::Disconnect() {
  try {
    Log(LogLine(u"Disconnect", u"DeviceEnabled:=false"));
    fOPOS->SetDeviceEnabled(false);
    bool result = false;
    if (!fOPOS->DeviceEnabled()) {
      result = Step(LogLine(u"Disconnect", u"ReleaseDevice"), &Control::ReleaseDevice) &&
               Step(LogLine(u"Disconnect", u"Close"), &Control::Close);
    }
    fConnected = false;
    return result;
  } catch (...) {
    Debug(tZV_MessageType::let_error, Text(u"[Disconnect]:").append(FailureMessage(std::current_exception())));
    return false;
  }
}

bool kIOHandler_OPOS::Write(const Text&) { throw kException(u"Write Unsupported"); }
Text kIOHandler_OPOS::ReadUpTo(const std::vector<uint8_t>&) { throw kException(u"ReadUpto Unsupported"); }
Text kIOHandler_OPOS::ReadChars(int32_t) { throw kException(u"ReadChars Unsupported"); }
Text kIOHandler_OPOS::ReadAll() { throw kException(u"ReadAll Unsupported"); }
bool kIOHandler_OPOS::InputBufferContainsData() { throw kException(u"InputBufferContainsData Unsupported"); }

bool kIOHandler_OPOS::Step(const Text& aLine, const std::function<int32_t(platform::OposFiscalPrinter&)>& aCall) {
  Log(aLine);
  return CheckResult(aCall(*fOPOS));
}

bool kIOHandler_OPOS::Report(const Text& aOperation, const Text& aRead, const Text& aShown,
                             const std::function<Text(platform::OposFiscalPrinter&)>& aGet) {
  Log(LogLine(aOperation, aRead));
  Log(LogLine(aOperation, aShown).append(u"=").append(aGet(*fOPOS)));
  return true;
}

bool kIOHandler_OPOS::BeginFiscalReceipt() {
  return Step(LogLine(u"BeginFiscalReceipt", u"BeginFiscalReceipt(true)"),
              [](Control& c) { return c.BeginFiscalReceipt(true); });
}

bool kIOHandler_OPOS::EndFiscalReceipt() {
  return Step(LogLine(u"EndFiscalReceipt", u"EndFiscalReceipt(false)"),
              [](Control& c) { return c.EndFiscalReceipt(false); });
}

bool kIOHandler_OPOS::BeginNonFiscal() { return Step(Plain(u"BeginNonFiscal"), &Control::BeginNonFiscal); }
bool kIOHandler_OPOS::EndNonFiscal() { return Step(Plain(u"EndNonFiscal"), &Control::EndNonFiscal); }
bool kIOHandler_OPOS::BeginTraining() { return Step(Plain(u"BeginTraining"), &Control::BeginTraining); }
bool kIOHandler_OPOS::EndTraining() { return Step(Plain(u"EndTraining"), &Control::EndTraining); }
bool kIOHandler_OPOS::ResetPrinter() { return Step(Plain(u"ResetPrinter"), &Control::ResetPrinter); }
bool kIOHandler_OPOS::PrintXReport() { return Step(Plain(u"PrintXReport"), &Control::PrintXReport); }
bool kIOHandler_OPOS::PrintZReport() { return Step(Plain(u"PrintZReport"), &Control::PrintZReport); }

bool kIOHandler_OPOS::PrintNormal(const Text& aText) {
  return Step(CallLine(u"PrintNormal", u"PrintNormal", {u"2", Q(aText)}),
              [&](Control& c) { return c.PrintNormal(kReceiptStation, aText); });
}

bool kIOHandler_OPOS::PrintRecMessage(const Text& aText) {
  return Step(CallLine(u"PrintRecMessage", u"PrintRecMessage", {Q(aText)}),
              [&](Control& c) { return c.PrintRecMessage(aText); });
}

bool kIOHandler_OPOS::PrintRecTaxid(const Text& aTaxId) {
  return Step(CallLine(u"PrintRecTaxid", u"PrintRecTaxid", {Q(aTaxId)}),
              [&](Control& c) { return c.PrintRecTaxID(aTaxId); });
}

// The log shows the whole quantity; the control gets it in thousandths.
bool kIOHandler_OPOS::PrintRecItem(const Text&, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                                   int32_t aVatCode, Currency aPrice, Currency aAmount) {
  const int32_t quantity = Thousandths(aQuantity);
  return Step(CallLine(u"PrintRecItem", u"PrintRecItem",
                       {Q(aDescription), CurrencyToText(aAmount), WholePart(aQuantity), IntToText(aVatCode),
                        CurrencyToText(aPrice), Q(aUOM)}),
              [&](Control& c) {
                return c.PrintRecItem(aDescription, aAmount.Scaled(), quantity, aVatCode, aPrice.Scaled(), aUOM);
              });
}

// The log leaves the quantity out.
bool kIOHandler_OPOS::PrintRecItemVoid(const Text&, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                                       int32_t aVatCode, Currency aPrice, Currency aAmount) {
  const int32_t quantity = Thousandths(aQuantity);
  return Step(CallLine(u"PrintRecItemVoid", u"PrintRecItemVoid",
                       {Q(aDescription), CurrencyToText(aAmount), IntToText(aVatCode), CurrencyToText(aPrice),
                        Q(aUOM)}),
              [&](Control& c) {
                return c.PrintRecItemVoid(aDescription, aAmount.Scaled(), quantity, aVatCode, aPrice.Scaled(), aUOM);
              });
}

bool kIOHandler_OPOS::PrintRecRefund(const Text&, const Text& aDescription, Currency, const Text&, int32_t aVatCode,
                                     Currency, Currency aAmount) {
  return Step(CallLine(u"PrintRecRefund", u"PrintRecRefund", {Q(aDescription), CurrencyToText(aAmount), IntToText(aVatCode)}),
              [&](Control& c) { return c.PrintRecRefund(aDescription, aAmount.Scaled(), aVatCode); });
}

bool kIOHandler_OPOS::PrintRecItemAdjustment(int32_t aAdjType, const Text& aDescription, Currency aAmount,
                                             int32_t aVatCode) {
  return Step(CallLine(u"PrintRecItemAdjustment", u"PrintRecItemAdjustment",
                       {IntToText(aAdjType), Q(aDescription), CurrencyToText(aAmount), IntToText(aVatCode)}),
              [&](Control& c) { return c.PrintRecItemAdjustment(aAdjType, aDescription, aAmount.Scaled(), aVatCode); });
}

bool kIOHandler_OPOS::PrintRecSubtotal(Currency aAmount) {
  return Step(CallLine(u"PrintRecSubtotal", u"PrintRecSubTotal", {CurrencyToText(aAmount)}),
              [&](Control& c) { return c.PrintRecSubtotal(aAmount.Scaled()); });
}

bool kIOHandler_OPOS::PrintRecSubtotalAdjustment(int32_t aAdjType, const Text& aDescription, Currency aAmount) {
  return Step(CallLine(u"PrintRecSubtotalAdjustment", u"PrintRecSubtotalAdjustment",
                       {IntToText(aAdjType), Q(aDescription), CurrencyToText(aAmount)}),
              [&](Control& c) { return c.PrintRecSubtotalAdjustment(aAdjType, aDescription, aAmount.Scaled()); });
}

bool kIOHandler_OPOS::PrintRecTotal(Currency aTotalAmount, Currency aPaymentAmount, const Text& aDescription) {
  return Step(CallLine(u"PrintRecTotal", u"PrintRecTotal",
                       {CurrencyToText(aTotalAmount), CurrencyToText(aPaymentAmount), Q(aDescription)}),
              [&](Control& c) { return c.PrintRecTotal(aTotalAmount.Scaled(), aPaymentAmount.Scaled(), aDescription); });
}

bool kIOHandler_OPOS::PrintRecNotPaid(Currency aAmount, const Text& aDescription) {
  return Step(CallLine(u"PrintRecNotPaid", u"PrintRecNotPaid", {Q(aDescription), CurrencyToText(aAmount)}),
              [&](Control& c) { return c.PrintRecNotPaid(aDescription, aAmount.Scaled()); });
}

// The control's answer is logged before its result is checked.
bool kIOHandler_OPOS::DirectIO(int32_t aCommand, int32_t& aData, Text& aString) {
  return Step(CallLine(u"DirectIO", u"DirectIO", {IntToText(aCommand), IntToText(aData), Q(aString)}),
              [&](Control& c) {
                const int32_t code = c.DirectIO(aCommand, aData, aString);
                Log(LogLine(u"DirectIO", u"Output(Data:=")
                        .append(IntToText(aData))
                        .append(u", Obj:=")
                        .append(Q(aString))
                        .append(u")"));
                return code;
              });
}

bool kIOHandler_OPOS::GetData(int32_t aDataItem, int32_t aOptArgs, Text& aOutput) {
  int32_t optArgs = aOptArgs;  // what the control writes into it is not passed back
  Text data;
  const bool result = Step(CallLine(u"GetData", u"GetData", {IntToText(aDataItem), IntToText(aOptArgs), u"aOutput"}),
                           [&](Control& c) { return c.GetData(aDataItem, optArgs, data); });
  if (result) {
    aOutput = data;
    Log(LogLine(u"GetData", u"aOutput=").append(data));
  } else {
    aOutput.clear();
  }
  return result;
}

bool kIOHandler_OPOS::GetDate(DateTime& aDate) {
  Text text;
  if (!Step(Plain(u"GetDate"), [&](Control& c) { return c.GetDate(text); })) {
    aDate = Now();
    return false;
  }
  Log(LogLine(u"GetDate", u"aDate=").append(text));
  DateTimeParts parts;
  parts.Day = DateField(Substring(text, 0, 2));
  parts.Month = DateField(Substring(text, 2, 2));
  parts.Year = DateField(Substring(text, 4, 4));
  parts.Hour = DateField(Substring(text, 8, 2));
  // The rest of the text is the minute, so that nothing after it goes unnoticed.
  parts.Minute = DateField(Substring(text, 10, Text::npos));
  const std::optional<DateTime> value =
      parts.Hour < 24 && parts.Minute < 60 ? TryEncodeDateTime(parts) : std::nullopt;
  if (!value)
    throw kException(Text(u"'").append(QuotedValue(text)).append(u"' is not a valid date and time (ddmmyyyyhhnn)"));
  aDate = *value;
  return true;
}

bool kIOHandler_OPOS::SetDate(DateTime aDateTime) {
  const DateTimeParts p = DecodeDateTime(aDateTime);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d%02d%04d%02d%02d", p.Day, p.Month, p.Year, p.Hour, p.Minute);
  const Text text = FromAscii(buffer);
  return Step(CallLine(u"SetDate", u"SetDate", {Q(text)}), [&](Control& c) { return c.SetDate(text); });
}

bool kIOHandler_OPOS::SetAdditionalTrailerLine(const Text& aDescription, bool aClear) {
  if (aClear) {
    Log(LogLine(u"SetAdditionalTrailerLine", u"AdditionalTrailer=").append(Q(aDescription)));
    fOPOS->SetAdditionalTrailer(aDescription);
  } else {
    Log(LogLine(u"SetAdditionalTrailerLine", u"AdditionalTrailer=+").append(Q(aDescription)));
    fOPOS->SetAdditionalTrailer(fOPOS->AdditionalTrailer().append(aDescription).append(u"\r\n"));
  }
  return true;
}

bool kIOHandler_OPOS::SetPreLine(const Text& aDescription) {
  Log(LogLine(u"SetPreLine", u"PreLine=").append(Q(aDescription)));
  fOPOS->SetPreLine(aDescription);
  return true;
}

bool kIOHandler_OPOS::SetFiscalReceiptType(int32_t aReceiptType) {
  Log(LogLine(u"SetFiscalReceiptType", u"FiscalReceiptType=").append(IntToText(aReceiptType)));
  fOPOS->SetFiscalReceiptType(aReceiptType);
  return true;
}

bool kIOHandler_OPOS::PrinterState(int32_t& aPrinterState) {
  return Report(u"PrinterState", u"PrinterState(aPrinterState)", u"aPrinterState", [&](Control& c) {
    aPrinterState = c.PrinterState();
    return IntToText(aPrinterState);
  });
}

bool kIOHandler_OPOS::RemainingFiscalMemory(int32_t& aRemainingFiscalMemory) {
  return Report(u"RemainingFiscalMemory", u"RemainingFiscalMemory(aRemainingFiscalMemory)",
                u"aRemainingFiscalMemory", [&](Control& c) {
                  aRemainingFiscalMemory = c.RemainingFiscalMemory();
                  return IntToText(aRemainingFiscalMemory);
                });
}

bool kIOHandler_OPOS::GetCoverOpen(bool& aResult) {
  return Report(u"GetCoverOpen", u"CoverOpen(aResult)", u"CoverOpen", Flag(&Control::CoverOpen, aResult));
}
bool kIOHandler_OPOS::GetDayOpened(bool& aResult) {
  return Report(u"GetDayOpened", u"DayOpened(aResult)", u"aResult", Flag(&Control::DayOpened, aResult));
}
bool kIOHandler_OPOS::GetRecEmpty(bool& aResult) {
  return Report(u"GetRecEmpty", u"RecEmpty(aResult)", u"aResult", Flag(&Control::RecEmpty, aResult));
}
bool kIOHandler_OPOS::GetRecNearEnd(bool& aResult) {
  return Report(u"GetRecNearEmpty", u"RecNearEmpty(aResult)", u"aResult", Flag(&Control::RecNearEnd, aResult));
}
bool kIOHandler_OPOS::GetTrainingModeActive(bool& aResult) {
  return Report(u"GetTrainingModeActive", u"TrainingModeActive(aResult)", u"aResult",
                Flag(&Control::TrainingModeActive, aResult));
}

}  // namespace zv
