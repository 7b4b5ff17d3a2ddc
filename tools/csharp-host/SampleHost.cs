// A point-of-sale host in miniature, in C#: VERSION, OPEN, PAY and CLOSE through the
// driver's declarations (ZVPA_LORVANI_10.cs), each answer printed element by element.
//
//   SampleHost URL BEARER [CA-FILE [AMOUNT CURRENCY PRE-APPROVAL-CODE]]
//
// Windows (a 32-bit program, ZVPA_LORVANI_10.dll beside it; csc of the .NET Framework):
//   csc -platform:x86 -out:SampleHost.exe SampleHost.cs ZVPA_LORVANI_10.cs
//   SampleHost https://192.168.1.20:8443/v1/instore/ demo-token C:\POS\lorvani-sim-ca.pem
// Linux (Mono):
//   mcs -out:SampleHost.exe SampleHost.cs ZVPA_LORVANI_10.cs
//   LD_LIBRARY_PATH=/usr/lib/zvpa-lorvani-10 mono SampleHost.exe https://127.0.0.1:8443/v1/instore/ demo-token ca.pem
// It exits with 0 when all four commands succeeded, 1 when one failed, 2 for wrong arguments.

using System;
using System.IO;
using System.Runtime.CompilerServices;
using System.Security;
using System.Xml;
using ZvpaLorvani;

static class SampleHost {
  delegate int Command(string request, out string response, out string error);

  // An answer is a sequence of elements without a root element: wrapped in one, it is
  // an XML document.
  static XmlElement ParseAnswer(string response) {
    var document = new XmlDocument();
    document.LoadXml("<Answer>" + response + "</Answer>");
    return document.DocumentElement;
  }

  static string Element(XmlElement answer, string name) {
    XmlElement element = answer[name];
    return element == null ? "" : element.InnerText;
  }

  // What the host puts into a request is XML text: "&" and "<" must be escaped.
  static string Xml(string text) {
    return SecurityElement.Escape(text);
  }

  // Runs one command and prints its answer; null when it failed.
  static XmlElement Run(string name, Command command, string request) {
    string response, error;
    int result = command(request, out response, out error);
    Console.WriteLine("{0}: result {1}{2}", name, result, result == ZvpaLorvani10.Success ? "" : " (failed)");
    if (result != ZvpaLorvani10.Success)
      Console.WriteLine("  error: {0}", error);
    if (response == null)
      return null;
    XmlElement answer = ParseAnswer(response);
    foreach (XmlNode element in answer.ChildNodes) Console.WriteLine("  {0,-24} {1}", element.Name, element.InnerText);
    return result == ZvpaLorvani10.Success ? answer : null;
  }

  static int Main(string[] args) {
    if (args.Length != 2 && args.Length != 3 && args.Length != 6) {
      Console.Error.WriteLine("usage: SampleHost URL BEARER [CA-FILE [AMOUNT CURRENCY PRE-APPROVAL-CODE]]");
      return 2;
    }
    // The driver writes its logs below the folder of the process's executable: the .NET
    // runtime's or Mono's, where a host may not write. It reads ZV_LOG_DIR when it is
    // loaded and at each OPEN. Mono loads it when it compiles a method that calls it, so
    // the variable is set here, before Run, the first such method, is compiled.
    if (string.IsNullOrEmpty(Environment.GetEnvironmentVariable("ZV_LOG_DIR"))) {
      string logs =
          Path.Combine(Environment.GetFolderPath(Environment.SpecialFolder.LocalApplicationData), "ZvpaSampleHost");
      Environment.SetEnvironmentVariable("ZV_LOG_DIR", logs);
    }
    return Run(args);
  }

  [MethodImpl(MethodImplOptions.NoInlining)]
  static int Run(string[] args) {
    string url = args[0], bearer = args[1], caFile = args.Length > 2 ? args[2] : "";
    string amount = args.Length > 3 ? args[3] : "12.50", currency = args.Length > 3 ? args[4] : "EUR";
    string code = args.Length > 3 ? args[5] : "PRE-APPROVAL-CODE";

    string version, error;
    ZvpaLorvani10.VERSION("ZVPA_LORVANI_10", out version, out error);
    Console.WriteLine("VERSION: {0}", version);

    XmlElement opened =
        Run("OPEN", ZvpaLorvani10.OPEN,
            "<Request><Driver>ZVPA_LORVANI_10</Driver><LogId>csharp</LogId>" + "<Connection><Type>HTTP</Type><URL>" +
                Xml(url) + "</URL></Connection>" + "<Parameters><Bearer>" + Xml(bearer) + "</Bearer>" +
                (caFile.Length > 0 ? "<TlsCaFile>" + Xml(caFile) + "</TlsCaFile>" : "") + "</Parameters></Request>");
    if (opened == null)
      return 1;
    // A successful OPEN may still carry a warning (a device log that cannot be written).
    string warning = Element(opened, "ErrorText");
    if (warning.Length > 0)
      Console.WriteLine("warning: {0}", warning);
    string handle = Element(opened, "Handle");

    XmlElement paid =
        Run("PAY", ZvpaLorvani10.PAY,
            "<Request><Handle>" + handle + "</Handle><Payment>" + "<Amount>" + Xml(amount) + "</Amount><Currency>" +
                Xml(currency) + "</Currency>" + "<Attributes>" + Xml(code) + "</Attributes>" +
                "<StoreCode>S1</StoreCode><TillCode>T1</TillCode><OperatorId>cashier-1</OperatorId>" +
                "<Reference>Receipt 1</Reference></Payment></Request>");
    // The order's token: a later REFUND or VOID names it as RefundReference/PaymentId.
    if (paid != null)
      Console.WriteLine("paid: order {0}", Element(paid, "RefundReference"));

    XmlElement closed = Run("CLOSE", ZvpaLorvani10.CLOSE, "<Request><Handle>" + handle + "</Handle></Request>");
    return paid != null && closed != null ? 0 : 1;
  }
}
