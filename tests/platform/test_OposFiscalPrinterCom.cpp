// The OPOS FiscalPrinter control over COM (Windows build, run under Wine).
//
// Wine has no OPOS control: no OPOS.FiscalPrinter class is registered there, so what it
// can show of the real class is how creating it fails. The calls themselves are checked
// against an IDispatch of the test's own, which records what it is called with and
// answers from a table: argument types and order, by-reference outs, currency scaling,
// property puts, and how a control's COM exception reaches the caller.

#ifdef _WIN32

#include <gtest/gtest.h>
#include <windows.h>
#include <oaidl.h>
#include <oleauto.h>
// winspool's macro would rename the control's method.
#undef ResetPrinter

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "TestText.h"
#include "base/Exception.h"
#include "device/uZVIOHandler_OPOS.h"
#include "platform/Clock.h"
#include "platform/OposFiscalPrinter.h"
#include "platform/win32/OposFiscalPrinterCom.h"

namespace {

using namespace zv;
using namespace zv::platform;
using zvtest::T;
using zvtest::U8;

std::string Narrow(const wchar_t* aText, size_t aLength) {
  return U8(Text(reinterpret_cast<const char16_t*>(aText), aLength));
}
std::string Narrow(BSTR aText) { return aText ? Narrow(aText, SysStringLen(aText)) : std::string("<null>"); }

// One argument as the control saw it: its type and value.
std::string Describe(const VARIANTARG& aValue) {
  switch (V_VT(&aValue)) {
    case VT_I4: return "I4 " + std::to_string(V_I4(&aValue));
    case VT_BOOL: return "BOOL " + std::to_string(V_BOOL(&aValue));
    case VT_CY: return "CY " + std::to_string(V_CY(&aValue).int64);
    case VT_BSTR: return "BSTR '" + Narrow(V_BSTR(&aValue)) + "'";
    case VT_I4 | VT_BYREF: return "I4& " + std::to_string(*V_I4REF(&aValue));
    case VT_BSTR | VT_BYREF: return "BSTR& '" + Narrow(*V_BSTRREF(&aValue)) + "'";
    default: return "VT " + std::to_string(V_VT(&aValue));
  }
}

// How the test control answers one member.
struct Answer {
  VARTYPE Type = VT_I4;  // of the value answered
  int32_t Number = 0;
  std::wstring String = L"";
  LONG OutNumber = 0;        // written into a by-reference long
  std::wstring OutString = L"";  // written into a by-reference BSTR
  bool WritesOuts = false;
  HRESULT Failure = S_OK;     // returned instead of an answer
  std::wstring Description = L"";  // of a raised exception (Failure DISP_E_EXCEPTION)
  HRESULT ExceptionCode = 0;  // its scode
  bool Deferred = false;      // the description filled in only on request
  UINT BadArgument = 0;       // reported with DISP_E_TYPEMISMATCH
};

struct Call {
  std::string Name;
  WORD Flags;
  std::vector<std::string> Arguments;  // in declaration order
  bool NamedPut;
};

// An IDispatch that knows every member by name, records each call and answers from a
// table (a member without an entry answers the number 0).
class TestControl final : public IDispatch {
 public:
  std::map<std::string, Answer> Answers;
  std::vector<Call> Calls;
  std::vector<std::string> Unknown;  // names it does not know

  ULONG References() const { return fReferences; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID aId, void** aOut) override {
    if (aId == IID_IUnknown || aId == IID_IDispatch) {
      *aOut = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *aOut = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++fReferences; }
  ULONG STDMETHODCALLTYPE Release() override { return --fReferences; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* aCount) override {
    *aCount = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* aNames, UINT aCount, LCID, DISPID* aIds) override {
    if (aCount != 1) return E_INVALIDARG;
    const std::string name = Narrow(aNames[0], wcslen(aNames[0]));
    for (const std::string& unknown : Unknown)
      if (unknown == name) {
        aIds[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
      }
    ++fLookups[name];
    for (size_t i = 0; i < fNames.size(); ++i)
      if (fNames[i] == name) {
        aIds[0] = static_cast<DISPID>(i + 1);
        return S_OK;
      }
    fNames.push_back(name);
    aIds[0] = static_cast<DISPID>(fNames.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID aId, REFIID, LCID, WORD aFlags, DISPPARAMS* aParams, VARIANT* aResult,
                                   EXCEPINFO* aException, UINT* aArgError) override {
    if (aId < 1 || static_cast<size_t>(aId) > fNames.size()) return DISP_E_MEMBERNOTFOUND;
    Call call{fNames[aId - 1], aFlags, {}, false};
    for (UINT i = aParams->cArgs; i-- > 0;) call.Arguments.push_back(Describe(aParams->rgvarg[i]));
    call.NamedPut = aParams->cNamedArgs == 1 && aParams->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
    Calls.push_back(call);
    const Answer answer = Answers[call.Name];
    if (answer.WritesOuts)
      for (UINT i = 0; i < aParams->cArgs; ++i) {
        VARIANTARG& a = aParams->rgvarg[i];
        if (V_VT(&a) == (VT_I4 | VT_BYREF)) *V_I4REF(&a) = answer.OutNumber;
        if (V_VT(&a) == (VT_BSTR | VT_BYREF)) {
          // An in-out BSTR: the callee frees what it was given and leaves its own.
          SysFreeString(*V_BSTRREF(&a));
          *V_BSTRREF(&a) = SysAllocStringLen(answer.OutString.data(), answer.OutString.size());
        }
      }
    if (answer.Failure == DISP_E_EXCEPTION) {
      ZeroMemory(aException, sizeof *aException);
      aException->scode = answer.ExceptionCode;
      aException->bstrSource = SysAllocString(L"OPOS.FiscalPrinter");
      if (answer.Deferred) {
        sDeferredDescription = answer.Description;
        aException->pfnDeferredFillIn = FillIn;
      } else if (!answer.Description.empty()) {
        aException->bstrDescription = SysAllocString(answer.Description.c_str());
      }
      return DISP_E_EXCEPTION;
    }
    if (answer.Failure == DISP_E_TYPEMISMATCH) *aArgError = answer.BadArgument;
    if (FAILED(answer.Failure)) return answer.Failure;
    if (aResult != nullptr) {
      VariantInit(aResult);
      V_VT(aResult) = answer.Type;
      if (answer.Type == VT_I4) V_I4(aResult) = answer.Number;
      if (answer.Type == VT_I2) V_I2(aResult) = static_cast<SHORT>(answer.Number);
      if (answer.Type == VT_BOOL) V_BOOL(aResult) = answer.Number ? VARIANT_TRUE : VARIANT_FALSE;
      if (answer.Type == VT_BSTR) V_BSTR(aResult) = SysAllocStringLen(answer.String.data(), answer.String.size());
    }
    return S_OK;
  }

  int Lookups(const std::string& aName) const {
    const auto found = fLookups.find(aName);
    return found == fLookups.end() ? 0 : found->second;
  }

 private:
  static HRESULT STDMETHODCALLTYPE FillIn(EXCEPINFO* aInfo) {
    aInfo->bstrDescription = SysAllocString(sDeferredDescription.c_str());
    aInfo->pfnDeferredFillIn = nullptr;
    return S_OK;
  }
  static inline std::wstring sDeferredDescription;
  ULONG fReferences = 1;
  std::vector<std::string> fNames;  // DISPID n is fNames[n - 1]
  std::map<std::string, int> fLookups;
};

std::string FailureOf(const std::function<void()>& aAction) {
  try {
    aAction();
  } catch (const kException& e) {
    return U8(e.Message());
  }
  return "(no exception)";
}

TEST(OposFiscalPrinterCom, MethodsPassTheirArgumentsByNameWithTheirTypes) {
  TestControl control;
  auto fp = OposFiscalPrinterOverDispatch(&control);
  struct Case {
    std::function<int32_t(OposFiscalPrinter&)> Call;
    std::string Name;
    std::vector<std::string> Arguments;
  };
  const Case cases[] = {
      {[](auto& f) { return f.Open(u"Till 4"); }, "Open", {"BSTR 'Till 4'"}},
      {[](auto& f) { return f.ClaimDevice(2500); }, "ClaimDevice", {"I4 2500"}},
      {[](auto& f) { return f.ReleaseDevice(); }, "ReleaseDevice", {}},
      {[](auto& f) { return f.Close(); }, "Close", {}},
      {[](auto& f) { return f.BeginFiscalReceipt(true); }, "BeginFiscalReceipt", {"BOOL -1"}},
      {[](auto& f) { return f.EndFiscalReceipt(false); }, "EndFiscalReceipt", {"BOOL 0"}},
      {[](auto& f) { return f.BeginNonFiscal(); }, "BeginNonFiscal", {}},
      {[](auto& f) { return f.EndNonFiscal(); }, "EndNonFiscal", {}},
      {[](auto& f) { return f.BeginTraining(); }, "BeginTraining", {}},
      {[](auto& f) { return f.EndTraining(); }, "EndTraining", {}},
      {[](auto& f) { return f.ResetPrinter(); }, "ResetPrinter", {}},
      {[](auto& f) { return f.PrintXReport(); }, "PrintXReport", {}},
      {[](auto& f) { return f.PrintZReport(); }, "PrintZReport", {}},
      {[](auto& f) { return f.PrintNormal(2, u"It's"); }, "PrintNormal", {"I4 2", "BSTR 'It's'"}},
      {[](auto& f) { return f.PrintRecMessage(u""); }, "PrintRecMessage", {"BSTR ''"}},
      {[](auto& f) { return f.PrintRecTaxID(u"IT123"); }, "PrintRecTaxID", {"BSTR 'IT123'"}},
      // 12.50 for 2.5 units at 5.00 each: currency scaled by 10,000, quantity in thousandths.
      {[](auto& f) { return f.PrintRecItem(u"Caf\u00e9", 125000, 2500, 1, 50000, u"kg"); },
       "PrintRecItem",
       {"BSTR 'Caf\xC3\xA9'", "CY 125000", "I4 2500", "I4 1", "CY 50000", "BSTR 'kg'"}},
      {[](auto& f) { return f.PrintRecItemVoid(u"Tea", -30000, 1000, 2, 30000, u"pc"); },
       "PrintRecItemVoid",
       {"BSTR 'Tea'", "CY -30000", "I4 1000", "I4 2", "CY 30000", "BSTR 'pc'"}},
      {[](auto& f) { return f.PrintRecRefund(u"Back", 9223372036854775807LL, 3); },
       "PrintRecRefund",
       {"BSTR 'Back'", "CY 9223372036854775807", "I4 3"}},
      {[](auto& f) { return f.PrintRecItemAdjustment(1, u"Off", 2500, 4); },
       "PrintRecItemAdjustment",
       {"I4 1", "BSTR 'Off'", "CY 2500", "I4 4"}},
      {[](auto& f) { return f.PrintRecSubtotal(1); }, "PrintRecSubtotal", {"CY 1"}},
      {[](auto& f) { return f.PrintRecSubtotalAdjustment(2, u"Round", -100); },
       "PrintRecSubtotalAdjustment",
       {"I4 2", "BSTR 'Round'", "CY -100"}},
      {[](auto& f) { return f.PrintRecTotal(300000, 500000, u"Cash"); },
       "PrintRecTotal",
       {"CY 300000", "CY 500000", "BSTR 'Cash'"}},
      {[](auto& f) { return f.PrintRecNotPaid(u"Credit", 70000); }, "PrintRecNotPaid", {"BSTR 'Credit'", "CY 70000"}},
      {[](auto& f) { return f.SetDate(u"010220241530"); }, "SetDate", {"BSTR '010220241530'"}},
  };
  int32_t code = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    control.Answers[c.Name].Number = ++code;
    control.Calls.clear();
    EXPECT_EQ(c.Call(*fp), code);
    ASSERT_EQ(control.Calls.size(), 1u);
    EXPECT_EQ(control.Calls[0].Name, c.Name);
    EXPECT_EQ(control.Calls[0].Flags, DISPATCH_METHOD);
    EXPECT_EQ(control.Calls[0].Arguments, c.Arguments);
  }
}

TEST(OposFiscalPrinterCom, ResultsOfAnotherIntegerTypeAreConvertedAndNamesLookedUpOnce) {
  TestControl control;
  auto fp = OposFiscalPrinterOverDispatch(&control);
  control.Answers["PrintXReport"] = {.Type = VT_I2, .Number = 114};
  EXPECT_EQ(fp->PrintXReport(), 114);
  EXPECT_EQ(fp->PrintXReport(), 114);
  EXPECT_EQ(control.Lookups("PrintXReport"), 1);
  control.Answers["PrintZReport"] = {.Type = VT_BSTR, .String = L"no number"};
  EXPECT_EQ(FailureOf([&] { fp->PrintZReport(); }).rfind(
                "The fiscal printer control answered the method PrintZReport with a value of another type: ", 0),
            0u);
}

TEST(OposFiscalPrinterCom, InOutArgumentsGoByReferenceAndComeBackAlsoOnFailure) {
  TestControl control;
  auto fp = OposFiscalPrinterOverDispatch(&control);

  control.Answers["DirectIO"] = {.Number = 114, .OutNumber = 42, .OutString = L"answer", .WritesOuts = true};
  int32_t data = 7;
  Text string = u"question";
  EXPECT_EQ(fp->DirectIO(3, data, string), 114);
  EXPECT_EQ(control.Calls.back().Arguments, (std::vector<std::string>{"I4 3", "I4& 7", "BSTR& 'question'"}));
  EXPECT_EQ(data, 42);
  EXPECT_EQ(U8(string), "answer");

  // A control that leaves the string as it was hands the caller's text back.
  control.Answers["DirectIO"] = {};
  string = u"kept";
  EXPECT_EQ(fp->DirectIO(4, data, string), 0);
  EXPECT_EQ(U8(string), "kept");
  EXPECT_EQ(data, 42);

  control.Answers["GetData"] = {.OutNumber = 9, .OutString = L"12345", .WritesOuts = true};
  int32_t optArgs = 1;
  Text out = u"stale";
  EXPECT_EQ(fp->GetData(11, optArgs, out), 0);
  // An out-only text goes as a null string (COM's empty text), never the caller's old one.
  EXPECT_EQ(control.Calls.back().Arguments, (std::vector<std::string>{"I4 11", "I4& 1", "BSTR& '<null>'"}));
  EXPECT_EQ(optArgs, 9);
  EXPECT_EQ(U8(out), "12345");

  control.Answers["GetDate"] = {.OutString = L"010220241530", .WritesOuts = true};
  Text date = u"stale";
  EXPECT_EQ(fp->GetDate(date), 0);
  EXPECT_EQ(control.Calls.back().Arguments, (std::vector<std::string>{"BSTR& '<null>'"}));
  EXPECT_EQ(U8(date), "010220241530");

  // A failing GetDate that writes nothing leaves the empty text, not the caller's old one.
  control.Answers["GetDate"] = {.Number = 111};
  EXPECT_EQ(fp->GetDate(date), 111);
  EXPECT_EQ(U8(date), "");
}

TEST(OposFiscalPrinterCom, PropertiesAreReadAndWrittenWithTheirTypes) {
  TestControl control;
  auto fp = OposFiscalPrinterOverDispatch(&control);
  control.Answers["DeviceEnabled"] = {.Type = VT_BOOL, .Number = 1};
  control.Answers["ResultCodeExtended"] = {.Number = 203};
  control.Answers["ErrorString"] = {.Type = VT_BSTR, .String = L"paper out"};
  control.Answers["AdditionalTrailer"] = {.Type = VT_BSTR, .String = L"A\r\n"};
  control.Answers["PrinterState"] = {.Number = 2};
  control.Answers["RemainingFiscalMemory"] = {.Number = 1500};
  control.Answers["CoverOpen"] = {.Type = VT_BOOL, .Number = 0};
  control.Answers["DayOpened"] = {.Type = VT_BOOL, .Number = 1};
  control.Answers["RecEmpty"] = {.Type = VT_BOOL, .Number = 0};
  control.Answers["RecNearEnd"] = {.Type = VT_BOOL, .Number = 1};
  control.Answers["TrainingModeActive"] = {.Type = VT_BOOL, .Number = 0};

  EXPECT_TRUE(fp->DeviceEnabled());
  EXPECT_EQ(fp->ResultCodeExtended(), 203);
  EXPECT_EQ(U8(fp->ErrorString()), "paper out");
  EXPECT_EQ(U8(fp->AdditionalTrailer()), "A\r\n");
  EXPECT_EQ(fp->PrinterState(), 2);
  EXPECT_EQ(fp->RemainingFiscalMemory(), 1500);
  EXPECT_FALSE(fp->CoverOpen());
  EXPECT_TRUE(fp->DayOpened());
  EXPECT_FALSE(fp->RecEmpty());
  EXPECT_TRUE(fp->RecNearEnd());
  EXPECT_FALSE(fp->TrainingModeActive());
  for (const Call& call : control.Calls) {
    SCOPED_TRACE(call.Name);
    EXPECT_EQ(call.Flags, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(call.Arguments.empty());
  }

  control.Calls.clear();
  fp->SetDeviceEnabled(false);
  fp->SetAdditionalTrailer(u"Thanks");
  fp->SetPreLine(u"");
  fp->SetFiscalReceiptType(4);
  const std::pair<std::string, std::string> puts[] = {
      {"DeviceEnabled", "BOOL 0"}, {"AdditionalTrailer", "BSTR 'Thanks'"}, {"PreLine", "BSTR ''"},
      {"FiscalReceiptType", "I4 4"}};
  ASSERT_EQ(control.Calls.size(), std::size(puts));
  for (size_t i = 0; i < std::size(puts); ++i) {
    SCOPED_TRACE(puts[i].first);
    EXPECT_EQ(control.Calls[i].Name, puts[i].first);
    EXPECT_EQ(control.Calls[i].Flags, DISPATCH_PROPERTYPUT);
    EXPECT_TRUE(control.Calls[i].NamedPut);
    EXPECT_EQ(control.Calls[i].Arguments, std::vector<std::string>{puts[i].second});
  }
}

// A control's COM exception becomes the failure the plug-in control raises for a
// property: the member, the code, and the control's own text.
TEST(OposFiscalPrinterCom, ControlFailuresRaiseWithTheMemberAndTheControlsText) {
  TestControl control;
  control.Unknown = {"PrintRecTaxID"};
  auto fp = OposFiscalPrinterOverDispatch(&control);
  struct Case {
    std::string Member;
    Answer Failure;
    std::function<void(OposFiscalPrinter&)> Call;
    std::string Message;
  };
  const Case cases[] = {
      {"DeviceEnabled",
       {.Failure = DISP_E_EXCEPTION, .Description = L"enable refused", .ExceptionCode = E_FAIL},
       [](auto& f) { f.SetDeviceEnabled(true); },
       "The fiscal printer control failed on the property DeviceEnabled (0x80004005): enable refused"},
      {"ErrorString",
       {.Failure = DISP_E_EXCEPTION, .Description = L"status lost", .ExceptionCode = E_FAIL, .Deferred = true},
       [](auto& f) { f.ErrorString(); },
       "The fiscal printer control failed on the property ErrorString (0x80004005): status lost"},
      {"Open",
       {.Failure = DISP_E_EXCEPTION, .Description = L"no service object", .ExceptionCode = E_UNEXPECTED},
       [](auto& f) { f.Open(u"x"); },
       "The fiscal printer control failed on the method Open (0x8000FFFF): no service object"},
      {"PrinterState",
       {.Failure = DISP_E_TYPEMISMATCH, .BadArgument = 0},
       [](auto& f) { f.PrinterState(); },
       "The fiscal printer control failed on the property PrinterState: "},
      {"PrintRecTaxID", {}, [](auto& f) { f.PrintRecTaxID(u"x"); },
       "The fiscal printer control has no method PrintRecTaxID: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Member);
    control.Answers[c.Member] = c.Failure;
    const std::string failure = FailureOf([&] { c.Call(*fp); });
    if (c.Message.back() == ' ') {  // the system's text for the code follows
      EXPECT_EQ(failure.substr(0, c.Message.size()), c.Message);
      EXPECT_GT(failure.size(), c.Message.size()) << failure;
    } else {
      EXPECT_EQ(failure, c.Message);
    }
  }
  // A type mismatch names the argument in the member's own order (the first of three).
  control.Answers["PrintRecTotal"] = {.Failure = DISP_E_TYPEMISMATCH, .BadArgument = 2};
  const std::string mismatch = FailureOf([&] { fp->PrintRecTotal(1, 2, u"x"); });
  EXPECT_NE(mismatch.find("(argument 1)"), std::string::npos) << mismatch;
  // An exception without a description takes the system's text for its code.
  control.Answers["CoverOpen"] = {.Failure = DISP_E_EXCEPTION, .ExceptionCode = E_OUTOFMEMORY};
  const std::string bare = FailureOf([&] { fp->CoverOpen(); });
  EXPECT_EQ(bare.rfind("The fiscal printer control failed on the property CoverOpen (0x8007000E): ", 0), 0u) << bare;
  EXPECT_GT(bare.size(), std::string("The fiscal printer control failed on the property CoverOpen (0x8007000E): ").size());
}

TEST(OposFiscalPrinterCom, TheControlIsHeldWhileInUseAndReleasedOnce) {
  TestControl control;
  {
    auto fp = OposFiscalPrinterOverDispatch(&control);
    EXPECT_EQ(control.References(), 2u);
    fp->Close();
    EXPECT_EQ(control.References(), 2u);
  }
  EXPECT_EQ(control.References(), 1u);
}

// Under Wine no OPOS control is installed: creating one fails with the system's text for
// a class that is not registered, naming the class.
constexpr char kNotRegistered[] =
    "The OPOS FiscalPrinter control cannot be created: the class OPOS.FiscalPrinter "
    "{CCB90072-B81E-11D2-AB74-0040054C3719} cannot be made: ";

TEST(OposFiscalPrinterCom, AClassThatIsNotRegisteredCannotBeCreated) {
  const std::string failure = FailureOf([] { OposFiscalPrinter::Create(); });
  EXPECT_EQ(failure.rfind(kNotRegistered, 0), 0u) << failure;
  // REGDB_E_CLASSNOTREG, after the system's text where it has one.
  EXPECT_NE(failure.find("0x80040154"), std::string::npos) << failure;
  // COM is left as it was found: the thread can still join the other apartment.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  CoUninitialize();
}

std::string Today() {
  const CivilTime now = LocalNow();
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", now.Year, now.Month, now.Day);
  return buffer;
}

// The OPOS handler of a device raises the same failure, and its log gets the START and
// STOP banners.
TEST(OposFiscalPrinterCom, TheHandlerOfAnOposDeviceFailsWithTheCause) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("zv-oposcom-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(dir);
  kConnection connection;
  const std::string failure =
      FailureOf([&] { kIOHandler_OPOS handler(&connection, T(dir.string()), u"OPOS_None"); });
  EXPECT_EQ(failure.rfind(kNotRegistered, 0), 0u) << failure;
  std::ifstream log(dir / ("OPOS_None_" + Today() + ".log"), std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  log.close();
  const size_t start = content.find("*************************** START ***************************\r\n");
  const size_t stop = content.find("*************************** STOP ****************************\r\n");
  EXPECT_NE(start, std::string::npos) << content;
  EXPECT_NE(stop, std::string::npos) << content;
  EXPECT_LT(start, stop);
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2) << content;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace

#endif  // _WIN32
