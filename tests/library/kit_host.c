/* A Windows point-of-sale host in miniature, as an integrator writes it from the kit:
 * it includes ZVPA_LORVANI_10.h, calls the commands directly and is linked against an
 * import library (no LoadLibrary). It uses no C runtime, so that the same source links
 * with MinGW and, without a C library, with Microsoft's linker (lld-link).
 *
 * Environment: ZV_KIT_URL, ZV_KIT_BEARER, ZV_KIT_CA (the provider; without a URL only
 * VERSION and the version resource are checked).
 * Prints one "key=value" line a step; exit code 0 when every step held.
 *
 * ZV_KIT_NO_SDK: compiled without the Windows headers (clang in Microsoft's mode has
 * none here): the few system functions are declared below as the SDK declares them. */
#ifdef ZV_KIT_NO_SDK
#include "ZVPA_LORVANI_10.h"
typedef void* HANDLE;
typedef void* HMODULE;
typedef unsigned long DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef struct {
  DWORD dwSignature, dwStrucVersion, dwFileVersionMS, dwFileVersionLS, dwProductVersionMS, dwProductVersionLS,
      dwFileFlagsMask, dwFileFlags, dwFileOS, dwFileType, dwFileSubtype, dwFileDateMS, dwFileDateLS;
} VS_FIXEDFILEINFO;
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define WINAPI __stdcall
#define IMPORT __declspec(dllimport)
IMPORT HANDLE WINAPI GetStdHandle(DWORD);
IMPORT BOOL WINAPI WriteFile(HANDLE, const void*, DWORD, DWORD*, void*);
IMPORT void WINAPI ExitProcess(UINT);
IMPORT DWORD WINAPI GetEnvironmentVariableW(const wchar_t*, wchar_t*, DWORD);
IMPORT HMODULE WINAPI GetModuleHandleW(const wchar_t*);
IMPORT DWORD WINAPI GetModuleFileNameW(HMODULE, wchar_t*, DWORD);
IMPORT BSTR WINAPI SysAllocString(const OLECHAR*);
IMPORT UINT WINAPI SysStringLen(BSTR);
IMPORT void WINAPI SysFreeString(BSTR);
IMPORT DWORD WINAPI GetFileVersionInfoSizeW(const wchar_t*, DWORD*);
IMPORT BOOL WINAPI GetFileVersionInfoW(const wchar_t*, DWORD, DWORD, void*);
IMPORT BOOL WINAPI VerQueryValueW(const void*, const wchar_t*, void**, UINT*);
#else
#include <windows.h>
#include <oleauto.h>

#include "ZVPA_LORVANI_10.h"
#endif

typedef int(ZV_API* Command)(BSTR, BSTR*, BSTR*);

static int gFailures = 0;

static void Print(const char* aText) {
  DWORD length = 0, written = 0;
  while (aText[length] != 0) ++length;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), aText, length, &written, NULL);
}

/* Wide text as it comes, up to aLength units or a NUL (the answers here are ASCII). */
static void PrintWide(const wchar_t* aText, unsigned aLength) {
  char chunk[65];
  unsigned i = 0, n = 0;
  for (; i < aLength && aText[i] != 0; ++i) {
    chunk[n++] = aText[i] < 128 ? (char)aText[i] : '?';
    if (n == 64) {
      chunk[n] = 0;
      Print(chunk);
      n = 0;
    }
  }
  chunk[n] = 0;
  Print(chunk);
}

static void PrintNumber(unsigned long aValue) {
  char digits[12];
  int n = 11;
  digits[n] = 0;
  do {
    digits[--n] = (char)('0' + aValue % 10);
    aValue /= 10;
  } while (aValue != 0);
  Print(digits + n);
}

static void Check(int aHeld, const char* aWhat) {
  Print(aHeld ? "ok " : "FAIL ");
  Print(aWhat);
  Print("\n");
  if (!aHeld) ++gFailures;
}

/* A text being built, in static storage (no stack probes without the C runtime). */
static wchar_t gRequest[2048];
static unsigned gRequestLength;

static void Start(void) {
  gRequestLength = 0;
  gRequest[0] = 0;
}

static void Add(const wchar_t* aText) {
  while (*aText != 0 && gRequestLength + 1 < sizeof gRequest / sizeof gRequest[0]) gRequest[gRequestLength++] = *aText++;
  gRequest[gRequestLength] = 0;
}

/* The last answer, copied out of its BSTRs. */
static wchar_t gResponse[4096];
static unsigned gResponseLength;
static int gResult;

static void Call(const char* aName, Command aCommand) {
  BSTR request = SysAllocString(gRequest), response = NULL, error = NULL;
  unsigned i;
  gResult = aCommand(request, &response, &error);
  gResponseLength = response != NULL ? SysStringLen(response) : 0;
  if (gResponseLength >= sizeof gResponse / sizeof gResponse[0]) gResponseLength = sizeof gResponse / sizeof gResponse[0] - 1;
  for (i = 0; i < gResponseLength; ++i) gResponse[i] = response[i];
  gResponse[gResponseLength] = 0;
  Print(aName);
  Print("=");
  PrintNumber((unsigned long)gResult);
  if (error != NULL) {
    Print(" error=");
    PrintWide(error, SysStringLen(error));
  }
  Print("\n");
  SysFreeString(response);
  SysFreeString(error);
  SysFreeString(request);
}

static int StartsWith(const wchar_t* aText, const wchar_t* aPrefix) {
  while (*aPrefix != 0)
    if (*aText++ != *aPrefix++) return 0;
  return 1;
}

/* The value of <aName>...</aName> in the last answer, into aValue (empty when absent). */
static void Element(const wchar_t* aName, wchar_t* aValue, unsigned aSize) {
  unsigned i, n = 0, nameLength = 0;
  while (aName[nameLength] != 0) ++nameLength;
  aValue[0] = 0;
  for (i = 0; i + nameLength + 2 <= gResponseLength; ++i) {
    if (gResponse[i] == L'<' && StartsWith(gResponse + i + 1, aName) && gResponse[i + 1 + nameLength] == L'>') {
      const wchar_t* value = gResponse + i + 2 + nameLength;
      while (*value != 0 && *value != L'<' && n + 1 < aSize) aValue[n++] = *value++;
      aValue[n] = 0;
      return;
    }
  }
}

static int Equal(const wchar_t* aLeft, const wchar_t* aRight) { return StartsWith(aLeft, aRight) && StartsWith(aRight, aLeft); }

static wchar_t gUrl[512], gBearer[256], gCa[512], gHandle[16], gToken[128], gValue[128];

/* The DLL's version resource, read as an installer reads it. */
static void CheckVersionResource(void) {
  static unsigned char data[8192];
  static wchar_t path[1024];
  DWORD ignored = 0, size;
  void* value = NULL;
  UINT valueSize = 0;
  GetModuleFileNameW(GetModuleHandleW(L"ZVPA_LORVANI_10.dll"), path, 1024);
  size = GetFileVersionInfoSizeW(path, &ignored);
  Check(size > 0 && size <= sizeof data && GetFileVersionInfoW(path, 0, size, data), "the DLL has a version resource");
  if (VerQueryValueW(data, L"\\", &value, &valueSize) && valueSize >= sizeof(VS_FIXEDFILEINFO)) {
    const VS_FIXEDFILEINFO* fixed = (const VS_FIXEDFILEINFO*)value;
    Print("fixed-file-version=");
    PrintNumber(fixed->dwFileVersionMS >> 16);
    Print(".");
    PrintNumber(fixed->dwFileVersionMS & 0xFFFF);
    Print("\n");
  }
  {
    static const wchar_t* const names[] = {L"FileVersion", L"ProductVersion", L"CompanyName", L"FileDescription",
                                           L"OriginalFilename"};
    unsigned i;
    for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
      Start();
      Add(L"\\StringFileInfo\\040904B0\\");
      Add(names[i]);
      PrintWide(names[i], 32);
      Print("=");
      if (VerQueryValueW(data, gRequest, &value, &valueSize) && valueSize > 0)
        PrintWide((const wchar_t*)value, valueSize - 1);
      Print("\n");
    }
  }
}

static int Run(void) {
  Start();
  Add(L"ZVPA_LORVANI_10");
  Call("VERSION", VERSION);
  Check(gResult == 0 && StartsWith(gResponse, L"Version 1.01 - "), "VERSION answers the driver's version");
  CheckVersionResource();

  if (GetEnvironmentVariableW(L"ZV_KIT_URL", gUrl, 512) == 0) return gFailures == 0 ? 0 : 1;
  GetEnvironmentVariableW(L"ZV_KIT_BEARER", gBearer, 256);
  GetEnvironmentVariableW(L"ZV_KIT_CA", gCa, 512);

  Start();
  Add(L"<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>Kit</LogId><Connection><Type>HTTP</Type><URL>");
  Add(gUrl);
  Add(L"</URL></Connection><Parameters><Bearer>");
  Add(gBearer);
  Add(L"</Bearer><TlsCaFile>");
  Add(gCa);
  Add(L"</TlsCaFile></Parameters></Request>");
  Call("OPEN", OPEN);
  Element(L"Handle", gHandle, 16);
  Check(gResult == 0 && gHandle[0] != 0 && !Equal(gHandle, L"0"), "OPEN answers a handle");

  Start();
  Add(L"<Request><Handle>");
  Add(gHandle);
  Add(L"</Handle><Payment><Amount>12.50</Amount><Currency>EUR</Currency><Attributes>PRE-KIT</Attributes>"
      L"<StoreCode>S1</StoreCode><TillCode>T2</TillCode><OperatorId>op</OperatorId><Reference>Kit</Reference>"
      L"</Payment></Request>");
  Call("PAY", PAY);
  Element(L"RefundReference", gToken, 128);
  Element(L"PaymentAmount", gValue, 128);
  Check(gResult == 0 && gToken[0] != 0 && Equal(gValue, L"12.5"), "PAY is approved with an order token");
  Print("token=");
  PrintWide(gToken, 127);
  Print("\n");

  Start();
  Add(L"<Request><Handle>");
  Add(gHandle);
  Add(L"</Handle></Request>");
  Call("CLOSE", CLOSE);
  Element(L"Error", gValue, 128);
  Check(gResult == 0 && Equal(gValue, L"False"), "CLOSE closes the device");
  return gFailures == 0 ? 0 : 1;
}

#ifdef ZV_KIT_NO_SDK
/* The entry point without a C runtime. */
void KitEntry(void) { ExitProcess((UINT)Run()); }
#else
int main(void) { return Run(); }
#endif
