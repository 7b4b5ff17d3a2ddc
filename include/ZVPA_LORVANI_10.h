/*
 * ZVPA_LORVANI_10 - payment driver for point-of-sale hosts.
 *
 * A host loads the library by path, or on Windows links one of its import libraries
 * (libZVPA_LORVANI_10.dll.a for MinGW, ZVPA_LORVANI_10.lib for Microsoft's linker;
 * the DLL is 32-bit, so is its host), and calls the eight commands below. Each takes a
 * request text and two addresses of string variables: the first receives the
 * response text, the second the error text. The result is 0 on success and 0xFFFF on
 * failure (a host reading 16 bits sees -1, one reading 32 bits sees 65535).
 *
 * Strings are BSTRs: a pointer to the first UTF-16 code unit of an allocation that
 * holds a 32-bit byte length before the text and a 16-bit NUL after it. A null BSTR
 * is the empty text. On entry each non-null out-address has its variable set to
 * null; what it held before is not freed. The host owns every string it receives
 * and frees it with SysFreeString (on Linux the library's own, exported below; on
 * Windows oleaut32's). OPEN and PAY with a null response address do nothing and fail
 * (the error text says so when an error address is given): their answer is the device
 * handle or the payment's outcome. The other commands skip a null address.
 */
#ifndef ZVPA_LORVANI_10_H
#define ZVPA_LORVANI_10_H

#ifdef _WIN32
/* The same types as the Windows headers declare them (a repeated identical typedef is
   allowed in C11 and C++), so that this header may come before or after <windows.h>;
   in C, wchar_t is <stddef.h>'s. */
#ifndef __cplusplus
#include <stddef.h>
#endif
typedef wchar_t OLECHAR;
typedef OLECHAR* BSTR;
#define ZV_API __stdcall
#define ZV_EXPORT
#else
#include <stdint.h>
#ifdef __cplusplus
typedef char16_t OLECHAR;
#else
#include <uchar.h>
typedef char16_t OLECHAR;
#endif
typedef OLECHAR* BSTR;
#define ZV_API
#define ZV_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

ZV_EXPORT int ZV_API OPEN(BSTR aRequest, BSTR* aResponse, BSTR* aError);
ZV_EXPORT int ZV_API CLOSE(BSTR aRequest, BSTR* aResponse, BSTR* aError);
ZV_EXPORT int ZV_API PAY(BSTR aRequest, BSTR* aResponse, BSTR* aError);
ZV_EXPORT int ZV_API REPRINT(BSTR aRequest, BSTR* aResponse, BSTR* aError);
ZV_EXPORT int ZV_API GETSTATUS(BSTR aRequest, BSTR* aResponse, BSTR* aError);
ZV_EXPORT int ZV_API DAYCLOSE(BSTR aRequest, BSTR* aResponse, BSTR* aError);
ZV_EXPORT int ZV_API GETTOTALS(BSTR aRequest, BSTR* aResponse, BSTR* aError);
/* The request is a driver name; the response is its version text, or null when the
   name is not registered. The error text is never written; the result is always 0. */
ZV_EXPORT int ZV_API VERSION(BSTR aDriverName, BSTR* aResponse, BSTR* aError);

#ifndef _WIN32
/* The system string allocator with the Windows semantics, for Linux hosts. */
ZV_EXPORT BSTR SysAllocString(const OLECHAR* aText);
ZV_EXPORT BSTR SysAllocStringLen(const OLECHAR* aText, unsigned int aLength);
ZV_EXPORT unsigned int SysStringLen(BSTR aText);
ZV_EXPORT unsigned int SysStringByteLen(BSTR aText);
ZV_EXPORT void SysFreeString(BSTR aText);
#endif

#ifdef __cplusplus
}
#endif

#endif
