#include "platform/OposFiscalPrinter.h"

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "OposFiscalPrinterCom.h"
#include "Wide.h"
#include "base/Exception.h"
#include "platform/Library.h"

// winspool's macro for its own ResetPrinter would rename the control's method.
#undef ResetPrinter

namespace zv::platform {

namespace {

constexpr wchar_t kProgId[] = L"OPOS.FiscalPrinter";
constexpr CLSID kFiscalPrinterClsid = {0xCCB90072, 0xB81E, 0x11D2, {0xAB, 0x74, 0x00, 0x40, 0x05, 0x4C, 0x37, 0x19}};

[[noreturn]] void CannotCreate(const Text& aCause) {
  throw kException(Text(u"The OPOS FiscalPrinter control cannot be created: ").append(aCause));
}

Text Hex(HRESULT aCode) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lX", static_cast<unsigned long>(aCode));
  return FromAscii(buffer);
}

// The system's text for an HRESULT followed by its number, or the number alone.
Text HresultText(HRESULT aCode) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(aCode), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                 nullptr);
  Text text = n > 0 ? FromWide(buffer, n) : Text();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' ' ||
                           text.back() == u'.'))
    text.pop_back();
  if (text.empty()) return Hex(aCode);
  return text.append(u" (").append(Hex(aCode)).append(u")");
}

Text ClsidText(const CLSID& aClsid) {
  wchar_t buffer[40] = {};
  if (StringFromGUID2(aClsid, buffer, 40) == 0) return Text();
  return FromWide(buffer);
}

// An owned BSTR; Out() hands its slot to a callee that may replace what it holds.
class OwnedBstr {
 public:
  OwnedBstr() = default;
  explicit OwnedBstr(const Text& aText) : fValue(Allocate(aText)) {}
  ~OwnedBstr() { SysFreeString(fValue); }
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;

  // A non-null BSTR for every text: some controls do not take null for the empty text.
  static BSTR Allocate(const Text& aText) {
    if (aText.size() > std::numeric_limits<UINT>::max() / 2)
      throw kException(u"A text for the fiscal printer control is too long");
    BSTR value = SysAllocStringLen(Wide(aText), static_cast<UINT>(aText.size()));
    if (value == nullptr) throw kException(u"No memory for a text for the fiscal printer control");
    return value;
  }
  BSTR* Out() { return &fValue; }
  Text ToText() const { return fValue ? FromWide(fValue, SysStringLen(fValue)) : Text(); }

 private:
  BSTR fValue = nullptr;
};

// A VARIANT cleared (its BSTR freed, its interface released) when it goes.
class OwnedVariant {
 public:
  OwnedVariant() { VariantInit(&fValue); }
  ~OwnedVariant() { VariantClear(&fValue); }
  OwnedVariant(const OwnedVariant&) = delete;
  OwnedVariant& operator=(const OwnedVariant&) = delete;
  VARIANT* Get() { return &fValue; }

 private:
  VARIANT fValue;
};

// What a raising control filled in; its texts are freed with it.
class ExceptionInfo {
 public:
  ExceptionInfo() { ZeroMemory(&fValue, sizeof fValue); }
  ~ExceptionInfo() {
    SysFreeString(fValue.bstrSource);
    SysFreeString(fValue.bstrDescription);
    SysFreeString(fValue.bstrHelpFile);
  }
  ExceptionInfo(const ExceptionInfo&) = delete;
  ExceptionInfo& operator=(const ExceptionInfo&) = delete;
  EXCEPINFO* Get() { return &fValue; }
  void FillIn() {
    if (fValue.pfnDeferredFillIn != nullptr) fValue.pfnDeferredFillIn(&fValue);
  }
  Text Description() const { return fValue.bstrDescription ? FromWide(fValue.bstrDescription) : Text(); }
  HRESULT Code() const { return fValue.scode; }

 private:
  EXCEPINFO fValue;
};

// The arguments of one call in the order the member declares them; Invoke wants them
// last first. In-arguments own their BSTRs; by-reference ones point at the caller's.
class Arguments {
 public:
  Arguments() = default;
  ~Arguments() {
    for (VARIANTARG& v : fItems) VariantClear(&v);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  Arguments& Long(int32_t aValue) {
    VARIANTARG& v = Add(VT_I4);
    V_I4(&v) = aValue;
    return *this;
  }
  Arguments& Bool(bool aValue) {
    VARIANTARG& v = Add(VT_BOOL);
    V_BOOL(&v) = aValue ? VARIANT_TRUE : VARIANT_FALSE;
    return *this;
  }
  // OPOS currency is the COM currency: a 64-bit integer scaled by 10,000.
  Arguments& Currency(int64_t aValue) {
    VARIANTARG& v = Add(VT_CY);
    V_CY(&v).int64 = aValue;
    return *this;
  }
  Arguments& String(const Text& aValue) {
    BSTR value = OwnedBstr::Allocate(aValue);
    VARIANTARG& v = Add(VT_BSTR);
    V_BSTR(&v) = value;
    return *this;
  }
  Arguments& LongRef(LONG* aValue) {
    VARIANTARG& v = Add(VT_I4 | VT_BYREF);
    V_I4REF(&v) = aValue;
    return *this;
  }
  Arguments& StringRef(BSTR* aValue) {
    VARIANTARG& v = Add(VT_BSTR | VT_BYREF);
    V_BSTRREF(&v) = aValue;
    return *this;
  }

  UINT Count() const { return static_cast<UINT>(fItems.size()); }
  DISPPARAMS Params() {
    fReversed.assign(fItems.rbegin(), fItems.rend());
    DISPPARAMS params = {};
    params.rgvarg = fReversed.empty() ? nullptr : fReversed.data();
    params.cArgs = static_cast<UINT>(fReversed.size());
    return params;
  }

 private:
  VARIANTARG& Add(VARTYPE aType) {
    fItems.emplace_back();
    VariantInit(&fItems.back());
    V_VT(&fItems.back()) = aType;
    return fItems.back();
  }

  std::vector<VARIANTARG> fItems;     // owns the values
  std::vector<VARIANTARG> fReversed;  // a shallow copy in Invoke's order
};

// COM on the creating thread for the control's lifetime: joined as a single-threaded
// apartment unless the thread already is in the multithreaded one.
class ComApartment {
 public:
  ComApartment() : fThread(GetCurrentThreadId()) {
    const HRESULT h = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(h))
      fUninitialize = true;
    else if (h != RPC_E_CHANGED_MODE)
      CannotCreate(Text(u"COM cannot be initialised on the calling thread: ").append(HresultText(h)));
  }
  // Only the thread that joined can leave, and never under the loader lock.
  ~ComApartment() {
    if (fUninitialize && GetCurrentThreadId() == fThread && !UnloadingUnderLoaderLock()) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  DWORD fThread;
  bool fUninitialize = false;
};

enum class Member { kMethod, kProperty };

// The control's members called by name through IDispatch.
class ComFiscalPrinter final : public OposFiscalPrinter {
 public:
  ComFiscalPrinter(std::unique_ptr<ComApartment> aApartment, IDispatch* aControl)
      : fApartment(std::move(aApartment)), fControl(aControl) {}
  ~ComFiscalPrinter() override {
    // Under the loader lock the control may not run its own teardown: it is left as is.
    if (!UnloadingUnderLoaderLock()) fControl->Release();
  }
  ComFiscalPrinter(const ComFiscalPrinter&) = delete;
  ComFiscalPrinter& operator=(const ComFiscalPrinter&) = delete;

  int32_t Open(const Text& aDeviceName) override { return Method(L"Open", Arguments().String(aDeviceName)); }
  int32_t ClaimDevice(int32_t aTimeout) override { return Method(L"ClaimDevice", Arguments().Long(aTimeout)); }
  int32_t ReleaseDevice() override { return Method(L"ReleaseDevice"); }
  int32_t Close() override { return Method(L"Close"); }
  int32_t BeginFiscalReceipt(bool aPrintHeader) override {
    return Method(L"BeginFiscalReceipt", Arguments().Bool(aPrintHeader));
  }
  int32_t EndFiscalReceipt(bool aPrintHeader) override {
    return Method(L"EndFiscalReceipt", Arguments().Bool(aPrintHeader));
  }
  int32_t BeginNonFiscal() override { return Method(L"BeginNonFiscal"); }
  int32_t EndNonFiscal() override { return Method(L"EndNonFiscal"); }
  int32_t BeginTraining() override { return Method(L"BeginTraining"); }
  int32_t EndTraining() override { return Method(L"EndTraining"); }
  int32_t ResetPrinter() override { return Method(L"ResetPrinter"); }
  int32_t PrintXReport() override { return Method(L"PrintXReport"); }
  int32_t PrintZReport() override { return Method(L"PrintZReport"); }
  int32_t PrintNormal(int32_t aStation, const Text& aData) override {
    return Method(L"PrintNormal", Arguments().Long(aStation).String(aData));
  }
  int32_t PrintRecMessage(const Text& aMessage) override {
    return Method(L"PrintRecMessage", Arguments().String(aMessage));
  }
  int32_t PrintRecTaxID(const Text& aTaxId) override { return Method(L"PrintRecTaxID", Arguments().String(aTaxId)); }
  int32_t PrintRecItem(const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
                       int64_t aUnitPrice, const Text& aUnitName) override {
    return Item(L"PrintRecItem", aDescription, aPrice, aQuantity, aVatInfo, aUnitPrice, aUnitName);
  }
  int32_t PrintRecItemVoid(const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
                           int64_t aUnitPrice, const Text& aUnitName) override {
    return Item(L"PrintRecItemVoid", aDescription, aPrice, aQuantity, aVatInfo, aUnitPrice, aUnitName);
  }
  int32_t PrintRecRefund(const Text& aDescription, int64_t aAmount, int32_t aVatInfo) override {
    return Method(L"PrintRecRefund", Arguments().String(aDescription).Currency(aAmount).Long(aVatInfo));
  }
  int32_t PrintRecItemAdjustment(int32_t aAdjustmentType, const Text& aDescription, int64_t aAmount,
                                 int32_t aVatInfo) override {
    return Method(L"PrintRecItemAdjustment",
                  Arguments().Long(aAdjustmentType).String(aDescription).Currency(aAmount).Long(aVatInfo));
  }
  int32_t PrintRecSubtotal(int64_t aAmount) override {
    return Method(L"PrintRecSubtotal", Arguments().Currency(aAmount));
  }
  int32_t PrintRecSubtotalAdjustment(int32_t aAdjustmentType, const Text& aDescription, int64_t aAmount) override {
    return Method(L"PrintRecSubtotalAdjustment",
                  Arguments().Long(aAdjustmentType).String(aDescription).Currency(aAmount));
  }
  int32_t PrintRecTotal(int64_t aTotal, int64_t aPayment, const Text& aDescription) override {
    return Method(L"PrintRecTotal", Arguments().Currency(aTotal).Currency(aPayment).String(aDescription));
  }
  int32_t PrintRecNotPaid(const Text& aDescription, int64_t aAmount) override {
    return Method(L"PrintRecNotPaid", Arguments().String(aDescription).Currency(aAmount));
  }
  int32_t DirectIO(int32_t aCommand, int32_t& aData, Text& aString) override {
    LONG data = aData;
    OwnedBstr text(aString);
    const int32_t result = Method(L"DirectIO", Arguments().Long(aCommand).LongRef(&data).StringRef(text.Out()));
    aData = data;
    aString = text.ToText();
    return result;
  }
  int32_t GetData(int32_t aDataItem, int32_t& aOptArgs, Text& aData) override {
    LONG optArgs = aOptArgs;
    OwnedBstr data;
    aData.clear();
    const int32_t result = Method(L"GetData", Arguments().Long(aDataItem).LongRef(&optArgs).StringRef(data.Out()));
    aOptArgs = optArgs;
    aData = data.ToText();
    return result;
  }
  int32_t GetDate(Text& aDate) override {
    OwnedBstr date;
    aDate.clear();
    const int32_t result = Method(L"GetDate", Arguments().StringRef(date.Out()));
    aDate = date.ToText();
    return result;
  }
  int32_t SetDate(const Text& aDate) override { return Method(L"SetDate", Arguments().String(aDate)); }

  bool DeviceEnabled() override { return GetFlag(L"DeviceEnabled"); }
  void SetDeviceEnabled(bool aValue) override { Put(L"DeviceEnabled", Arguments().Bool(aValue)); }
  int32_t ResultCodeExtended() override { return GetNumber(L"ResultCodeExtended"); }
  Text ErrorString() override { return GetText(L"ErrorString"); }
  Text AdditionalTrailer() override { return GetText(L"AdditionalTrailer"); }
  void SetAdditionalTrailer(const Text& aValue) override { Put(L"AdditionalTrailer", Arguments().String(aValue)); }
  void SetPreLine(const Text& aValue) override { Put(L"PreLine", Arguments().String(aValue)); }
  void SetFiscalReceiptType(int32_t aValue) override { Put(L"FiscalReceiptType", Arguments().Long(aValue)); }
  int32_t PrinterState() override { return GetNumber(L"PrinterState"); }
  int32_t RemainingFiscalMemory() override { return GetNumber(L"RemainingFiscalMemory"); }
  bool CoverOpen() override { return GetFlag(L"CoverOpen"); }
  bool DayOpened() override { return GetFlag(L"DayOpened"); }
  bool RecEmpty() override { return GetFlag(L"RecEmpty"); }
  bool RecNearEnd() override { return GetFlag(L"RecNearEnd"); }
  bool TrainingModeActive() override { return GetFlag(L"TrainingModeActive"); }

 private:
  static Text Kind(Member aKind) { return aKind == Member::kMethod ? u"method " : u"property "; }

  DISPID Id(const wchar_t* aName, Member aKind) {
    const auto known = fIds.find(aName);
    if (known != fIds.end()) return known->second;
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR name = const_cast<LPOLESTR>(aName);
    const HRESULT h = fControl->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(h))
      throw kException(Text(u"The fiscal printer control has no ")
                           .append(Kind(aKind))
                           .append(FromWide(aName))
                           .append(u": ")
                           .append(HresultText(h)));
    fIds.emplace(aName, id);
    return id;
  }

  // One call; a failing call raises with the member's name and the control's text.
  void Invoke(const wchar_t* aName, Member aKind, WORD aFlags, Arguments& aArguments, VARIANT* aResult) {
    const DISPID id = Id(aName, aKind);
    DISPPARAMS params = aArguments.Params();
    DISPID put = DISPID_PROPERTYPUT;
    if (aFlags == DISPATCH_PROPERTYPUT) {
      params.rgdispidNamedArgs = &put;
      params.cNamedArgs = 1;
    }
    ExceptionInfo exception;
    UINT argument = 0;
    const HRESULT h =
        fControl->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, aFlags, &params, aResult, exception.Get(), &argument);
    if (SUCCEEDED(h)) return;
    Text message = Text(u"The fiscal printer control failed on the ").append(Kind(aKind)).append(FromWide(aName));
    if (h == DISP_E_EXCEPTION) {
      exception.FillIn();
      const HRESULT code = exception.Code() != 0 ? exception.Code() : h;
      const Text description = exception.Description();
      message.append(u" (").append(Hex(code)).append(u"): ");
      message.append(description.empty() ? HresultText(code) : description);
    } else {
      message.append(u": ").append(HresultText(h));
      if ((h == DISP_E_TYPEMISMATCH || h == DISP_E_PARAMNOTFOUND) && argument < aArguments.Count())
        message.append(u" (argument ").append(IntToText(aArguments.Count() - argument)).append(u")");
    }
    throw kException(message);
  }

  // The value a member answered, as aType; raises when it cannot be had as that.
  static void Coerce(VARIANT* aValue, VARTYPE aType, const wchar_t* aName, Member aKind) {
    if (V_VT(aValue) == aType) return;
    const HRESULT h = VariantChangeType(aValue, aValue, 0, aType);
    if (FAILED(h))
      throw kException(Text(u"The fiscal printer control answered the ")
                           .append(Kind(aKind))
                           .append(FromWide(aName))
                           .append(u" with a value of another type: ")
                           .append(HresultText(h)));
  }

  // An item and its void take the same arguments.
  int32_t Item(const wchar_t* aName, const Text& aDescription, int64_t aPrice, int32_t aQuantity, int32_t aVatInfo,
               int64_t aUnitPrice, const Text& aUnitName) {
    return Method(aName, Arguments()
                             .String(aDescription)
                             .Currency(aPrice)
                             .Long(aQuantity)
                             .Long(aVatInfo)
                             .Currency(aUnitPrice)
                             .String(aUnitName));
  }
  int32_t Method(const wchar_t* aName) {
    Arguments none;
    return Method(aName, none);
  }
  int32_t Method(const wchar_t* aName, Arguments& aArguments) {
    OwnedVariant result;
    Answer(aName, Member::kMethod, DISPATCH_METHOD, aArguments, VT_I4, result);
    return V_I4(result.Get());
  }
  void Put(const wchar_t* aName, Arguments& aValue) {
    Invoke(aName, Member::kProperty, DISPATCH_PROPERTYPUT, aValue, nullptr);
  }
  int32_t GetNumber(const wchar_t* aName) {
    OwnedVariant value;
    Get(aName, VT_I4, value);
    return V_I4(value.Get());
  }
  bool GetFlag(const wchar_t* aName) {
    OwnedVariant value;
    Get(aName, VT_BOOL, value);
    return V_BOOL(value.Get()) != VARIANT_FALSE;
  }
  Text GetText(const wchar_t* aName) {
    OwnedVariant value;
    Get(aName, VT_BSTR, value);
    const BSTR text = V_BSTR(value.Get());
    return text ? FromWide(text, SysStringLen(text)) : Text();
  }
  // A call that answers a value, had as aType in aValue.
  void Answer(const wchar_t* aName, Member aKind, WORD aFlags, Arguments& aArguments, VARTYPE aType,
              OwnedVariant& aValue) {
    Invoke(aName, aKind, aFlags, aArguments, aValue.Get());
    Coerce(aValue.Get(), aType, aName, aKind);
  }
  void Get(const wchar_t* aName, VARTYPE aType, OwnedVariant& aValue) {
    Arguments none;
    Answer(aName, Member::kProperty, DISPATCH_PROPERTYGET, none, aType, aValue);
  }

  std::unique_ptr<ComApartment> fApartment;  // declared first: left after the control is released
  IDispatch* fControl;                       // one reference, owned
  std::map<std::wstring, DISPID> fIds;
};

}  // namespace

std::unique_ptr<OposFiscalPrinter> OposFiscalPrinterOverDispatch(IDispatch* aControl) {
  if (aControl == nullptr) throw kException(u"The OPOS FiscalPrinter control cannot be created: no control object");
  auto printer = std::make_unique<ComFiscalPrinter>(nullptr, aControl);
  aControl->AddRef();
  return printer;
}

std::unique_ptr<OposFiscalPrinter> OposFiscalPrinter::Create() {
  auto apartment = std::make_unique<ComApartment>();
  // The class registered under the ProgID, else the standard's class identifier.
  CLSID clsid = kFiscalPrinterClsid;
  if (FAILED(CLSIDFromProgID(kProgId, &clsid))) clsid = kFiscalPrinterClsid;
  IDispatch* control = nullptr;
  const HRESULT h = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(&control));
  if (FAILED(h) || control == nullptr)
    CannotCreate(Text(u"the class ")
                     .append(FromWide(kProgId))
                     .append(u" ")
                     .append(ClsidText(clsid))
                     .append(u" cannot be made: ")
                     .append(HresultText(FAILED(h) ? h : E_NOINTERFACE)));
  try {
    return std::make_unique<ComFiscalPrinter>(std::move(apartment), control);
  } catch (...) {
    control->Release();
    throw;
  }
}

}  // namespace zv::platform
