/* ZVPA_LORVANI_10.h as a host includes it: compiled as C and as C++, with <windows.h>
 * before it (ZV_WINDOWS_FIRST) or after it (ZV_WINDOWS_AFTER), or without any Windows
 * header (neither: as Microsoft's compiler sees the header alone). The types must be
 * the system's own: a BSTR of oleauto.h goes in, the commands are __stdcall. */
#ifdef ZV_WINDOWS_FIRST
#include <windows.h>
#endif
#include "ZVPA_LORVANI_10.h"
#ifdef ZV_WINDOWS_AFTER
#include <windows.h>
#endif

typedef int(__stdcall* Command)(BSTR, BSTR*, BSTR*);

int CallAll(BSTR aRequest);

int CallAll(BSTR aRequest) {
  const Command commands[] = {OPEN, CLOSE, PAY, REPRINT, GETSTATUS, DAYCLOSE, GETTOTALS, VERSION};
  BSTR response = 0, error = 0;
  int failures = 0;
  unsigned i;
  for (i = 0; i < sizeof commands / sizeof commands[0]; ++i) failures += commands[i](aRequest, &response, &error) != 0;
#if defined(ZV_WINDOWS_FIRST) || defined(ZV_WINDOWS_AFTER)
  /* The strings are oleaut32's. */
  SysFreeString(response);
  SysFreeString(error);
  {
    BSTR own = SysAllocString(L"ZVPA_LORVANI_10");
    OLECHAR* text = own;
    failures += VERSION(text, &response, &error);
    SysFreeString(own);
  }
#endif
  return failures;
}
