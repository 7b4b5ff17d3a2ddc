#pragma once
// A command-line point-of-sale host: loads the driver library by path and sends it
// requests, one command or a whole session of commands in one process (devices live
// inside the host process, so a session keeps its handles from line to line).

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

// One command as typed: its name and its options in order.
struct CommandLine {
  std::string command;
  std::vector<std::pair<std::string, std::string>> options;  // "--amount" -> "12.50"; flags -> ""
};

// Splits a line into words (double quotes group, a backslash escapes) and reads the
// command and its options; throws std::runtime_error with a readable message.
CommandLine ParseCommandLine(const std::vector<std::string>& aWords);
std::vector<std::string> SplitWords(const std::string& aLine);

// The response elements in order, values unescaped.
std::vector<std::pair<std::string, std::string>> ParseResponse(const std::string& aResponse);

class Session {
 public:
  Session(const DriverLibrary& aLibrary, std::ostream& aOut, bool aRaw) : fLibrary(aLibrary), fOut(aOut), fRaw(aRaw) {}

  // Runs one command; returns its result code (0 on success).
  int Run(const CommandLine& aCommand);
  // The request text a command line stands for (for --show-request and tests).
  std::string BuildRequest(const CommandLine& aCommand) const;

 private:
  std::string Resolve(const std::string& aValue, const std::string& aKind) const;
  void Print(const std::string& aCommand, const std::string& aRequest, const DriverLibrary::Answer& aAnswer);
  void Remember(const std::string& aCommand, const DriverLibrary::Answer& aAnswer);

  const DriverLibrary& fLibrary;
  std::ostream& fOut;
  bool fRaw;
  std::string fLastHandle;
  std::string fLastToken;
};

std::string EscapeXml(const std::string& aText);
// A request file's text; "-" reads standard input.
std::string ReadRequestFile(const std::string& aPath);

}  // namespace ecr
