// The OPOS FiscalPrinter control over COM, answered by the system's own dispatcher: a
// control described by a type description (CreateDispTypeInfo) behind oleaut32's
// standard IDispatch (CreateStdDispatch). oleaut32, not this program, reads the
// argument structures that the plug-in passes (DISPPARAMS, VARIANTs with currency,
// strings and by-reference outs), converts them to the declared types and calls the
// control's stdcall members with them on the stack, as a control made by another
// compiler receives them. In a 32-bit build that is the 32-bit layout and convention.

#include <gtest/gtest.h>
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
// winspool's macro would rename the control's method.
#undef ResetPrinter

#include <cstdint>
#include <string>
#include <vector>

#include "TestText.h"
#include "platform/OposFiscalPrinter.h"
#include "platform/win32/OposFiscalPrinterCom.h"

namespace {

using namespace zv;
using namespace zv::platform;
using zvtest::U8;

std::string Narrow(BSTR aText) {
  return aText ? U8(Text(reinterpret_cast<const char16_t*>(aText), SysStringLen(aText))) : std::string("<null>");
}

// The control's members, in the order of their slots after IUnknown's three; each
// records what it received.
class Control : public IUnknown {
 public:
  std::vector<std::string> Calls;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID aId, void** aOut) override {
    if (aId == IID_IUnknown) {
      *aOut = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *aOut = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++fReferences; }
  ULONG STDMETHODCALLTYPE Release() override { return --fReferences; }  // lives on the test's stack

  virtual LONG STDMETHODCALLTYPE Open(BSTR aName) {  // slot 3
    Calls.push_back("Open " + Narrow(aName));
    return 101;
  }
  virtual LONG STDMETHODCALLTYPE ClaimDevice(LONG aTimeout) {  // 4
    Calls.push_back("ClaimDevice " + std::to_string(aTimeout));
    return 102;
  }
  virtual LONG STDMETHODCALLTYPE BeginFiscalReceipt(VARIANT_BOOL aHeader) {  // 5
    Calls.push_back("BeginFiscalReceipt " + std::to_string(aHeader));
    return 103;
  }
  virtual LONG STDMETHODCALLTYPE PrintRecItem(BSTR aDescription, CY aPrice, LONG aQuantity, LONG aVatInfo,
                                              CY aUnitPrice, BSTR aUnitName) {  // 6
    Calls.push_back("PrintRecItem " + Narrow(aDescription) + " " + std::to_string(aPrice.int64) + " " +
                    std::to_string(aQuantity) + " " + std::to_string(aVatInfo) + " " +
                    std::to_string(aUnitPrice.int64) + " " + Narrow(aUnitName));
    return 104;
  }
  virtual LONG STDMETHODCALLTYPE PrintRecRefund(BSTR aDescription, CY aAmount, LONG aVatInfo) {  // 7
    Calls.push_back("PrintRecRefund " + Narrow(aDescription) + " " + std::to_string(aAmount.int64) + " " +
                    std::to_string(aVatInfo));
    return 105;
  }
  virtual LONG STDMETHODCALLTYPE DirectIO(LONG aCommand, LONG* aData, BSTR* aString) {  // 8
    Calls.push_back("DirectIO " + std::to_string(aCommand) + " " + std::to_string(*aData) + " " + Narrow(*aString));
    *aData = 42;
    SysFreeString(*aString);
    *aString = SysAllocString(L"answer");
    return 106;
  }
  virtual VARIANT_BOOL STDMETHODCALLTYPE GetDeviceEnabled() {  // 9
    Calls.push_back("get DeviceEnabled");
    return VARIANT_TRUE;
  }
  virtual LONG STDMETHODCALLTYPE PutDeviceEnabled(VARIANT_BOOL aValue) {  // 10
    Calls.push_back("put DeviceEnabled " + std::to_string(aValue));
    return 0;
  }
  virtual BSTR STDMETHODCALLTYPE GetErrorString() {  // 11
    Calls.push_back("get ErrorString");
    return SysAllocString(L"paper out");
  }
  virtual LONG STDMETHODCALLTYPE PutAdditionalTrailer(BSTR aValue) {  // 12
    Calls.push_back("put AdditionalTrailer " + Narrow(aValue));
    return 0;
  }
  virtual LONG STDMETHODCALLTYPE GetResultCodeExtended() {  // 13
    Calls.push_back("get ResultCodeExtended");
    return -203;
  }

 private:
  ULONG fReferences = 1;
};

// The description of Control's members for the system's dispatcher.
class Description {
 public:
  Description() {
    Method(L"Open", 3, VT_I4, DISPATCH_METHOD, {{L"DeviceName", VT_BSTR}});
    Method(L"ClaimDevice", 4, VT_I4, DISPATCH_METHOD, {{L"Timeout", VT_I4}});
    Method(L"BeginFiscalReceipt", 5, VT_I4, DISPATCH_METHOD, {{L"PrintHeader", VT_BOOL}});
    Method(L"PrintRecItem", 6, VT_I4, DISPATCH_METHOD,
           {{L"Description", VT_BSTR},
            {L"Price", VT_CY},
            {L"Quantity", VT_I4},
            {L"VatInfo", VT_I4},
            {L"UnitPrice", VT_CY},
            {L"UnitName", VT_BSTR}});
    Method(L"PrintRecRefund", 7, VT_I4, DISPATCH_METHOD,
           {{L"Description", VT_BSTR}, {L"Amount", VT_CY}, {L"VatInfo", VT_I4}});
    Method(L"DirectIO", 8, VT_I4, DISPATCH_METHOD,
           {{L"Command", VT_I4}, {L"pData", VT_I4 | VT_BYREF}, {L"pString", VT_BSTR | VT_BYREF}});
    Method(L"DeviceEnabled", 9, VT_BOOL, DISPATCH_PROPERTYGET, {});
    Method(L"DeviceEnabled", 10, VT_I4, DISPATCH_PROPERTYPUT, {{L"Value", VT_BOOL}});
    Method(L"ErrorString", 11, VT_BSTR, DISPATCH_PROPERTYGET, {});
    Method(L"AdditionalTrailer", 12, VT_I4, DISPATCH_PROPERTYPUT, {{L"Value", VT_BSTR}});
    Method(L"ResultCodeExtended", 13, VT_I4, DISPATCH_PROPERTYGET, {});
    fMethods.reserve(fPending.size());
    for (Pending& p : fPending) {
      METHODDATA m = {};
      m.szName = const_cast<OLECHAR*>(p.Name.c_str());
      m.ppdata = p.Parameters.empty() ? nullptr : p.Parameters.data();
      m.dispid = p.Id;
      m.iMeth = p.Slot;
      m.cc = CC_STDCALL;
      m.cArgs = static_cast<UINT>(p.Parameters.size());
      m.wFlags = p.Flags;
      m.vtReturn = p.Returns;
      fMethods.push_back(m);
    }
  }
  INTERFACEDATA* Get() {
    fInterface.pmethdata = fMethods.data();
    fInterface.cMembers = static_cast<UINT>(fMethods.size());
    return &fInterface;
  }

 private:
  struct Parameter {
    const wchar_t* Name;
    VARTYPE Type;
  };
  struct Pending {
    std::wstring Name;
    DISPID Id;
    UINT Slot;
    WORD Flags;
    VARTYPE Returns;
    std::vector<PARAMDATA> Parameters;
  };
  void Method(const wchar_t* aName, UINT aSlot, VARTYPE aReturns, WORD aFlags, std::vector<Parameter> aParameters) {
    // A property's get and put share one id.
    DISPID id = static_cast<DISPID>(fPending.size() + 1);
    for (const Pending& p : fPending)
      if (p.Name == aName) id = p.Id;
    Pending p{aName, id, aSlot, aFlags, aReturns, {}};
    for (const Parameter& parameter : aParameters)
      p.Parameters.push_back(PARAMDATA{const_cast<OLECHAR*>(parameter.Name), parameter.Type});
    fPending.push_back(std::move(p));
  }

  std::vector<Pending> fPending;
  std::vector<METHODDATA> fMethods;
  INTERFACEDATA fInterface = {};
};

TEST(OposFiscalPrinterTypeInfo, TheSystemsDispatcherReadsTheArgumentsAndCallsTheStdcallMembers) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  Control control;
  Description description;
  ITypeInfo* typeInfo = nullptr;
  ASSERT_EQ(CreateDispTypeInfo(description.Get(), LOCALE_SYSTEM_DEFAULT, &typeInfo), S_OK);
  // What it answers is a class implementing the described interface: the interface's
  // own description goes to the dispatcher.
  HREFTYPE implemented = 0;
  ITypeInfo* interfaceInfo = nullptr;
  ASSERT_EQ(typeInfo->GetRefTypeOfImplType(0, &implemented), S_OK);
  ASSERT_EQ(typeInfo->GetRefTypeInfo(implemented, &interfaceInfo), S_OK);
  IUnknown* standard = nullptr;
  ASSERT_EQ(CreateStdDispatch(nullptr, &control, interfaceInfo, &standard), S_OK);
  IDispatch* dispatch = nullptr;
  ASSERT_EQ(standard->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
  {
    auto fp = OposFiscalPrinterOverDispatch(dispatch);
    EXPECT_EQ(fp->Open(u"Till 4"), 101);
    EXPECT_EQ(fp->ClaimDevice(2500), 102);
    EXPECT_EQ(fp->BeginFiscalReceipt(true), 103);
    // Currency is eight bytes on the stack between four-byte arguments.
    EXPECT_EQ(fp->PrintRecItem(u"Caf\u00e9", 125000, 2500, 1, -50000, u"kg"), 104);
    EXPECT_EQ(fp->PrintRecRefund(u"Back", 9223372036854775807LL, 3), 105);
    int32_t data = 7;
    Text string = u"question";
    EXPECT_EQ(fp->DirectIO(3, data, string), 106);
    EXPECT_EQ(data, 42);
    EXPECT_EQ(U8(string), "answer");
    EXPECT_TRUE(fp->DeviceEnabled());
    fp->SetDeviceEnabled(false);
    EXPECT_EQ(U8(fp->ErrorString()), "paper out");
    fp->SetAdditionalTrailer(u"Thanks");
    EXPECT_EQ(fp->ResultCodeExtended(), -203);
  }
  EXPECT_EQ(control.Calls, (std::vector<std::string>{
                               "Open Till 4",
                               "ClaimDevice 2500",
                               "BeginFiscalReceipt -1",
                               "PrintRecItem Caf\xC3\xA9 125000 2500 1 -50000 kg",
                               "PrintRecRefund Back 9223372036854775807 3",
                               "DirectIO 3 7 question",
                               "get DeviceEnabled",
                               "put DeviceEnabled 0",
                               "get ErrorString",
                               "put AdditionalTrailer Thanks",
                               "get ResultCodeExtended",
                           }));
  dispatch->Release();
  standard->Release();
  interfaceInfo->Release();
  typeInfo->Release();
  CoUninitialize();
}

}  // namespace
