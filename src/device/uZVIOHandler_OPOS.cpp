#include "device/uZVIOHandler_OPOS.h"

#include <cstdio>
#include <exception>
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
    Log(Text(u"[Connect]->Open(").append(fDeviceName).append(u")"));
    bool result = CheckResult(fOPOS->Open(fDeviceName));
    if (result) {
      Log(Text(u"[Connect]->ClaimDevice(").append(IntToText(ConnectTimeout())).append(u")"));
      result = CheckResult(fOPOS->ClaimDevice(ConnectTimeout()));
    }
    if (result) {
      Log(u"[Connect]->DeviceEnabled:=true");
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
    Log(u"[Disconnect]->DeviceEnabled:=false");
    fOPOS->SetDeviceEnabled(false);
    bool result = false;
    if (!fOPOS->DeviceEnabled()) {
      Log(u"[Disconnect]->ReleaseDevice");
      result = CheckResult(fOPOS->ReleaseDevice());
      if (result) {
        Log(u"[Disconnect]->Close");
        result = CheckResult(fOPOS->Close());
      }
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

bool kIOHandler_OPOS::BeginFiscalReceipt() {
  Log(u"[BeginFiscalReceipt]->BeginFiscalReceipt(true)");
  return CheckResult(fOPOS->BeginFiscalReceipt(true));
}

bool kIOHandler_OPOS::EndFiscalReceipt() {
  Log(u"[EndFiscalReceipt]->EndFiscalReceipt(false)");
  return CheckResult(fOPOS->EndFiscalReceipt(false));
}

bool kIOHandler_OPOS::BeginNonFiscal() {
  Log(u"[BeginNonFiscal]->BeginNonFiscal");
  return CheckResult(fOPOS->BeginNonFiscal());
}

bool kIOHandler_OPOS::EndNonFiscal() {
  Log(u"[EndNonFiscal]->EndNonFiscal");
  return CheckResult(fOPOS->EndNonFiscal());
}

bool kIOHandler_OPOS::BeginTraining() {
  Log(u"[BeginTraining]->BeginTraining");
  return CheckResult(fOPOS->BeginTraining());
}

bool kIOHandler_OPOS::EndTraining() {
  Log(u"[EndTraining]->EndTraining");
  return CheckResult(fOPOS->EndTraining());
}

bool kIOHandler_OPOS::ResetPrinter() {
  Log(u"[ResetPrinter]->ResetPrinter");
  return CheckResult(fOPOS->ResetPrinter());
}

bool kIOHandler_OPOS::PrintXReport() {
  Log(u"[PrintXReport]->PrintXReport");
  return CheckResult(fOPOS->PrintXReport());
}

bool kIOHandler_OPOS::PrintZReport() {
  Log(u"[PrintZReport]->PrintZReport");
  return CheckResult(fOPOS->PrintZReport());
}

bool kIOHandler_OPOS::PrintNormal(const Text& aText) {
  Log(Text(u"[PrintNormal]->PrintNormal(2,").append(Q(aText)).append(u")"));
  return CheckResult(fOPOS->PrintNormal(kReceiptStation, aText));
}

bool kIOHandler_OPOS::PrintRecMessage(const Text& aText) {
  Log(Text(u"[PrintRecMessage]->PrintRecMessage(").append(Q(aText)).append(u")"));
  return CheckResult(fOPOS->PrintRecMessage(aText));
}

bool kIOHandler_OPOS::PrintRecTaxid(const Text& aTaxId) {
  Log(Text(u"[PrintRecTaxid]->PrintRecTaxid(").append(Q(aTaxId)).append(u")"));
  return CheckResult(fOPOS->PrintRecTaxID(aTaxId));
}

bool kIOHandler_OPOS::PrintRecItem(const Text&, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                                   int32_t aVatCode, Currency aPrice, Currency aAmount) {
  const int32_t quantity = Thousandths(aQuantity);
  Log(Text(u"[PrintRecItem]->PrintRecItem(")
          .append(Q(aDescription))
          .append(u",")
          .append(CurrencyToText(aAmount))
          .append(u",")
          .append(WholePart(aQuantity))
          .append(u",")
          .append(IntToText(aVatCode))
          .append(u",")
          .append(CurrencyToText(aPrice))
          .append(u",")
          .append(Q(aUOM))
          .append(u")"));
  return CheckResult(fOPOS->PrintRecItem(aDescription, aAmount.Scaled(), quantity, aVatCode, aPrice.Scaled(), aUOM));
}

bool kIOHandler_OPOS::PrintRecItemVoid(const Text&, const Text& aDescription, Currency aQuantity, const Text& aUOM,
                                       int32_t aVatCode, Currency aPrice, Currency aAmount) {
  const int32_t quantity = Thousandths(aQuantity);
  Log(Text(u"[PrintRecItemVoid]->PrintRecItemVoid(")
          .append(Q(aDescription))
          .append(u",")
          .append(CurrencyToText(aAmount))
          .append(u",")
          .append(IntToText(aVatCode))
          .append(u",")
          .append(CurrencyToText(aPrice))
          .append(u",")
          .append(Q(aUOM))
          .append(u")"));
  return CheckResult(
      fOPOS->PrintRecItemVoid(aDescription, aAmount.Scaled(), quantity, aVatCode, aPrice.Scaled(), aUOM));
}

bool kIOHandler_OPOS::PrintRecRefund(const Text&, const Text& aDescription, Currency, const Text&, int32_t aVatCode,
                                     Currency, Currency aAmount) {
  Log(Text(u"[PrintRecRefund]->PrintRecRefund(")
          .append(Q(aDescription))
          .append(u",")
          .append(CurrencyToText(aAmount))
          .append(u",")
          .append(IntToText(aVatCode))
          .append(u")"));
  return CheckResult(fOPOS->PrintRecRefund(aDescription, aAmount.Scaled(), aVatCode));
}

bool kIOHandler_OPOS::PrintRecItemAdjustment(int32_t aAdjType, const Text& aDescription, Currency aAmount,
                                             int32_t aVatCode) {
  Log(Text(u"[PrintRecItemAdjustment]->PrintRecItemAdjustment(")
          .append(IntToText(aAdjType))
          .append(u",")
          .append(Q(aDescription))
          .append(u",")
          .append(CurrencyToText(aAmount))
          .append(u",")
          .append(IntToText(aVatCode))
          .append(u")"));
  return CheckResult(fOPOS->PrintRecItemAdjustment(aAdjType, aDescription, aAmount.Scaled(), aVatCode));
}

bool kIOHandler_OPOS::PrintRecSubtotal(Currency aAmount) {
  Log(Text(u"[PrintRecSubtotal]->PrintRecSubTotal(").append(CurrencyToText(aAmount)).append(u")"));
  return CheckResult(fOPOS->PrintRecSubtotal(aAmount.Scaled()));
}

bool kIOHandler_OPOS::PrintRecSubtotalAdjustment(int32_t aAdjType, const Text& aDescription, Currency aAmount) {
  Log(Text(u"[PrintRecSubtotalAdjustment]->PrintRecSubtotalAdjustment(")
          .append(IntToText(aAdjType))
          .append(u",")
          .append(Q(aDescription))
          .append(u",")
          .append(CurrencyToText(aAmount))
          .append(u")"));
  return CheckResult(fOPOS->PrintRecSubtotalAdjustment(aAdjType, aDescription, aAmount.Scaled()));
}

bool kIOHandler_OPOS::PrintRecTotal(Currency aTotalAmount, Currency aPaymentAmount, const Text& aDescription) {
  Log(Text(u"[PrintRecTotal]->PrintRecTotal(")
          .append(CurrencyToText(aTotalAmount))
          .append(u",")
          .append(CurrencyToText(aPaymentAmount))
          .append(u",")
          .append(Q(aDescription))
          .append(u")"));
  return CheckResult(fOPOS->PrintRecTotal(aTotalAmount.Scaled(), aPaymentAmount.Scaled(), aDescription));
}

bool kIOHandler_OPOS::PrintRecNotPaid(Currency aAmount, const Text& aDescription) {
  Log(Text(u"[PrintRecNotPaid]->PrintRecNotPaid(")
          .append(Q(aDescription))
          .append(u",")
          .append(CurrencyToText(aAmount))
          .append(u")"));
  return CheckResult(fOPOS->PrintRecNotPaid(aDescription, aAmount.Scaled()));
}

bool kIOHandler_OPOS::DirectIO(int32_t aCommand, int32_t& aData, Text& aString) {
  Log(Text(u"[DirectIO]->DirectIO(")
          .append(IntToText(aCommand))
          .append(u",")
          .append(IntToText(aData))
          .append(u",")
          .append(Q(aString))
          .append(u")"));
  const int32_t code = fOPOS->DirectIO(aCommand, aData, aString);
  Log(Text(u"[DirectIO]->Output(Data:=").append(IntToText(aData)).append(u", Obj:=").append(Q(aString)).append(u")"));
  return CheckResult(code);
}

bool kIOHandler_OPOS::GetData(int32_t aDataItem, int32_t aOptArgs, Text& aOutput) {
  Log(Text(u"[GetData]->GetData(")
          .append(IntToText(aDataItem))
          .append(u",")
          .append(IntToText(aOptArgs))
          .append(u",aOutput)"));
  int32_t optArgs = aOptArgs;  // what the control writes into it is not passed back
  Text data;
  const bool result = CheckResult(fOPOS->GetData(aDataItem, optArgs, data));
  if (result) {
    aOutput = data;
    Log(Text(u"[GetData]->aOutput=").append(data));
  } else {
    aOutput.clear();
  }
  return result;
}

bool kIOHandler_OPOS::GetDate(DateTime& aDate) {
  Log(u"[GetDate]->GetDate");
  Text text;
  if (!CheckResult(fOPOS->GetDate(text))) {
    aDate = Now();
    return false;
  }
  Log(Text(u"[GetDate]->aDate=").append(text));
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
  Log(Text(u"[SetDate]->SetDate(").append(Q(text)).append(u")"));
  return CheckResult(fOPOS->SetDate(text));
}

bool kIOHandler_OPOS::SetAdditionalTrailerLine(const Text& aDescription, bool aClear) {
  if (aClear) {
    Log(Text(u"[SetAdditionalTrailerLine]->AdditionalTrailer=").append(Q(aDescription)));
    fOPOS->SetAdditionalTrailer(aDescription);
  } else {
    Log(Text(u"[SetAdditionalTrailerLine]->AdditionalTrailer=+").append(Q(aDescription)));
    fOPOS->SetAdditionalTrailer(fOPOS->AdditionalTrailer().append(aDescription).append(u"\r\n"));
  }
  return true;
}

bool kIOHandler_OPOS::SetPreLine(const Text& aDescription) {
  Log(Text(u"[SetPreLine]->PreLine=").append(Q(aDescription)));
  fOPOS->SetPreLine(aDescription);
  return true;
}

bool kIOHandler_OPOS::SetFiscalReceiptType(int32_t aReceiptType) {
  Log(Text(u"[SetFiscalReceiptType]->FiscalReceiptType=").append(IntToText(aReceiptType)));
  fOPOS->SetFiscalReceiptType(aReceiptType);
  return true;
}

bool kIOHandler_OPOS::PrinterState(int32_t& aPrinterState) {
  Log(u"[PrinterState]->PrinterState(aPrinterState)");
  aPrinterState = fOPOS->PrinterState();
  Log(Text(u"[PrinterState]->aPrinterState=").append(IntToText(aPrinterState)));
  return true;
}

bool kIOHandler_OPOS::RemainingFiscalMemory(int32_t& aRemainingFiscalMemory) {
  Log(u"[RemainingFiscalMemory]->RemainingFiscalMemory(aRemainingFiscalMemory)");
  aRemainingFiscalMemory = fOPOS->RemainingFiscalMemory();
  Log(Text(u"[RemainingFiscalMemory]->aRemainingFiscalMemory=").append(IntToText(aRemainingFiscalMemory)));
  return true;
}

bool kIOHandler_OPOS::GetCoverOpen(bool& aResult) {
  Log(u"[GetCoverOpen]->CoverOpen(aResult)");
  aResult = fOPOS->CoverOpen();
  Log(Text(u"[GetCoverOpen]->CoverOpen=").append(BoolText(aResult)));
  return true;
}

bool kIOHandler_OPOS::GetDayOpened(bool& aResult) {
  Log(u"[GetDayOpened]->DayOpened(aResult)");
  aResult = fOPOS->DayOpened();
  Log(Text(u"[GetDayOpened]->aResult=").append(BoolText(aResult)));
  return true;
}

bool kIOHandler_OPOS::GetRecEmpty(bool& aResult) {
  Log(u"[GetRecEmpty]->RecEmpty(aResult)");
  aResult = fOPOS->RecEmpty();
  Log(Text(u"[GetRecEmpty]->aResult=").append(BoolText(aResult)));
  return true;
}

bool kIOHandler_OPOS::GetRecNearEnd(bool& aResult) {
  Log(u"[GetRecNearEmpty]->RecNearEmpty(aResult)");
  aResult = fOPOS->RecNearEnd();
  Log(Text(u"[GetRecNearEmpty]->aResult=").append(BoolText(aResult)));
  return true;
}

bool kIOHandler_OPOS::GetTrainingModeActive(bool& aResult) {
  Log(u"[GetTrainingModeActive]->TrainingModeActive(aResult)");
  aResult = fOPOS->TrainingModeActive();
  Log(Text(u"[GetTrainingModeActive]->aResult=").append(BoolText(aResult)));
  return true;
}

}  // namespace zv
