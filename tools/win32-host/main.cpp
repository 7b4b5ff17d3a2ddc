// A Windows point-of-sale host in miniature: loads ZVPA_LORVANI_10.dll with LoadLibraryW,
// finds the commands with GetProcAddress and checks every answer.
//   zvpa-win32-host DLL [BASE-URL BEARER CA-FILE]
// Without a provider address only what needs no provider is checked (VERSION, OPEN
// refusals); with one, OPEN, PAY (payment, refund, void), GETSTATUS and CLOSE run
// against it. Exit code 0 when every check held.

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

namespace {

using Command = int(__stdcall*)(BSTR, BSTR*, BSTR*);

struct Answer {
  int Result = -1;
  std::wstring Response, Error;
};

HMODULE gLibrary = nullptr;
int gFailures = 0;

Answer Call(const char* aName, const std::wstring& aRequest) {
  Answer answer;
  auto command = reinterpret_cast<Command>(reinterpret_cast<void*>(GetProcAddress(gLibrary, aName)));
  if (command == nullptr) {
    std::printf("FAIL %s: not exported\n", aName);
    ++gFailures;
    return answer;
  }
  BSTR request = SysAllocStringLen(aRequest.data(), static_cast<UINT>(aRequest.size()));
  BSTR response = reinterpret_cast<BSTR>(1), error = reinterpret_cast<BSTR>(1);  // must be set to null or a text
  answer.Result = command(request, &response, &error);
  if (response != nullptr) answer.Response.assign(response, SysStringLen(response));
  if (error != nullptr) answer.Error.assign(error, SysStringLen(error));
  SysFreeString(response);
  SysFreeString(error);
  SysFreeString(request);
  return answer;
}

void Check(bool aHeld, const char* aWhat, const Answer& aAnswer) {
  if (aHeld) {
    std::printf("ok   %s\n", aWhat);
    return;
  }
  ++gFailures;
  std::printf("FAIL %s (result %d)\n  response: %ls\n  error: %ls\n", aWhat, aAnswer.Result, aAnswer.Response.c_str(),
              aAnswer.Error.c_str());
}

bool Has(const std::wstring& aText, const std::wstring& aPart) { return aText.find(aPart) != std::wstring::npos; }

std::wstring Element(const std::wstring& aText, const std::wstring& aName) {
  const std::wstring open = L"<" + aName + L">", close = L"</" + aName + L">";
  const size_t start = aText.find(open);
  if (start == std::wstring::npos) return {};
  const size_t end = aText.find(close, start);
  return end == std::wstring::npos ? std::wstring() : aText.substr(start + open.size(), end - start - open.size());
}

void WithoutProvider() {
  Answer a = Call("VERSION", L"ZVPA_LORVANI_10");
  Check(a.Result == 0 && a.Response == L"Version 1.01 - 10/11/2021" && a.Error.empty(), "VERSION of the driver", a);
  a = Call("VERSION", L"NOPE");
  Check(a.Result == 0 && a.Response.empty(), "VERSION of an unknown driver is null", a);
  a = Call("OPEN", L"<R><Driver>NOPE</Driver></R>");
  Check(a.Result == 0xFFFF && a.Error == L"Payment Driver [NOPE] not registered.", "OPEN of an unknown driver: 0xFFFF", a);
  a = Call("GETSTATUS", L"<R><Handle>77</Handle></R>");
  Check(a.Result == 0xFFFF && Has(a.Response, L"<Error>True</Error>"), "GETSTATUS of an unknown handle fails", a);
}

std::wstring Pay(const std::wstring& aHandle, const std::wstring& aAction, const std::wstring& aAmount,
                 const std::wstring& aToken) {
  std::wstring payment = L"<Action>" + aAction + L"</Action><Amount>" + aAmount +
                         L"</Amount><Currency>EUR</Currency><Attributes>PRE-1</Attributes><StoreCode>S1</StoreCode>"
                         L"<TillCode>T2</TillCode><OperatorId>op7</OperatorId><Reference>R42</Reference>";
  if (!aToken.empty()) payment += L"<RefundReference><PaymentId>" + aToken + L"</PaymentId></RefundReference>";
  return L"<Request><Handle>" + aHandle + L"</Handle><Payment>" + payment + L"</Payment></Request>";
}

std::wstring Open(const std::wstring& aUrl, const std::wstring& aBearer, const std::wstring& aCaFile) {
  return L"<Request><Driver>ZVPA_LORVANI_10</Driver><Connection><Type>HTTP</Type><URL>" + aUrl +
         L"</URL></Connection><Parameters><Bearer>" + aBearer + L"</Bearer><TlsCaFile>" + aCaFile +
         L"</TlsCaFile></Parameters></Request>";
}

bool Succeeded(const Answer& aAnswer) {
  return aAnswer.Result == 0 && aAnswer.Error.empty() && Element(aAnswer.Response, L"Error") == L"False";
}

// A whole session against the provider; a second device is left open for unloading.
void WithProvider(const std::wstring& aUrl, const std::wstring& aBearer, const std::wstring& aCaFile) {
  Answer a = Call("OPEN", Open(aUrl, aBearer, aCaFile));
  const std::wstring handle = Element(a.Response, L"Handle");
  Check(Succeeded(a) && !handle.empty() && handle != L"0", "OPEN against the provider", a);
  a = Call("PAY", Pay(handle, L"PAY", L"12.50", L""));
  const std::wstring token = Element(a.Response, L"RefundReference");
  Check(Succeeded(a) && !token.empty() && Element(a.Response, L"PaymentAmount") == L"12.5", "PAY payment", a);
  a = Call("PAY", Pay(handle, L"REFUND", L"2.50", token));
  Check(Succeeded(a) && Element(a.Response, L"RefundReference") == token &&
            Element(a.Response, L"PaymentAmount") == L"2.5",
        "PAY refund", a);
  a = Call("PAY", Pay(handle, L"VOID", L"2.50", token));
  Check(Succeeded(a), "PAY void", a);
  a = Call("GETSTATUS", L"<Request><Handle>" + handle + L"</Handle></Request>");
  Check(Succeeded(a), "GETSTATUS", a);
  a = Call("CLOSE", L"<Request><Handle>" + handle + L"</Handle></Request>");
  Check(Succeeded(a), "CLOSE", a);
  a = Call("GETSTATUS", L"<Request><Handle>" + handle + L"</Handle></Request>");
  Check(a.Result == 0xFFFF, "GETSTATUS after CLOSE fails", a);
  a = Call("OPEN", Open(aUrl, aBearer, aCaFile));
  Check(Succeeded(a), "OPEN of a device left open for unloading", a);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 5) {
    std::printf("usage: zvpa-win32-host DLL [BASE-URL BEARER CA-FILE]\n");
    return 2;
  }
  gLibrary = LoadLibraryW(argv[1]);
  if (gLibrary == nullptr) {
    std::printf("FAIL LoadLibraryW: error %lu\n", GetLastError());
    return 1;
  }
  WithoutProvider();
  if (argc == 5) WithProvider(argv[2], argv[3], argv[4]);
  // Unloading returns, also with a device left open: its log gets its STOP banner.
  Check(FreeLibrary(gLibrary) != 0, "FreeLibrary returns", Answer{});
  std::printf("%d failed\n", gFailures);
  return gFailures == 0 ? 0 : 1;
}
