#include "platform/OposFiscalPrinter.h"

#include <cstdlib>
#include <limits>
#include <string>

#include "ZvOposFiscalPrinter.h"
#include "base/Exception.h"
#include "platform/DynamicLibrary.h"

namespace zv::platform {

namespace {

static_assert(sizeof(ZvOposChar) == sizeof(char16_t));

constexpr char16_t kVariable[] = u"ZV_OPOS_FISCALPRINTER";

[[noreturn]] void CannotCreate(const Text& aCause) {
  throw kException(Text(u"The OPOS FiscalPrinter control cannot be created: ").append(aCause));
}

const ZvOposChar* Units(const Text& aText) { return reinterpret_cast<const ZvOposChar*>(aText.data()); }

int32_t Length(const Text& aText) {
  if (aText.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
    throw kException(u"A text for the fiscal printer is longer than 2147483647 characters");
  return static_cast<int32_t>(aText.size());
}

// The sink of every text the control hands out: a copy into the Text behind aContext.
void Receive(void* aContext, const ZvOposChar* aText, int32_t aLength) {
  auto* target = static_cast<Text*>(aContext);
  if (aText == nullptr || aLength <= 0)
    target->clear();
  else
    target->assign(reinterpret_cast<const char16_t*>(aText), static_cast<size_t>(aLength));
}

// The name of the first member the control left empty, or nothing.
const char16_t* MissingMember(const ZvOposFiscalPrinterTable& t) {
#define ZV_MEMBER(name) \
  if (t.name == nullptr) return u## #name;
  ZV_MEMBER(Create) ZV_MEMBER(Destroy) ZV_MEMBER(Open) ZV_MEMBER(ClaimDevice) ZV_MEMBER(ReleaseDevice)
  ZV_MEMBER(Close) ZV_MEMBER(BeginFiscalReceipt) ZV_MEMBER(EndFiscalReceipt) ZV_MEMBER(BeginNonFiscal)
  ZV_MEMBER(EndNonFiscal) ZV_MEMBER(BeginTraining) ZV_MEMBER(EndTraining) ZV_MEMBER(ResetPrinter)
  ZV_MEMBER(PrintXReport) ZV_MEMBER(PrintZReport) ZV_MEMBER(PrintNormal) ZV_MEMBER(PrintRecMessage)
  ZV_MEMBER(PrintRecTaxID) ZV_MEMBER(PrintRecItem) ZV_MEMBER(PrintRecItemVoid) ZV_MEMBER(PrintRecRefund)
  ZV_MEMBER(PrintRecItemAdjustment) ZV_MEMBER(PrintRecSubtotal) ZV_MEMBER(PrintRecSubtotalAdjustment)
  ZV_MEMBER(PrintRecTotal) ZV_MEMBER(PrintRecNotPaid) ZV_MEMBER(DirectIO) ZV_MEMBER(GetData) ZV_MEMBER(GetDate)
  ZV_MEMBER(SetDate) ZV_MEMBER(GetDeviceEnabled) ZV_MEMBER(SetDeviceEnabled) ZV_MEMBER(GetResultCodeExtended)
  ZV_MEMBER(GetErrorString) ZV_MEMBER(GetAdditionalTrailer) ZV_MEMBER(SetAdditionalTrailer) ZV_MEMBER(SetPreLine)
  ZV_MEMBER(SetFiscalReceiptType) ZV_MEMBER(GetPrinterState) ZV_MEMBER(GetRemainingFiscalMemory)
  ZV_MEMBER(GetCoverOpen) ZV_MEMBER(GetDayOpened) ZV_MEMBER(GetRecEmpty) ZV_MEMBER(GetRecNearEnd)
  ZV_MEMBER(GetTrainingModeActive)
#undef ZV_MEMBER
  return nullptr;
}

// The control of a plug-in: its table, as checked at creation, called with the control
// object it made.
class PluginFiscalPrinter final : public OposFiscalPrinter {
 public:
  PluginFiscalPrinter(DynamicLibrary aLibrary, const ZvOposFiscalPrinterTable& aTable, ZvOposControl* aControl)
      : fLibrary(std::move(aLibrary)), fT(aTable), fC(aControl) {}
  ~PluginFiscalPrinter() override { fT.Destroy(fC); }

  int32_t Open(const Text& aDeviceName) override { return fT.Open(fC, Units(aDeviceName), Length(aDeviceName)); }
  int32_t ClaimDevice(int32_t aTimeout) override { return fT.ClaimDevice(fC, aTimeout); }
  int32_t ReleaseDevice() override { return fT.ReleaseDevice(fC); }
  int32_t Close() override { return fT.Close(fC); }
  int32_t BeginFiscalReceipt(bool aPrintHeader) override { return fT.BeginFiscalReceipt(fC, aPrintHeader ? 1 : 0); }
  int32_t EndFiscalReceipt(bool aPrintHeader) override { return fT.EndFiscalReceipt(fC, aPrintHeader ? 1 : 0); }
  int32_t BeginNonFiscal() override { return fT.BeginNonFiscal(fC); }
  int32_t EndNonFiscal() override { return fT.EndNonFiscal(fC); }
  int32_t BeginTraining() override { return fT.BeginTraining(fC); }
  int32_t EndTraining() override { return fT.EndTraining(fC); }
  int32_t ResetPrinter() override { return fT.ResetPrinter(fC); }
  int32_t PrintXReport() override { return fT.PrintXReport(fC); }
  int32_t PrintZReport() override { return fT.PrintZReport(fC); }
  int32_t PrintNormal(int32_t aStation, const Text& aData) override {
    return fT.PrintNormal(fC, aStation, Units(aData), Length(aData));
  }
  int32_t PrintRecMessage(const Text& aMessage) override {
    return fT.PrintRecMessage(fC, Units(aMessage), Length(aMessage));
  }
  int32_t PrintRecTaxID(const Text& aTaxId) override { return fT.PrintRecTaxID(fC, Units(aTaxId), Length(aTaxId)); }
  int32_t PrintRecItem(const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
                       int64_t aUnitPrice, const Text& aUnitName) override {
    return fT.PrintRecItem(fC, Units(aDescription), Length(aDescription), aPrice, aQuantity, aVatInfo, aUnitPrice,
                            Units(aUnitName), Length(aUnitName));
  }
  int32_t PrintRecItemVoid(const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
                           int64_t aUnitPrice, const Text& aUnitName) override {
    return fT.PrintRecItemVoid(fC, Units(aDescription), Length(aDescription), aPrice, aQuantity, aVatInfo,
                                aUnitPrice, Units(aUnitName), Length(aUnitName));
  }
  int32_t PrintRecRefund(const Text& aDescription, int64_t aAmount, int32_t aVatInfo) override {
    return fT.PrintRecRefund(fC, Units(aDescription), Length(aDescription), aAmount, aVatInfo);
  }
  int32_t PrintRecItemAdjustment(int32_t aAdjustmentType, const Text& aDescription, int64_t aAmount,
                                 int32_t aVatInfo) override {
    return fT.PrintRecItemAdjustment(fC, aAdjustmentType, Units(aDescription), Length(aDescription), aAmount,
                                      aVatInfo);
  }
  int32_t PrintRecSubtotal(int64_t aAmount) override { return fT.PrintRecSubtotal(fC, aAmount); }
  int32_t PrintRecSubtotalAdjustment(int32_t aAdjustmentType, const Text& aDescription, int64_t aAmount) override {
    return fT.PrintRecSubtotalAdjustment(fC, aAdjustmentType, Units(aDescription), Length(aDescription), aAmount);
  }
  int32_t PrintRecTotal(int64_t aTotal, int64_t aPayment, const Text& aDescription) override {
    return fT.PrintRecTotal(fC, aTotal, aPayment, Units(aDescription), Length(aDescription));
  }
  int32_t PrintRecNotPaid(const Text& aDescription, int64_t aAmount) override {
    return fT.PrintRecNotPaid(fC, Units(aDescription), Length(aDescription), aAmount);
  }
  int32_t DirectIO(int32_t aCommand, int32_t& aData, Text& aString) override {
    // The string goes in and comes back through the sink, so it is passed as a copy.
    const Text in = aString;
    return fT.DirectIO(fC, aCommand, &aData, Units(in), Length(in), Receive, &aString);
  }
  int32_t GetData(int32_t aDataItem, int32_t& aOptArgs, Text& aData) override {
    aData.clear();
    return fT.GetData(fC, aDataItem, &aOptArgs, Receive, &aData);
  }
  int32_t GetDate(Text& aDate) override {
    aDate.clear();
    return fT.GetDate(fC, Receive, &aDate);
  }
  int32_t SetDate(const Text& aDate) override { return fT.SetDate(fC, Units(aDate), Length(aDate)); }

  bool DeviceEnabled() override { return ReadFlag(fT.GetDeviceEnabled, u"DeviceEnabled"); }
  void SetDeviceEnabled(bool aValue) override {
    Check(fT.SetDeviceEnabled(fC, aValue ? 1 : 0), u"DeviceEnabled");
  }
  int32_t ResultCodeExtended() override { return ReadNumber(fT.GetResultCodeExtended, u"ResultCodeExtended"); }
  Text ErrorString() override {
    Text value;
    Check(fT.GetErrorString(fC, Receive, &value), u"ErrorString");
    return value;
  }
  Text AdditionalTrailer() override {
    Text value;
    Check(fT.GetAdditionalTrailer(fC, Receive, &value), u"AdditionalTrailer");
    return value;
  }
  void SetAdditionalTrailer(const Text& aValue) override {
    Check(fT.SetAdditionalTrailer(fC, Units(aValue), Length(aValue)), u"AdditionalTrailer");
  }
  void SetPreLine(const Text& aValue) override {
    Check(fT.SetPreLine(fC, Units(aValue), Length(aValue)), u"PreLine");
  }
  void SetFiscalReceiptType(int32_t aValue) override {
    Check(fT.SetFiscalReceiptType(fC, aValue), u"FiscalReceiptType");
  }
  int32_t PrinterState() override { return ReadNumber(fT.GetPrinterState, u"PrinterState"); }
  int32_t RemainingFiscalMemory() override {
    return ReadNumber(fT.GetRemainingFiscalMemory, u"RemainingFiscalMemory");
  }
  bool CoverOpen() override { return ReadFlag(fT.GetCoverOpen, u"CoverOpen"); }
  bool DayOpened() override { return ReadFlag(fT.GetDayOpened, u"DayOpened"); }
  bool RecEmpty() override { return ReadFlag(fT.GetRecEmpty, u"RecEmpty"); }
  bool RecNearEnd() override { return ReadFlag(fT.GetRecNearEnd, u"RecNearEnd"); }
  bool TrainingModeActive() override { return ReadFlag(fT.GetTrainingModeActive, u"TrainingModeActive"); }

 private:
  using NumberGetter = int32_t (*)(ZvOposControl*, int32_t*);

  // A property access the control failed raises with the control's own text.
  void Check(int32_t aStatus, const char16_t* aProperty) {
    if (aStatus == 0) return;
    Text reason;
    if (fT.GetErrorString(fC, Receive, &reason) != 0) reason.clear();
    Text message = Text(u"The fiscal printer control failed on the property ").append(aProperty);
    message.append(u" (").append(IntToText(aStatus)).append(u")");
    if (!reason.empty()) message.append(u": ").append(reason);
    throw kException(message);
  }
  int32_t ReadNumber(NumberGetter aGetter, const char16_t* aProperty) {
    int32_t value = 0;
    Check(aGetter(fC, &value), aProperty);
    return value;
  }
  bool ReadFlag(NumberGetter aGetter, const char16_t* aProperty) { return ReadNumber(aGetter, aProperty) != 0; }

  DynamicLibrary fLibrary;  // declared first: unloaded after the control is destroyed
  // A copy: the plug-in may change or free its own table later, but the members
  // checked are the ones called.
  const ZvOposFiscalPrinterTable fT;
  ZvOposControl* fC;
};

}  // namespace

std::unique_ptr<OposFiscalPrinter> OposFiscalPrinter::Create() {
  const char* variable = std::getenv("ZV_OPOS_FISCALPRINTER");
  if (variable == nullptr || *variable == '\0')
    CannotCreate(Text(u"the environment variable ").append(kVariable).append(
        u" is not set (it names the shared object of the control)"));
  const Text path = FromUtf8(variable);
  const Text quoted = Text(u"'").append(QuotedValue(path)).append(u"'");
  DynamicLibrary library;
  const DynamicLibrary::LoadResult load = library.Load(path);
  if (!load.Loaded)
    CannotCreate(Text(quoted).append(u" (").append(kVariable).append(u") does not load: ").append(load.Message));
  auto entry = reinterpret_cast<ZvOposFiscalPrinterEntry>(library.Symbol(ZV_OPOS_FISCALPRINTER_ENTRY));
  if (entry == nullptr)
    CannotCreate(Text(quoted).append(u" exports no entry point " ZV_OPOS_FISCALPRINTER_ENTRY));
  const ZvOposFiscalPrinterTable* table = entry();
  if (table == nullptr) CannotCreate(Text(quoted).append(u" gives no table of FiscalPrinter functions"));
  if (table->Version != ZV_OPOS_FISCALPRINTER_VERSION)
    CannotCreate(Text(quoted)
                     .append(u" has a table of version ")
                     .append(IntToText(table->Version))
                     .append(u"; this driver needs version ")
                     .append(IntToText(ZV_OPOS_FISCALPRINTER_VERSION)));
  if (table->Size < sizeof(ZvOposFiscalPrinterTable))
    CannotCreate(Text(quoted)
                     .append(u" has a table of ")
                     .append(IntToText(table->Size))
                     .append(u" bytes; version ")
                     .append(IntToText(ZV_OPOS_FISCALPRINTER_VERSION))
                     .append(u" has ")
                     .append(IntToText(sizeof(ZvOposFiscalPrinterTable))));
  const ZvOposFiscalPrinterTable copy = *table;
  if (const char16_t* missing = MissingMember(copy))
    CannotCreate(Text(quoted).append(u" has no function for ").append(missing));
  ZvOposControl* control = copy.Create();
  if (control == nullptr) CannotCreate(Text(quoted).append(u" made no control object"));
  return std::make_unique<PluginFiscalPrinter>(std::move(library), copy, control);
}

}  // namespace zv::platform
