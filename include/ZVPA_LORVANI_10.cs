// ZVPA_LORVANI_10 - payment driver for point-of-sale hosts: its eight commands for a .NET
// host (C#), as ZVPA_LORVANI_10.h declares them for C.
//
// The Windows DLL is 32-bit: the host must be a 32-bit process. Build it for x86
// (csc -platform:x86, or <PlatformTarget>x86</PlatformTarget> in a project); an AnyCPU
// program on 64-bit Windows, or an x64 one, cannot load the DLL (BadImageFormatException).
// On Linux, Mono loads ZVPA_LORVANI_10.so from the folders of LD_LIBRARY_PATH (the
// package puts it in /usr/lib/zvpa-lorvani-10).
//
// Each command takes a request text and gives back a response text and an error text.
// The texts cross as BSTRs, and MarshalAs(UnmanagedType.BStr) leaves the memory to the
// runtime: it allocates the request's BSTR and frees it after the call; it makes strings
// of the response and the error and frees the driver's BSTRs (SysFreeString on Windows;
// Mono on Linux frees them as the library allocates them: a 32-bit byte length before
// the UTF-16 text, the block from malloc). An empty text comes back as null.
//
// The result is 0 on success and 65535 (0xFFFF) on failure: the driver returns a 32-bit
// int whose low 16 bits are the command's 16-bit result, so declare it int, not short.
// A failure's reason is the error text, also in the response's ErrorText element. OPEN
// and PAY must be given the response (here always): without it they do nothing.
//
// Calls from several threads are served one at a time.

using System.Runtime.InteropServices;

namespace ZvpaLorvani {
  public static class ZvpaLorvani10 {
    // The library's name without its extension: ZVPA_LORVANI_10.dll on Windows,
    // ZVPA_LORVANI_10.so on Linux.
    public const string Library = "ZVPA_LORVANI_10";

    public const int Success = 0;
    public const int Failure = 0xFFFF;

    // Opens a device: the response's Handle names it in the later commands.
    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int OPEN([MarshalAs(UnmanagedType.BStr)] string request,
                                  [MarshalAs(UnmanagedType.BStr)] out string response,
                                  [MarshalAs(UnmanagedType.BStr)] out string error);

    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int CLOSE([MarshalAs(UnmanagedType.BStr)] string request,
                                   [MarshalAs(UnmanagedType.BStr)] out string response,
                                   [MarshalAs(UnmanagedType.BStr)] out string error);

    // A payment, refund or void (the request's Payment/Action).
    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int PAY([MarshalAs(UnmanagedType.BStr)] string request,
                                 [MarshalAs(UnmanagedType.BStr)] out string response,
                                 [MarshalAs(UnmanagedType.BStr)] out string error);

    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int REPRINT([MarshalAs(UnmanagedType.BStr)] string request,
                                     [MarshalAs(UnmanagedType.BStr)] out string response,
                                     [MarshalAs(UnmanagedType.BStr)] out string error);

    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int GETSTATUS([MarshalAs(UnmanagedType.BStr)] string request,
                                       [MarshalAs(UnmanagedType.BStr)] out string response,
                                       [MarshalAs(UnmanagedType.BStr)] out string error);

    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int DAYCLOSE([MarshalAs(UnmanagedType.BStr)] string request,
                                      [MarshalAs(UnmanagedType.BStr)] out string response,
                                      [MarshalAs(UnmanagedType.BStr)] out string error);

    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int GETTOTALS([MarshalAs(UnmanagedType.BStr)] string request,
                                       [MarshalAs(UnmanagedType.BStr)] out string response,
                                       [MarshalAs(UnmanagedType.BStr)] out string error);

    // The request is a driver name ("ZVPA_LORVANI_10"); the response its version text,
    // or null for another name. The result is always 0 and the error text null.
    [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
    public static extern int VERSION([MarshalAs(UnmanagedType.BStr)] string driverName,
                                     [MarshalAs(UnmanagedType.BStr)] out string response,
                                     [MarshalAs(UnmanagedType.BStr)] out string error);
  }
}
