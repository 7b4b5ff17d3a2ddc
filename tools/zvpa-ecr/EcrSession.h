#pragma once
// A command-line point-of-sale host: loads the driver library by path and sends it
// requests, one command or a whole session of commands in one process (devices live
// inside the host process, so a session keeps its handles from line to line).

#include <istream>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ZVPA_LORVANI_10.h"

namespace ecr {

// The library's exports, resolved once.
class DriverLibrary {
 public:
  explicit DriverLibrary(const std::string& aPath);
  ~DriverLibrary();
  DriverLibrary(const DriverLibrary&) = delete;
  DriverLibrary& operator=(const DriverLibrary&) = delete;

  struct Answer {
    std::string response;  // UTF-8
    std::string error;     // UTF-8
    bool responseNull = true;
    int result = 0;
  };
  // Calls an export by name (OPEN, PAY, ..., VERSION) with a UTF-8 request.
  Answer Call(const std::string& aCommand, const std::string& aRequest) const;

 private:
  void* fHandle = nullptr;
  BSTR (*fAllocStringLen)(const OLECHAR*, unsigned) = nullptr;
  unsigned (*fStringLen)(BSTR) = nullptr;
  void (*fFreeString)(BSTR) = nullptr;
};

enum class Output { Table, Raw, Json };

// The log id of a request without --log-id, so that the device log has a name of its own.
inline constexpr const char* kDefaultLogId = "ecr";

// The options that hold for the whole run; they may stand anywhere among the words.
struct GlobalOptions {
  std::string library;  // empty: not given
  std::string script;   // empty: not given
  bool raw = false;
  bool json = false;
  bool help = false;
  bool version = false;
};
// Takes the global options out of aWords (skipping the values of request options, so
// "--reference --raw" keeps "--raw" as the reference) and returns the other words.
std::vector<std::string> TakeGlobalOptions(const std::vector<std::string>& aWords, GlobalOptions& aOptions);

// One command as typed: its name and its options in order.
struct CommandLine {
  std::string command;
  std::vector<std::pair<std::string, std::string>> options;  // "--amount" -> "12.50"; flags -> ""
};

// Reads the command and its options; throws std::runtime_error with a readable message.
CommandLine ParseCommandLine(const std::vector<std::string>& aWords);
// Splits a line into words as a shell does: single quotes keep everything up to the next
// single quote, double quotes group with backslash escapes, a backslash escapes outside quotes.
std::vector<std::string> SplitWords(const std::string& aLine);

// The response elements in order, values unescaped.
std::vector<std::pair<std::string, std::string>> ParseResponse(const std::string& aResponse);

// The failed exchange the HTTP client logged during one call: an HTTP status, or the
// transport's failure code (libcurl's numbers, all below 100) when no answer came.
struct LoggedStatus {
  bool found = false;
  int code = 0;
  std::string text;
  bool Transport() const { return code < 100; }
};
// aAdded: what a device log grew by during the call. Lines before the first banner are
// the tail of an earlier call that the log's thread wrote late, and a second banner
// starts a call of another host: only the lines of the first banner count.
LoggedStatus CallHttpStatus(const std::string& aAdded);

// aRequest with the text of every <Bearer> element, and the password of a <Proxy>,
// shown as ***.
std::string HideSecrets(const std::string& aRequest);
// A typed session line as the history keeps it: the value of --bearer (and of
// --param Bearer=), and the password of --param Proxy=, shown as ***.
std::string HistoryLine(const std::string& aLine);

class Session {
 public:
  // aLabelled: raw answers are preceded by the command's name (a session's output).
  Session(const DriverLibrary& aLibrary, std::ostream& aOut, std::ostream& aErr, Output aOutput, bool aLabelled)
      : fLibrary(aLibrary), fOut(aOut), fErr(aErr), fOutput(aOutput), fLabelled(aLabelled) {}

  // Runs one command; returns its result code (0 on success).
  int Run(const CommandLine& aCommand);
  int Run(const CommandLine& aCommand, Output aOutput);
  // Runs one session line (aNumber > 0 names it in messages); false when it was refused
  // or its command failed. Empty lines and # comments succeed.
  bool RunLine(const std::string& aLine, int aNumber);
  // Runs every line of aIn; the exit code: 0 when every line succeeded, else 1.
  int RunScript(std::istream& aIn);
  // The request text a command line stands for (for --show-request and tests).
  std::string BuildRequest(const CommandLine& aCommand) const;

 private:
  std::string Resolve(const std::string& aValue, const std::string& aKind) const;
  void Print(const std::string& aCommand, const std::string& aRequest, const DriverLibrary::Answer& aAnswer,
             const std::string& aLog, const LoggedStatus& aStatus, Output aOutput);
  void PrintDevices(Output aOutput);
  void Remember(const std::string& aCommand, const std::string& aHandle, const std::string& aRequest,
                const DriverLibrary::Answer& aAnswer);
  // After a PAY: the command and request id of a payment, refund or void of unknown
  // outcome, for REPEAT; a repeat that was answered (paid or refused) settles it.
  void RememberOutcome(const CommandLine& aCommand, const std::string& aRequest, const DriverLibrary::Answer& aAnswer);
  // The PAY that REPEAT stands for: the last one of unknown outcome, with its request id.
  CommandLine RepeatOfUnknown(const CommandLine& aRepeat);

  const DriverLibrary& fLibrary;
  std::ostream& fOut;
  std::ostream& fErr;
  Output fOutput;
  bool fLabelled;
  bool fWarnedStoreTill = false;
  std::string fLastHandle;
  std::string fLastToken;
  std::map<std::string, std::string> fDevices;  // open handle -> its device log
  CommandLine fUnknown;                         // the last PAY of unknown outcome, its handle and token as sent
  std::string fUnknownRequestId;                // its request id; empty when none is open
};

std::string EscapeXml(const std::string& aText);
std::string JsonString(const std::string& aText);
// A request file's text; "-" reads standard input.
std::string ReadRequestFile(const std::string& aPath);

}  // namespace ecr
