// Mono's BSTRs beside the library's on Linux: each side reads and frees what the other
// allocated (a mismatch of layout or allocator fails a check or aborts in free), and
// texts beyond ASCII cross a command both ways. Prints one line a check; exits with the
// number of failed checks.

using System;
using System.Runtime.InteropServices;
using ZvpaLorvani;

static class BstrLayout {
  [DllImport(ZvpaLorvani10.Library)]
  static extern IntPtr SysAllocStringLen([MarshalAs(UnmanagedType.LPWStr)] string text, uint length);
  [DllImport(ZvpaLorvani10.Library)]
  static extern uint SysStringLen(IntPtr text);
  [DllImport(ZvpaLorvani10.Library)]
  static extern uint SysStringByteLen(IntPtr text);
  [DllImport(ZvpaLorvani10.Library)]
  static extern void SysFreeString(IntPtr text);

  static int failures = 0;

  static void Check(string what, bool holds) {
    Console.WriteLine("{0}: {1}", holds ? "ok" : "FAILED", what);
    if (!holds)
      failures++;
  }

  static int Main() {
    const string text = "Caff\u00e8 12,50 \u20ac \ud83d\ude00";  // a surrogate pair at the end
    for (int round = 0; round < 1000; round++) {
      // Allocated by Mono, read and freed by the library.
      IntPtr mono = Marshal.StringToBSTR(text);
      bool monoRead = Marshal.ReadInt32(mono, -4) == 2 * text.Length && SysStringLen(mono) == text.Length &&
                      SysStringByteLen(mono) == 2 * text.Length && Marshal.ReadInt16(mono, 2 * text.Length) == 0;
      SysFreeString(mono);
      // Allocated by the library, read and freed by Mono.
      IntPtr library = SysAllocStringLen(text, (uint)text.Length);
      bool libraryRead = Marshal.PtrToStringBSTR(library) == text;
      Marshal.FreeBSTR(library);
      if (round == 0 || !monoRead || !libraryRead) {
        Check("Mono's BSTR read by the library (round " + round + ")", monoRead);
        Check("the library's BSTR read by Mono (round " + round + ")", libraryRead);
        if (!monoRead || !libraryRead)
          break;
      }
    }
    // A request marshalled by Mono, an answer and an error text marshalled back.
    string response, error;
    int result =
        ZvpaLorvani10.OPEN("<Request><Driver>" + text + " &amp; &lt;x&gt;</Driver></Request>", out response, out error);
    string expected = "Payment Driver [" + text + " & <x>] not registered.";
    Check("a failure is 65535", result == ZvpaLorvani10.Failure);
    Check("the error text as sent: " + error, error == expected);
    Check("the response's ErrorText escaped",
          response != null && response.Contains("<ErrorText>Payment Driver [" + text +
                                                " &amp; &lt;x&gt;] not registered.</ErrorText>"));
    // An empty text comes back as null.
    result = ZvpaLorvani10.VERSION("NOT_A_DRIVER", out response, out error);
    Check("VERSION of another name answers null texts", result == 0 && response == null && error == null);
    Console.WriteLine("{0} failed", failures);
    return failures;
  }
}
